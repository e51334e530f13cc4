// Key-pair generation and request orchestration: a new key container in
// the chosen provider, the key pair(s) generated there, their public keys
// exported and the signed PKCS #10 request built from them.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include "Misc.h"

// Certificate types of a request.
constexpr LONG VELA_CERT_TYPE_SINGLE = 1;
constexpr LONG VELA_CERT_TYPE_DOUBLE = 2;

// The SM2 provider's key-generation algorithms and its deletion flag.
constexpr ALG_ID VELA_CALG_SM2_KEYX = 0xBE00;
constexpr ALG_ID VELA_CALG_SM2_SIGN = 0x3E00;
constexpr DWORD VELA_SM2_DELETE_KEYSET = 0xFFFF0002;

// The temporary key of a double-certificate request.
constexpr LONG VELA_TEMP_KEY_BITS_RSA = 1024;
constexpr LONG VELA_TEMP_KEY_BITS_SM2 = 256;

// Largest encoded subject of a request. Real subjects take a few hundred
// bytes; with this one the request (subject, keys of at most 4096 bits,
// signature) stays under 72 KiB, so its Base64 text fits easily in the
// 1 MiB that one native-messaging response may carry. A longer subject is
// refused with NTE_BAD_DATA before any key is generated.
constexpr DWORD VELA_MAX_SUBJECT_ENCODED_LENGTH = 64u << 10;

// 24 for "Microsoft Enhanced RSA and AES Cryptographic Provider", 1 otherwise.
DWORD GetProviderType(const WCHAR* pwszProviderName);

// Builds a request for the subject. wstrContainerName may name the
// container to use; otherwise a new one is named after a new GUID and its
// name is handed back. The request text is Base64 in 64-character lines.
HRESULT PKCS10CertRequisition(CharBuffer& pszRequest, WString& wstrContainerName, const WCHAR* pwszProviderName,
                              const WCHAR* pwszSubjectDN, LONG nCertType, DWORD dwKeySpec, BOOL bRSA,
                              LONG nKeyLength, DWORD dwGenKeyFlags);

// Creates (bCreate) or opens the container, generates one key pair and
// exports its public key: for RSA a CERT_PUBLIC_KEY_INFO, for SM2 the
// provider's PUBLICKEYBLOB. hProvider is acquired when the caller passes 0
// and is then handed back open; a context the caller passes stays its own.
HRESULT CreatePublicKey(WString& wstrContainerName, ByteBuffer& pbPublicKey, LONG nKeyLength,
                        const WCHAR* pwszProviderName, BOOL bRSA, DWORD dwKeySpec, BOOL bCreate,
                        HCRYPTPROV& hProvider, DWORD& dwPublicKeyLength, DWORD dwGenKeyFlags);

// Deletes the named containers (empty names are skipped); always VELA_OK.
HRESULT DeleteMultiCertContainer(const WString& wstrFirstContainer, const WString& wstrSecondContainer,
                                 const WString& wstrCSPName);
