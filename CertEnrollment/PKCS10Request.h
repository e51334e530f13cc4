// Certificate-request building: the DER encoder primitives, the subject DN
// (text syntax "name=value,name=value", encoded as a Name whose RDNs stand
// in reverse text order) and the PKCS #10 CertificationRequest for RSA with
// SHA-1 and SM2 with SM3, single and double certificate.
//
// Every function returns a status and fills its outputs only on success;
// encoded elements are new buffers owned by the caller. The leaf forms
// (typed strings, BIT STRING, attributes, object identifiers) are encoded
// here directly, so every platform emits the same bytes.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "Misc.h"

// Value types of ComposeAnyString (the numbering of the platform's
// name-value encoder).
constexpr DWORD VELA_VALUE_OCTET_STRING = 2;
constexpr DWORD VELA_VALUE_PRINTABLE_STRING = 4;
constexpr DWORD VELA_VALUE_IA5_STRING = 7;
constexpr DWORD VELA_VALUE_UTF8_STRING = 13;

// Object identifiers of the requests.
constexpr const char* VELA_OID_RSA_ENCRYPTION = "1.2.840.113549.1.1.1";
constexpr const char* VELA_OID_SHA1_RSA = "1.2.840.113549.1.1.5";
constexpr const char* VELA_OID_EC_PUBLIC_KEY = "1.2.840.10045.2.1";
constexpr const char* VELA_OID_SM2_CURVE = "1.2.156.10197.1.301";
constexpr const char* VELA_OID_SM2_SM3 = "1.2.156.10197.1.501";
constexpr const char* VELA_OID_CHALLENGE_PASSWORD = "1.2.840.113549.1.9.7";
constexpr const char* VELA_OID_TEMPORARY_PUBLIC_KEY = "1.2.840.113549.1.9.63";

// Hash algorithms of the providers.
constexpr ALG_ID VELA_CALG_SHA1 = 0x8004;
constexpr ALG_ID VELA_CALG_SM3 = 0x800F;

// Size of the SM2 provider's public-key blob and of the temporary SM2 key
// carried in a double-certificate request.
constexpr DWORD VELA_SM2_PUBLIC_KEY_BLOB_SIZE = 140;
constexpr DWORD VELA_SM2_TEMPORARY_KEY_SIZE = 136;
constexpr DWORD VELA_SM2_RAW_SIGNATURE_SIZE = 64;

// ---- encoder primitives ------------------------------------------------------

// Tag, minimal definite length, content. Accepted tags: 02 04 06 0C 13 16
// 1E 30 31 80 A0. Empty content is refused (E_FAIL).
HRESULT ASN1Encode(BYTE bTag, const BYTE* pbContent, DWORD dwContentLength, ByteBuffer& pbEncoded,
                   DWORD& dwEncodedLength);
// The length octets of a content length (1 to 5 octets); 0 is refused.
HRESULT CalculateASNValueLength(DWORD dwLength, ByteBuffer& pbOctets, DWORD& dwOctetCount);
// The content octets of an OBJECT IDENTIFIER from its dotted-decimal text.
HRESULT EncodeObjectIdentifier(const char* pszOID, ByteBuffer& pbContent, DWORD& dwContentLength);

// One string element. Value type 13 takes UTF-16 text (dwLength is its
// size in bytes) and stores it as UTF-8; the others take the bytes as given.
// A PrintableString or IA5String value with a byte outside that type's
// character set is refused with NTE_BAD_DATA.
HRESULT ComposeAnyString(DWORD dwLength, DWORD dwValueType, const BYTE* pbValue, ByteBuffer& pbEncoded,
                         DWORD& dwEncodedLength);
// BIT STRING with no unused bits.
HRESULT ComposeBITString(DWORD dwLength, const BYTE* pbData, ByteBuffer& pbEncoded, DWORD& dwEncodedLength);
// SEQUENCE { OID, SET { value } }; the value is one complete element.
HRESULT ComposeStandardAttribute(const char* pszOID, const BYTE* pbValue, DWORD dwValueLength,
                                 ByteBuffer& pbEncoded, DWORD& dwEncodedLength);
// SEQUENCE { OID, value } with the value re-encoded in minimal form, or,
// with no value, SEQUENCE { OID, NULL }.
HRESULT ComposeSpecialAttribute(const char* pszOID, const BYTE* pbValue, DWORD dwValueLength,
                                ByteBuffer& pbEncoded, DWORD& dwEncodedLength);
// SEQUENCE { INTEGER r, INTEGER s } from the 64-byte r || s (most
// significant byte first), each INTEGER in minimal DER form.
HRESULT SM2EncodeRawSignature(ByteBuffer& pbDer, DWORD& dwDerLength, const BYTE* pbRaw, DWORD dwRawLength);

// ---- subject DN ------------------------------------------------------------------

struct SubjectAttribute {
    std::string strOID;   // dotted decimal; empty for an unknown name
    WString wstrValue;    // as written after the '='
};

HRESULT ComposeSubject(const WCHAR* pwszSubject, ByteBuffer& pbName, DWORD& dwNameLength);
HRESULT ParseSubject(const WCHAR* pwszSubject, std::vector<SubjectAttribute>& attributes);
// Splits at every separator; the empty text gives no items.
HRESULT SplidWstr(const WString& wstrText, WCHAR wcSeparator, std::vector<WString>& items);
// The text with every occurrence of the character removed.
WString ReplaceWchar(const WString& wstrText, WCHAR wcRemove);
// The OID of an attribute name (case-insensitive); "" for an unknown name.
std::string GetObjectID(const WString& wstrName);
// SET { SEQUENCE { OID, value } }.
HRESULT ComposeSubjectChild(const SubjectAttribute& attribute, ByteBuffer& pbRDN, DWORD& dwRDNLength);

// ---- PKCS #10 -------------------------------------------------------------------

// Builds, signs and Base64-encodes one request (64-character lines joined
// by CR LF, no header). For SM2 the public keys are the provider's blobs.
// pbTempPublicKey is absent for a single-certificate request.
HRESULT PKCS10RequestBase64(DWORD dwKeySpec, HCRYPTPROV hProvider, const WCHAR* pwszSubject,
                            const char* pszKeyAlgOID, const char* pszParamsOID, const BYTE* pbPublicKey,
                            DWORD dwPublicKeyLength, DWORD dwTempPublicKeyLength, ALG_ID algHash,
                            const char* pszSignAlgOID, CharBuffer& pszRequest, DWORD& dwRequestLength,
                            DWORD dwSM2, const BYTE* pbTempPublicKey);

// The 65-byte point 04 || x || y of an SM2 public-key blob.
HRESULT ConvertSM2BlobToPoint(const BYTE* pbBlob, DWORD dwBlobLength, ByteBuffer& pbPoint, DWORD& dwPointLength);
// The 136-byte temporary key of a double-certificate request from an SM2 blob.
HRESULT ConvertSM2BlobToTemporaryKey(const BYTE* pbBlob, DWORD dwBlobLength, ByteBuffer& pbKey,
                                     DWORD& dwKeyLength);

HRESULT ComposeCertRequestInfo(const WCHAR* pwszSubject, const char* pszKeyAlgOID, const char* pszParamsOID,
                               const BYTE* pbPublicKey, DWORD dwPublicKeyLength, const BYTE* pbTempPublicKey,
                               DWORD dwTempPublicKeyLength, DWORD dwSM2, ByteBuffer& pbInfo,
                               DWORD& dwInfoLength);
HRESULT ComposeSignPublicKeyData(const char* pszKeyAlgOID, const char* pszParamsOID, const BYTE* pbPublicKey,
                                 DWORD dwPublicKeyLength, DWORD dwSM2, ByteBuffer& pbKeyInfo,
                                 DWORD& dwKeyInfoLength);
HRESULT ComposeAttributes(const BYTE* pbTempPublicKey, DWORD dwTempPublicKeyLength, ByteBuffer& pbAttributes,
                          DWORD& dwAttributesLength);
HRESULT ComposeSignAlgorithm(const char* pszSignAlgOID, ByteBuffer& pbAlgorithm, DWORD& dwAlgorithmLength);
// Hashes and signs the data with the key of dwKeySpec; the signature comes
// back most significant byte first (SM2: r || s).
HRESULT PKCS10CalculateHashandSign(HCRYPTPROV hProvider, const char* pszKeyAlgOID, const BYTE* pbData,
                                   DWORD dwDataLength, ALG_ID algHash, DWORD dwKeySpec, ByteBuffer& pbSignature,
                                   DWORD& dwSignatureLength);
// The signature BIT STRING (SM2: around SEQUENCE { r, s }).
HRESULT ComposeSignature(const BYTE* pbSignature, DWORD dwSignatureLength, DWORD dwSM2, ByteBuffer& pbBitString,
                         DWORD& dwBitStringLength);
// SEQUENCE { info, algorithm, signature }.
HRESULT ComposeCertRequest(const BYTE* pbInfo, DWORD dwInfoLength, const BYTE* pbAlgorithm, DWORD dwAlgorithmLength,
                           const BYTE* pbSignature, DWORD dwSignatureLength, ByteBuffer& pbRequest,
                           DWORD& dwRequestLength);
// Drops every CR and LF and breaks the text into lines of 64 characters
// joined by CR LF (no line break at the end).
HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(DWORD& dwWrappedLength, const char* pszText,
                                                      DWORD dwTextLength, CharBuffer& pszWrapped);
