// Importing the CA-generated RSA encryption key: the route choice, the
// plain route (decrypted here) and the RSA branch of the encrypted-format
// route (decrypted by the CSP).
#include <cstring>
#include <vector>

#include "ASN1Engine.h"
#include "ImportEncryptCert.h"
#include "PKCS10Request.h"
#include "VelaTrace.h"
#include "VendorKeyBlob.h"

namespace {

constexpr const WCHAR* kScratchProvider = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
constexpr const char* kOidSessionAlgorithm = "1.3.6.1.4.1.4929.1.7";
constexpr DWORD kRsaPrivateBlobMagic = 0x32415352;  // "RSA2"

HRESULT LastErrorStatus() { return StatusFromLastError((LONG)GetLastError()); }

bool AnyEmpty(const WString& a, const WString& b, const WString& c, const WString& d, const WString& e) {
    return a.empty() || b.empty() || c.empty() || d.empty() || e.empty();
}

void PutDword(BYTE* p, DWORD v) {
    p[0] = BYTE(v);
    p[1] = BYTE(v >> 8);
    p[2] = BYTE(v >> 16);
    p[3] = BYTE(v >> 24);
}

DWORD GetDword(const BYTE* p) { return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24; }

// Sets a little-endian field of n bytes to the value 1.
void SetToOne(BYTE* p, size_t n) {
    std::memset(p, 0, n);
    if (n) p[0] = 1;
}

}  // namespace

HRESULT ImportEncryptCertEx(const WString& wstrCSPName, const WString& wstrContainerName,
                            const WString& wstrKeyAlgorithm, const WString& wstrEncryptedPrivateKeyData,
                            const WString& wstrEncryptPublicCert, LONG nKeyLength, LONG nFlags) {
    VELA_TRACE_SCOPE("ImportEncryptCertEx");
    if (AnyEmpty(wstrEncryptedPrivateKeyData, wstrEncryptPublicCert, wstrCSPName, wstrContainerName,
                 wstrKeyAlgorithm)) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Invalid parameter.",
                         "(wstrEncryptedPrivateKeyData == L\"\" || wstrEncryptePublicCert == L\"\" || "
                         "wstrCSPName == L\"\" || wstrContainerName == L\"\" || wstrKeyAlgorithm == L\"\")");
        return E_INVALIDARG;
    }
    bool rsa = EqualsNoCaseAscii(wstrKeyAlgorithm, TEXT("RSA"));
    HRESULT hr;
    if (rsa && (ContainsText(wstrCSPName, TEXT("Microsoft")) || nKeyLength == 1024)) {
        hr = ImportEncryptCert(wstrCSPName, wstrContainerName, wstrEncryptedPrivateKeyData, wstrEncryptPublicCert,
                               wstrKeyAlgorithm, nKeyLength, nFlags);
        if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ImportEncryptCertEx-ImportEncryptCert", "FAILED(hResult)");
    } else {
        hr = ImportEncryptCertByEncryptedFormat(wstrEncryptPublicCert, wstrCSPName, wstrEncryptedPrivateKeyData,
                                                wstrContainerName, wstrKeyAlgorithm, nKeyLength, nFlags);
        if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ImportEncryptCertByEncryptedFormat", "FAILED(hResult)");
    }
    return hr;
}

HRESULT ImportEncryptCert(const WString& wstrCSPName, const WString& wstrContainerName,
                          const WString& wstrEncryptedPrivateKeyData, const WString& wstrEncryptPublicCert,
                          const WString& wstrKeyAlgorithm, LONG nKeyLength, LONG nFlags) {
    VELA_TRACE_SCOPE("ImportEncryptCert");
    ByteBuffer cert;
    DWORD certLength = 0;
    HRESULT hr = ParseEncryptCertPublicKeyCert(wstrEncryptPublicCert, cert, certLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ParseEncryptCertPublicKeyCert", "FAILED(hResult)");
        return hr;
    }
    EncryptedKeyEnvelope envelope;
    hr = ParseEncryptCertPrivateKeyData(wstrEncryptedPrivateKeyData, envelope);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ParseEncryptCertPrivateKeyData", "FAILED(hResult)");
        return hr;
    }
    ProviderHolder container;
    SecretBytes sessionKey;
    hr = DecryptSessionKeywithTempKey(wstrCSPName, wstrContainerName, envelope.sessionKey, container, sessionKey);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "DecryptSessionKeywithTempKey", "FAILED(hResult)");
        return hr;
    }
    SecretBytes privateKey;
    hr = DecryptPrivateKeywithSessionKey(envelope.aiSessionAlgorithm, sessionKey, envelope.privateKey, privateKey);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "DecryptPrivateKeywithSessionKey", "FAILED(hResult)");
        return hr;
    }
    hr = ImportEncryptCert_RSA(wstrContainerName, cert.get(), certLength, wstrCSPName, container.Get(), nKeyLength,
                               privateKey, nFlags);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ImportEncryptCert_RSA", "FAILED(hResult)");
        return hr;
    }
    VELA_LOG_SUCCESS("ImportEncryptCert");
    return VELA_OK;
}

HRESULT DecryptSessionKeywithTempKey(const WString& wstrCSPName, const WString& wstrContainerName,
                                     const SecretBytes& encryptedSessionKey, ProviderHolder& container,
                                     SecretBytes& sessionKey) {
    VELA_TRACE_SCOPE("DecryptSessionKeywithTempKey");
    DWORD type = ContainsText(wstrCSPName, TEXT("Microsoft Enhanced RSA and AES")) ? PROV_RSA_AES : PROV_RSA_FULL;
    ProviderHolder provider;
    if (!CryptAcquireContextW(provider.Out(), wstrContainerName.c_str(), wstrCSPName.c_str(), type, 0)) {
        HRESULT hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "RSA CryptAcquireContext", "1");
        return hr;
    }
    // The CA's ciphertext is big-endian; the CSP takes it least significant byte first.
    SecretBytes cipher(encryptedSessionKey.Data(), encryptedSessionKey.Size());
    SwapByteOrder(cipher.Data(), cipher.Size());
    KeyHolder exchangeKey;
    if (!CryptGetUserKey(provider.Get(), AT_KEYEXCHANGE, exchangeKey.Out())) {
        HRESULT hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "CryptGetUserKey", "1");
        return hr;
    }
    DWORD length = cipher.Size();
    if (!CryptDecrypt(exchangeKey.Get(), 0, TRUE, 0, cipher.Data(), &length)) {
        HRESULT hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "CryptDecrypt", "1");
        return hr;
    }
    cipher.Resize(length == 32 ? 24 : length);  // a 32-byte plaintext carries a 24-byte 3DES key
    sessionKey = std::move(cipher);
    container = std::move(provider);
    return VELA_OK;
}

namespace {

// The scratch container of the plain route: deleted when the holder goes.
class ScratchContainer {
public:
    ~ScratchContainer() {
        if (m_opened) {
            m_provider.Reset();
            HCRYPTPROV deleted = 0;
            CryptAcquireContextW(&deleted, m_name.c_str(), kScratchProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
        }
    }
    HRESULT Open() {
        VELA_TRACE_SCOPE("DecryptPrivateKeywithSessionKey");
        HRESULT hr = CreateGUIDStr(m_name);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "CreateGUIDStr", "FAILED(hResult)");
            return hr;
        }
        if (!CryptAcquireContextW(m_provider.Out(), m_name.c_str(), kScratchProvider, PROV_RSA_FULL, 0) &&
            !CryptAcquireContextW(m_provider.Out(), m_name.c_str(), kScratchProvider, PROV_RSA_FULL,
                                  CRYPT_NEWKEYSET)) {
            hr = LastErrorStatus();
            VELA_LOG_FAILURE(hr, "CryptAcquireContext", "FALSE == bResult");
            return hr;
        }
        m_opened = true;
        return VELA_OK;
    }
    HCRYPTPROV Get() const { return m_provider.Get(); }

private:
    WString m_name;
    ProviderHolder m_provider;
    bool m_opened = false;
};

}  // namespace

HRESULT DecryptPrivateKeywithSessionKey(ALG_ID aiSessionAlgorithm, const SecretBytes& sessionKey,
                                        const SecretBytes& encryptedPrivateKey, SecretBytes& privateKey) {
    VELA_TRACE_SCOPE("DecryptPrivateKeywithSessionKey");
    ScratchContainer scratch;
    HRESULT hr = scratch.Open();
    if (FAILED(hr)) return hr;
    KeyHolder exponentOneKey, session;
    if (!CreatePrivateExponentOneKey(scratch.Get(), exponentOneKey.Out())) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "CreatePrivateExponentOneKey", "FALSE == bResult");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    if (!ImportPlainSessionBlob(scratch.Get(), exponentOneKey.Get(), aiSessionAlgorithm, sessionKey.Data(),
                                sessionKey.Size(), session.Out())) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "ImportPlainSessionBlob", "FALSE == bResult");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    DWORD mode = CRYPT_MODE_ECB;
    if (!CryptSetKeyParam(session.Get(), KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0)) {
        hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "CryptSetKeyParam", "FALSE == bResult");
        return hr;
    }
    SecretBytes plain(encryptedPrivateKey.Data(), encryptedPrivateKey.Size());
    DWORD length = plain.Size();
    if (!CryptDecrypt(session.Get(), 0, TRUE, 0, plain.Data(), &length)) {
        hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "CryptDecrypt", "FALSE == bResult");
        return hr;
    }
    plain.Resize(length);
    privateKey = std::move(plain);
    return VELA_OK;
}

BOOL CreatePrivateExponentOneKey(HCRYPTPROV hProvider, HCRYPTKEY* phKey) {
    VELA_TRACE_SCOPE("CreatePrivateExponentOneKey");
    KeyHolder generated;
    if (!CryptGenKey(hProvider, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, generated.Out())) {
        TraceInfo(TEXT("CryptGenKey failed: 0x%08x"), (unsigned)GetLastError());
        return FALSE;
    }
    DWORD size = 0;
    if (!CryptExportKey(generated.Get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size)) {
        TraceInfo(TEXT("CryptExportKey failed: 0x%08x"), (unsigned)GetLastError());
        return FALSE;
    }
    SecretBytes blob(size);
    if (!CryptExportKey(generated.Get(), 0, PRIVATEKEYBLOB, 0, blob.Data(), &size) || size < 20) {
        TraceInfo(TEXT("CryptExportKey failed: 0x%08x"), (unsigned)GetLastError());
        return FALSE;
    }
    generated.Reset();
    BYTE* p = blob.Data();
    const size_t b = GetDword(p + 12);
    const size_t expected = 20 + b / 8 + 5 * (b / 16) + b / 8;
    if (b == 0 || size < expected) return FALSE;
    PutDword(p + 16, 1);                                    // public exponent
    BYTE* exponent1 = p + 20 + b / 8 + 2 * (b / 16);
    SetToOne(exponent1, b / 16);
    SetToOne(exponent1 + b / 16, b / 16);                   // exponent2
    SetToOne(exponent1 + 3 * (b / 16), b / 8);              // private exponent, after the coefficient
    if (!CryptImportKey(hProvider, blob.Data(), size, 0, 0, phKey)) {
        TraceInfo(TEXT("CryptImportKey failed: 0x%08x"), (unsigned)GetLastError());
        return FALSE;
    }
    return TRUE;
}

namespace {

bool ProviderHasAlgorithm(HCRYPTPROV hProvider, ALG_ID aiAlgorithm) {
    PROV_ENUMALGS_EX record;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        DWORD size = sizeof record;
        if (!CryptGetProvParam(hProvider, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&record), &size, flags))
            return false;
        if (record.aiAlgid == aiAlgorithm) return true;
        flags = 0;
    }
}

bool ReadKeyDword(HCRYPTKEY hKey, DWORD dwParam, DWORD& value) {
    DWORD size = sizeof value;
    return CryptGetKeyParam(hKey, dwParam, reinterpret_cast<BYTE*>(&value), &size, 0) != FALSE;
}

}  // namespace

BOOL ImportPlainSessionBlob(HCRYPTPROV hProvider, HCRYPTKEY hExponentOneKey, ALG_ID aiAlgorithm,
                            const BYTE* pbKey, DWORD dwKeyLength, HCRYPTKEY* phSessionKey) {
    VELA_TRACE_SCOPE("ImportPlainSessionBlob");
    if (!ProviderHasAlgorithm(hProvider, aiAlgorithm)) {
        TraceInfo(TEXT("ImportPlainSessionBlob - algorithm 0x%08x not offered"), (unsigned)aiAlgorithm);
        return FALSE;
    }
    DWORD maxBits = 0;
    {
        KeyHolder probe;
        if (!CryptGenKey(hProvider, aiAlgorithm, 0, probe.Out()) || !ReadKeyDword(probe.Get(), KP_KEYLEN, maxBits))
            return FALSE;
    }
    if ((ULONGLONG)dwKeyLength * 8 > maxBits) {
        TraceInfo(TEXT("ImportPlainSessionBlob - key of %u bytes exceeds %u bits"), dwKeyLength, maxBits);
        return FALSE;
    }
    DWORD wrapAlgorithm = 0, wrapBits = 0;
    if (!ReadKeyDword(hExponentOneKey, KP_ALGID, wrapAlgorithm) || !ReadKeyDword(hExponentOneKey, KP_KEYLEN, wrapBits))
        return FALSE;
    const DWORD m = wrapBits / 8;
    if (m < dwKeyLength + 11) return FALSE;  // no room for the type-2 block's padding
    SecretBytes blob(m + 12);
    BYTE* p = blob.Data();
    p[0] = SIMPLEBLOB;
    p[1] = CUR_BLOB_VERSION;
    PutDword(p + 4, aiAlgorithm);
    PutDword(p + 8, wrapAlgorithm);
    for (DWORD i = 0; i < dwKeyLength; ++i) p[12 + i] = pbKey[dwKeyLength - 1 - i];
    p[12 + dwKeyLength] = 0;
    BYTE* padding = p + 13 + dwKeyLength;
    const DWORD paddingLength = m - dwKeyLength - 3;
    if (!CryptGenRandom(hProvider, paddingLength, padding)) return FALSE;
    for (DWORD i = 0; i < paddingLength; ++i)
        if (padding[i] == 0) padding[i] = 1;
    p[10 + m] = 2;
    p[11 + m] = 0;
    if (!CryptImportKey(hProvider, p, m + 12, hExponentOneKey, CRYPT_EXPORTABLE, phSessionKey)) {
        TraceInfo(TEXT("ImportPlainSessionBlob - CryptImportKey failed: 0x%08x"), (unsigned)GetLastError());
        return FALSE;
    }
    return TRUE;
}

namespace {

// A PKCS #1 value without its sign octet, least significant byte first.
void CopyPrivateKeyAttribute(const ASN1Node* node, SecretBytes& out) {
    const BYTE* content = node->Content();
    DWORD length = node->dwLength;
    if (length && content[0] == 0) ++content, --length;
    out = SecretBytes(length);
    for (DWORD i = 0; i < length; ++i) out.Data()[i] = content[length - 1 - i];
}

struct RsaPrivateKeyParts {
    SecretBytes modulus, publicExponent, privateExponent, prime1, prime2, exponent1, exponent2, coefficient;
};

HRESULT DecodePrivateKey(const BYTE* pbPkcs1, DWORD dwLength, RsaPrivateKeyParts& parts) {
    VELA_TRACE_SCOPE("DecodePrivateKey");
    ASN1NodePtr root;
    if (DecodeASN1Memory(root, pbPkcs1, dwLength) != 0 || !root) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "DecodeASN1Memory", "TRUE");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    if (root->ChildCount() < 9) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "Check RSAPrivateKey elements", "nChildCount < 9");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    CopyPrivateKeyAttribute(root->Child(1), parts.modulus);
    CopyPrivateKeyAttribute(root->Child(2), parts.publicExponent);
    CopyPrivateKeyAttribute(root->Child(3), parts.privateExponent);
    CopyPrivateKeyAttribute(root->Child(4), parts.prime1);
    CopyPrivateKeyAttribute(root->Child(5), parts.prime2);
    CopyPrivateKeyAttribute(root->Child(6), parts.exponent1);
    CopyPrivateKeyAttribute(root->Child(7), parts.exponent2);
    CopyPrivateKeyAttribute(root->Child(8), parts.coefficient);
    return VELA_OK;
}

// The key's own public exponent as a 32-bit value (leading zero bytes allowed).
bool PublicExponentValue(const SecretBytes& exponent, DWORD& value) {
    value = 0;
    for (DWORD i = exponent.Size(); i > 0; --i) {
        BYTE b = exponent.Data()[i - 1];
        if (i > 4) {
            if (b != 0) return false;
            continue;
        }
        value |= DWORD(b) << (8 * (i - 1));
    }
    return value != 0;
}

// Copies a little-endian value into a field of n bytes, zero-filling the
// high end; false when the value is longer than the field.
bool PutField(BYTE*& cursor, const SecretBytes& value, size_t n) {
    if (value.Size() > n) return false;
    // A zero value (02 01 00) is empty once its sign octet is dropped.
    if (value.Size()) std::memcpy(cursor, value.Data(), value.Size());
    std::memset(cursor + value.Size(), 0, n - value.Size());
    cursor += n;
    return true;
}

}  // namespace

HRESULT getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(const BYTE* pbPkcs1, DWORD dwPkcs1Length, LONG nBits,
                                                SecretBytes& blob) {
    VELA_TRACE_SCOPE("getMicrosoftSoftPkcs1PrivateKeyBlob_RSA");
    RsaPrivateKeyParts parts;
    HRESULT hr = DecodePrivateKey(pbPkcs1, dwPkcs1Length, parts);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "getMicrosoftSoftPkcs1PrivateKeyBlob_RSA-DecodePrivateKey", "FAILED(hResult)");
        return hr;
    }
    if (nBits <= 0 || nBits % 16 != 0) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "PKCS1 RSA private key length", "TRUE");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    const size_t full = (size_t)nBits / 8, half = (size_t)nBits / 16;
    DWORD exponent = 0;
    if (!PublicExponentValue(parts.publicExponent, exponent)) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "PKCS1 RSA public exponent", "dwPublicExponent > 0xFFFFFFFF");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    // The modulus fixes the key size; the other values may be shorter than
    // their fields when their top bytes are zero, and are zero-filled.
    if (parts.modulus.Size() != full) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "PKCS1 RSA private key length", "TRUE");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    SecretBytes image(20 + full + 5 * half + full);
    BYTE* p = image.Data();
    p[0] = PRIVATEKEYBLOB;
    p[1] = CUR_BLOB_VERSION;
    PutDword(p + 4, CALG_RSA_KEYX);
    PutDword(p + 8, kRsaPrivateBlobMagic);
    PutDword(p + 12, (DWORD)nBits);
    PutDword(p + 16, exponent);
    BYTE* cursor = p + 20;
    if (!PutField(cursor, parts.modulus, full) || !PutField(cursor, parts.prime1, half) ||
        !PutField(cursor, parts.prime2, half) || !PutField(cursor, parts.exponent1, half) ||
        !PutField(cursor, parts.exponent2, half) || !PutField(cursor, parts.coefficient, half) ||
        !PutField(cursor, parts.privateExponent, full)) {
        VELA_LOG_FAILURE(VELA_E_IMPORT_ENCRYPT_CERT, "PKCS1 RSA private key length", "TRUE");
        return VELA_E_IMPORT_ENCRYPT_CERT;
    }
    blob = std::move(image);
    return VELA_OK;
}

HRESULT ImportEncryptCert_RSA(const WString& wstrContainerName, const BYTE* pbCert, DWORD dwCertLength,
                              const WString& wstrCSPName, HCRYPTPROV hProvider, LONG nBits,
                              const SecretBytes& privateKey, LONG nFlags) {
    VELA_TRACE_SCOPE("ImportEncryptCert_RSA");
    SecretBytes blob;
    HRESULT hr = getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(privateKey.Data(), privateKey.Size(), nBits, blob);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "getMicrosoftSoftPkcs1PrivateKeyBlob_RSA", "FAILED(hResult)");
        return hr;
    }
    // Nothing goes into the container unless the key is whole and is the
    // certificate's: the temporary key must stay for a later, right import.
    hr = CheckEncryptPrivateKeyBlob(blob, pbCert, dwCertLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "CheckEncryptPrivateKeyBlob", "FAILED(hResult)");
        return hr;
    }
    KeyHolder key;
    if (!ContainsText(wstrCSPName, TEXT("Microsoft"))) {
        if (!CryptImportKey(hProvider, blob.Data(), blob.Size(), 0, (DWORD)nFlags, key.Out())) {
            hr = LastErrorStatus();
            VELA_LOG_FAILURE(hr, "non-Microsoft's CSP: CryptImportKey", "FALSE == bResult");
            return hr;
        }
        if (!CryptSetKeyParam(key.Get(), KP_CERTIFICATE, pbCert, 0)) {
            hr = LastErrorStatus();
            VELA_LOG_FAILURE(hr, "non-Microsoft's CSP: CryptSetKeyParam", "FALSE == bResult");
            return hr;
        }
        return VELA_OK;
    }
    if (!CryptImportKey(hProvider, blob.Data(), blob.Size(), 0, (DWORD)nFlags, key.Out())) {
        hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "Microsoft CSP: CryptImportKey", "FALSE == bResult");
        return hr;
    }
    hr = AddCertificateToSystemStore(wstrCSPName, hProvider, pbCert, dwCertLength, AT_KEYEXCHANGE, wstrContainerName);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "AddCertificateToSystemStore", "FAILED(hResult)");
    return hr;
}

HRESULT GetCSPHandleofTempPublickey(const WString& wstrCSPName, const WString& wstrContainerName,
                                    const WString& wstrKeyAlgorithm, ProviderHolder& container) {
    VELA_TRACE_SCOPE("GetCSPHandleofTempPublickey");
    if (EqualsNoCaseAscii(wstrKeyAlgorithm, TEXT("RSA"))) {
        if (!CryptAcquireContextW(container.Out(), wstrContainerName.c_str(), wstrCSPName.c_str(), PROV_RSA_FULL, 0)) {
            HRESULT hr = LastErrorStatus();
            VELA_LOG_FAILURE(hr, "RSA CryptAcquireContext", "1");
            return hr;
        }
    } else if (!CryptAcquireContextW(container.Out(), wstrContainerName.c_str(), wstrCSPName.c_str(), PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT)) {
        HRESULT hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "SM2 CryptAcquireContext", "1");
        return hr;
    }
    return VELA_OK;
}

HRESULT ImportEncryptCertByEncryptedFormat(const WString& wstrEncryptPublicCert, const WString& wstrCSPName,
                                           const WString& wstrEncryptedPrivateKeyData,
                                           const WString& wstrContainerName, const WString& wstrKeyAlgorithm,
                                           LONG nKeyLength, LONG nFlags) {
    VELA_TRACE_SCOPE("ImportEncryptCertByEncryptedFormat");
    if (AnyEmpty(wstrEncryptedPrivateKeyData, wstrEncryptPublicCert, wstrCSPName, wstrContainerName,
                 wstrKeyAlgorithm)) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Invalid parameter.",
                         "(wstrEncryptedPrivateKeyData == L\"\" || wstrEncryptPublicCert == L\"\" || "
                         "wstrCSPName == L\"\" || wstrContainerName == L\"\" || wstrKeyAlgorithm == L\"\")");
        return E_INVALIDARG;
    }
    ByteBuffer cert;
    DWORD certLength = 0;
    HRESULT hr = ParseEncryptCertPublicKeyCert(wstrEncryptPublicCert, cert, certLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ParseEncryptCertPublicKeyCert", "FAILED(hResult)");
        return hr;
    }
    EncryptedKeyEnvelope envelope;
    hr = ParseEncryptCertPrivateKeyDataEx(wstrEncryptedPrivateKeyData, envelope);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ParseEncryptCertPrivateKeyDataEx", "FAILED(hResult)");
        return hr;
    }
    ProviderHolder container;
    hr = GetCSPHandleofTempPublickey(wstrCSPName, wstrContainerName, wstrKeyAlgorithm, container);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetCSPHandleofTempPublickey", "FAILED(hResult)");
        return hr;
    }
    if (!EqualsNoCaseAscii(wstrKeyAlgorithm, TEXT("RSA")))
        return ImportEncryptCertBySM2(cert.get(), certLength, envelope, container.Get(), nFlags);
    hr = ImportEncryptCertEx_RSA(cert.get(), certLength, envelope, container.Get(), nKeyLength, nFlags);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ImportEncryptCertEx_RSA", "FAILED(hResult)");
    return hr;
}

HRESULT ComposeObjectIdentifier(const char* pszOID, ByteBuffer& pbOID, DWORD& dwOIDLength) {
    VELA_TRACE_SCOPE("ComposeObjectIdentifier");
    ByteBuffer algorithm;
    DWORD length = 0;
    HRESULT hr = ComposeSpecialAttribute(pszOID, nullptr, 0, algorithm, length);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeSpecialAttribute", "FAILED(hResult)");
        return hr;
    }
    // SEQUENCE header (2 octets) and NULL (2 octets) around the OID element.
    ByteBuffer oid = AllocZeroed<BYTE>(length - 4);
    if (!oid) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New buffer", "!pAlgorithmID");
        return E_OUTOFMEMORY;
    }
    std::memcpy(oid.get(), algorithm.get() + 2, length - 4);
    pbOID = std::move(oid);
    dwOIDLength = length - 4;
    return VELA_OK;
}

HRESULT ComposeRSAEVPPrivateKey(const EncryptedKeyEnvelope& envelope, ByteBuffer& pbEnvelope,
                                DWORD& dwEnvelopeLength) {
    VELA_TRACE_SCOPE("ComposeRSAEVPPrivateKey");
    ByteBuffer asym, sym, session, priv;
    DWORD asymLength = 0, symLength = 0, sessionLength = 0, privLength = 0;
    HRESULT hr = ComposeObjectIdentifier(VELA_OID_RSA_ENCRYPTION, asym, asymLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeObjectIdentifier -- AsymAlgID", "FAILED(hResult)");
        return hr;
    }
    hr = ComposeObjectIdentifier(kOidSessionAlgorithm, sym, symLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeObjectIdentifier -- SymAlgID", "FAILED(hResult)");
        return hr;
    }
    hr = ComposeAnyString(envelope.sessionKey.Size(), VELA_VALUE_OCTET_STRING, envelope.sessionKey.Data(), session,
                          sessionLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeAnyString -- pbEncryptedSessionKey", "FAILED(hResult)");
        return hr;
    }
    hr = ComposeAnyString(envelope.privateKey.Size(), VELA_VALUE_OCTET_STRING, envelope.privateKey.Data(), priv,
                          privLength);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeAnyString -- pbEncryptedPrivateKey", "FAILED(hResult)");
        return hr;
    }
    static const BYTE kVersion[] = {0x02, 0x01, 0x01};
    std::vector<BYTE> content(kVersion, kVersion + sizeof kVersion);
    content.insert(content.end(), asym.get(), asym.get() + asymLength);
    content.insert(content.end(), sym.get(), sym.get() + symLength);
    content.insert(content.end(), session.get(), session.get() + sessionLength);
    content.insert(content.end(), priv.get(), priv.get() + privLength);
    hr = ASN1Encode(0x30, content.data(), (DWORD)content.size(), pbEnvelope, dwEnvelopeLength);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ASN1Encode", "FAILED(hResult)");
    return hr;
}

HRESULT ImportEncryptCertEx_RSA(const BYTE* pbCert, DWORD dwCertLength, const EncryptedKeyEnvelope& envelope,
                                HCRYPTPROV hProvider, LONG nBits, LONG nFlags) {
    VELA_TRACE_SCOPE("ImportEncryptCertEx_RSA");
    if (!hProvider) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Invalid parameter.", "hCryptProv == NULL");
        return E_INVALIDARG;
    }
    ByteBuffer der;
    DWORD derLength = 0;
    HRESULT hr = ComposeRSAEVPPrivateKey(envelope, der, derLength);
    if (FAILED(hr)) return hr;
    BYTE blob[sizeof(VENDOR_RSA_ENCRYPTED_KEY_BLOB)];
    FillVendorRsaKeyBlob(blob, (DWORD)nBits, der.get(), derLength);
    KeyHolder key;
    if (!CryptImportKey(hProvider, blob, sizeof blob, 0, (DWORD)nFlags, key.Out())) {
        hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "ImportEncryptCertEx_RSA non-microsoft's CSP: CryptImportKey", "1");
        return hr;
    }
    if (!CryptSetKeyParam(key.Get(), KP_CERTIFICATE, pbCert, 0)) {
        hr = LastErrorStatus();
        VELA_LOG_FAILURE(hr, "ImportEncryptCertEx_RSA non-microsoft's CSP: CryptSetKeyParam", "1");
        return hr;
    }
    return VELA_OK;
}
