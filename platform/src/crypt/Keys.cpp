// Key generation, key handles, export and import of key blobs, key
// parameters and the public-key information of a container's key.
#include "Algorithms.h"
#include "KeyStore.h"
#include "Vendor.h"

#include <tessera/platform_internal.h>
#include <tessera/store_internal.h>

#include <openssl/rand.h>

#include <algorithm>

namespace tessera::crypt {

HCRYPTKEY AddPairKey(std::shared_ptr<Context> context, std::shared_ptr<KeyPair> pair) {
    auto key = std::make_shared<Key>();
    key->kind = KeyKind::Pair;
    key->algorithm = pair->algorithm;
    key->flags = pair->flags;
    key->pair = std::move(pair);
    key->context = std::move(context);
    return Keys().Add(std::move(key));
}

namespace {

constexpr DWORD kPairFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED;
constexpr DWORD kMaxCertificate = 1 << 20;

bool IsRsaFamily(const Context& c) { return c.provider->family != Family::TesseraSm2; }

// Maps a CryptGenKey/CryptImportKey algorithm to the pair kind (AT_*) and stored algorithm.
bool PairAlgorithm(const Context& c, ALG_ID requested, DWORD& keySpec, ALG_ID& algorithm) {
    if (IsRsaFamily(c)) {
        if (requested == AT_KEYEXCHANGE || requested == CALG_RSA_KEYX) {
            keySpec = AT_KEYEXCHANGE;
            algorithm = CALG_RSA_KEYX;
            return true;
        }
        if (requested == AT_SIGNATURE || requested == CALG_RSA_SIGN) {
            keySpec = AT_SIGNATURE;
            algorithm = CALG_RSA_SIGN;
            return true;
        }
        return false;
    }
    if (requested == AT_KEYEXCHANGE || requested == kAlgSm2Exchange) {
        keySpec = AT_KEYEXCHANGE;
        algorithm = kAlgSm2Exchange;
        return true;
    }
    if (requested == AT_SIGNATURE || requested == kAlgSm2Signature) {
        keySpec = AT_SIGNATURE;
        algorithm = kAlgSm2Signature;
        return true;
    }
    return false;
}

bool OffersSession(const Context& c, ALG_ID algorithm) {
    return SessionKeyBytes(algorithm) && FindAlgorithm(*c.provider, algorithm);
}

HCRYPTKEY AddSessionKey(std::shared_ptr<Context> context, ALG_ID algorithm, SecureBytes secret, DWORD flags) {
    auto key = std::make_shared<Key>();
    key->kind = KeyKind::Session;
    key->algorithm = algorithm;
    key->flags = flags;
    key->secret = std::move(secret);
    key->iv.assign(SessionBlockBytes(algorithm), 0);
    key->context = std::move(context);
    return Keys().Add(std::move(key));
}

EVP_PKEY* KeyPkey(const Key& key) {
    if (key.kind == KeyKind::Pair) return key.pair->pkey.get();
    if (key.kind == KeyKind::Public) return key.publicKey.get();
    return nullptr;
}

BOOL GenerateSession(std::shared_ptr<Context> context, ALG_ID algorithm, DWORD bits, DWORD flags, HCRYPTKEY* phKey) {
    DWORD full = SessionKeyBits(algorithm);
    DWORD effective = algorithm == CALG_3DES ? 168 : algorithm == CALG_3DES_112 ? 112 : full;
    if (bits && bits != full && bits != effective) return Fail(NTE_BAD_FLAGS);
    SecureBytes secret(SessionKeyBytes(algorithm));
    if (RAND_priv_bytes(secret.data(), int(secret.size())) != 1) return Fail(NTE_FAIL);
    *phKey = AddSessionKey(std::move(context), algorithm, std::move(secret), flags & CRYPT_EXPORTABLE);
    return TRUE;
}

BOOL GeneratePair(std::shared_ptr<Context> context, DWORD keySpec, ALG_ID algorithm, DWORD bits, DWORD flags,
                  HCRYPTKEY* phKey) {
    Context& c = *context;
    Pkey pkey;
    if (IsRsaFamily(c)) {
        // The lengths the provider advertises (PP_ENUMALGS_EX) are the ones
        // it accepts; a CSP refuses any other with NTE_BAD_FLAGS.
        const AlgorithmInfo* limits = FindAlgorithm(*c.provider, algorithm);
        if (bits == 0) bits = c.provider->defaultRsaBits;
        if (!limits || bits < limits->minBits || bits > limits->maxBits || bits % kRsaKeyIncrement)
            return Fail(NTE_BAD_FLAGS);
        pkey = GenerateRsa(bits);
    } else {
        // SM2 keys are 256 bits whatever length a page configured (the
        // enrollment agent accepts any length for non-Microsoft providers).
        pkey = GenerateSm2();
    }
    if (!pkey) return FALSE;
    auto pair = std::make_shared<KeyPair>();
    pair->keySpec = keySpec;
    pair->algorithm = algorithm;
    pair->flags = flags & kPairFlags;
    pair->pkey = Share(std::move(pkey));
    if (!InstallKeyPair(c, pair)) return FALSE;
    *phKey = AddPairKey(std::move(context), std::move(pair));
    return TRUE;
}

// ---- export ----------------------------------------------------------------------

BOOL ExportPublic(const Key& key, BYTE* data, DWORD* length) {
    EVP_PKEY* pkey = KeyPkey(key);
    if (!pkey) return Fail(NTE_BAD_KEY);
    std::vector<BYTE> blob;
    bool ok = IsSm2(pkey) ? Sm2PublicBlob(pkey, key.algorithm, blob) : RsaPublicBlob(pkey, key.algorithm, blob);
    if (!ok) return FALSE;
    return CopyOut(blob.data(), DWORD(blob.size()), data, length);
}

BOOL ExportPrivate(const Key& key, HCRYPTKEY hExpKey, BYTE* data, DWORD* length) {
    if (key.kind != KeyKind::Pair) return Fail(NTE_BAD_KEY);
    if (hExpKey) return Fail(NTE_BAD_KEY);
    if (!(key.pair->flags & CRYPT_EXPORTABLE)) return Fail(NTE_BAD_KEY_STATE);
    if ((key.pair->flags & CRYPT_USER_PROTECTED) && key.context->silent) return Fail(NTE_SILENT_CONTEXT);
    EVP_PKEY* pkey = key.pair->pkey.get();
    SecureBytes blob;
    bool ok = IsSm2(pkey) ? Sm2PrivateBlob(pkey, key.algorithm, blob) : RsaPrivateBlob(pkey, key.algorithm, blob);
    if (!ok) return FALSE;
    return CopyOut(blob.data(), DWORD(blob.size()), data, length);
}

BOOL ExportSimple(const Key& key, HCRYPTKEY hExpKey, BYTE* data, DWORD* length) {
    if (key.kind != KeyKind::Session) return Fail(NTE_BAD_KEY);
    auto wrapping = Keys().Find(hExpKey);
    EVP_PKEY* pkey = wrapping ? KeyPkey(*wrapping) : nullptr;
    if (!pkey || IsSm2(pkey)) return Fail(NTE_BAD_PUBLIC_KEY);
    if (!(key.flags & CRYPT_EXPORTABLE)) return Fail(NTE_BAD_KEY_STATE);
    DWORD size = 12 + DWORD(EVP_PKEY_get_size(pkey));
    if (!data) return CopyOut(nullptr, size, nullptr, length);
    std::vector<BYTE> cipher;
    if (!RsaEncrypt(pkey, key.secret.data(), key.secret.size(), false, cipher)) return FALSE;
    std::vector<BYTE> blob(12);
    blob[0] = SIMPLEBLOB;
    blob[1] = CUR_BLOB_VERSION;
    ALG_ID wrappingAlgorithm = CALG_RSA_KEYX;
    std::memcpy(&blob[4], &key.algorithm, 4);
    std::memcpy(&blob[8], &wrappingAlgorithm, 4);
    blob.insert(blob.end(), cipher.rbegin(), cipher.rend());
    return CopyOut(blob.data(), DWORD(blob.size()), data, length);
}

BOOL ExportPlain(const Key& key, BYTE* data, DWORD* length) {
    if (key.kind != KeyKind::Session) return Fail(NTE_BAD_KEY);
    if (!(key.flags & CRYPT_EXPORTABLE)) return Fail(NTE_BAD_KEY_STATE);
    SecureBytes blob(12 + key.secret.size());
    blob.data()[0] = PLAINTEXTKEYBLOB;
    blob.data()[1] = CUR_BLOB_VERSION;
    DWORD size = DWORD(key.secret.size());
    std::memcpy(blob.data() + 4, &key.algorithm, 4);
    std::memcpy(blob.data() + 8, &size, 4);
    std::memcpy(blob.data() + 12, key.secret.data(), key.secret.size());
    return CopyOut(blob.data(), DWORD(blob.size()), data, length);
}

// ---- import ----------------------------------------------------------------------

BOOL ImportPublic(std::shared_ptr<Context> context, const BYTE* data, DWORD length, ALG_ID algorithm,
                  HCRYPTKEY* phKey) {
    DWORD keySpec;
    ALG_ID stored;
    if (!PairAlgorithm(*context, algorithm, keySpec, stored) || algorithm == AT_KEYEXCHANGE ||
        algorithm == AT_SIGNATURE)
        return Fail(NTE_BAD_ALGID);
    Pkey pkey = IsRsaFamily(*context) ? RsaFromPublicBlob(data, length) : Sm2FromPublicBlob(data, length);
    if (!pkey) return FALSE;
    auto key = std::make_shared<Key>();
    key->kind = KeyKind::Public;
    key->algorithm = stored;
    key->publicKey = Share(std::move(pkey));
    key->context = std::move(context);
    *phKey = Keys().Add(std::move(key));
    return TRUE;
}

BOOL ImportPrivate(std::shared_ptr<Context> context, const BYTE* data, DWORD length, ALG_ID algorithm, DWORD flags,
                   HCRYPTKEY* phKey) {
    DWORD keySpec;
    ALG_ID stored;
    if (!PairAlgorithm(*context, algorithm, keySpec, stored) || algorithm == AT_KEYEXCHANGE ||
        algorithm == AT_SIGNATURE)
        return Fail(NTE_BAD_ALGID);
    if ((flags & CRYPT_USER_PROTECTED) && context->silent) return Fail(NTE_SILENT_CONTEXT);
    Pkey pkey = IsRsaFamily(*context) ? RsaFromPrivateBlob(data, length) : Sm2FromPrivateBlob(data, length);
    if (!pkey) return FALSE;
    auto pair = std::make_shared<KeyPair>();
    pair->keySpec = keySpec;
    pair->algorithm = stored;
    pair->flags = flags & kPairFlags;
    pair->pkey = Share(std::move(pkey));
    if (!InstallKeyPair(*context, pair)) return FALSE;
    *phKey = AddPairKey(std::move(context), std::move(pair));
    return TRUE;
}

BOOL ImportSimple(std::shared_ptr<Context> context, const BYTE* data, DWORD length, ALG_ID algorithm,
                  HCRYPTKEY hPubKey, DWORD flags, HCRYPTKEY* phKey) {
    if (!OffersSession(*context, algorithm)) return Fail(NTE_BAD_ALGID);
    auto wrapping = Keys().Find(hPubKey);
    if (!wrapping || wrapping->kind != KeyKind::Pair || IsSm2(wrapping->pair->pkey.get()))
        return Fail(NTE_BAD_PUBLIC_KEY);
    if (length < 12) return Fail(NTE_BAD_DATA);
    ALG_ID wrappedWith;
    std::memcpy(&wrappedWith, data + 8, 4);
    if (wrappedWith != CALG_RSA_KEYX && wrappedWith != wrapping->algorithm) return Fail(NTE_BAD_ALGID);
    EVP_PKEY* pkey = wrapping->pair->pkey.get();
    if (length - 12 != DWORD(EVP_PKEY_get_size(pkey))) return Fail(NTE_BAD_DATA);
    std::vector<BYTE> cipher(data + 12, data + length);
    std::reverse(cipher.begin(), cipher.end());
    SecureBytes secret;
    if (!RsaDecrypt(pkey, cipher.data(), cipher.size(), false, secret)) return FALSE;
    if (secret.size() != SessionKeyBytes(algorithm)) return Fail(NTE_BAD_DATA);
    *phKey = AddSessionKey(std::move(context), algorithm, std::move(secret), flags & CRYPT_EXPORTABLE);
    return TRUE;
}

BOOL ImportPlain(std::shared_ptr<Context> context, const BYTE* data, DWORD length, ALG_ID algorithm, DWORD flags,
                 HCRYPTKEY* phKey) {
    if (!OffersSession(*context, algorithm)) return Fail(NTE_BAD_ALGID);
    DWORD size;
    if (length < 12) return Fail(NTE_BAD_DATA);
    std::memcpy(&size, data + 8, 4);
    if (size != SessionKeyBytes(algorithm) || length < 12 + size) return Fail(NTE_BAD_DATA);
    *phKey = AddSessionKey(std::move(context), algorithm, SecureBytes(data + 12, size), flags & CRYPT_EXPORTABLE);
    return TRUE;
}

// ---- certificates ----------------------------------------------------------------

// The length of the DER element at p, read from its header (0 if malformed).
DWORD DerLength(const BYTE* p) {
    if (p[0] != 0x30) return 0;
    if (p[1] < 0x80) return 2u + p[1];
    DWORD count = p[1] & 0x7F;
    if (count == 0 || count > 3) return 0;
    DWORD length = 0;
    for (DWORD i = 0; i < count; ++i) length = (length << 8) | p[2 + i];
    return 2 + count + length;
}

bool PublicKeyBits(EVP_PKEY* pkey, std::vector<BYTE>& bits) {
    if (IsSm2(pkey)) return Sm2PublicPoint(pkey, bits);
    return RsaPublicKeyDer(pkey, bits);
}

// A pair imported from an encrypted-key blob whose certificate was refused:
// the exchange pair it replaced goes back into the container.
void WithdrawImportedPair(Key& key) {
    auto replaced = std::move(key.replaced);
    key.replaced = nullptr;
    DWORD error = GetLastError();
    if (InstallKeyPair(*key.context, replaced)) key.withdrawn = true;
    SetLastError(error);
}

BOOL SetCertificate(Key& key, const BYTE* data) {
    if (key.kind != KeyKind::Pair || !key.context->provider->storesCertificates) return Fail(NTE_BAD_TYPE);
    std::lock_guard<std::mutex> handleLock(key.mutex);  // replaced and withdrawn
    if (key.withdrawn) return Fail(NTE_BAD_KEY);
    DWORD length = DerLength(data);
    if (length == 0 || length > kMaxCertificate) return Fail(NTE_BAD_DATA);
    // Read with the certificate stores' own parser, which must accept it to
    // link it below; OpenSSL's would also decode the subject's key, at a cost
    // larger than the rest of the installation.
    struct ContextDeleter {
        void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
    };
    std::unique_ptr<const CERT_CONTEXT, ContextDeleter> certificate(
        CertCreateCertificateContext(X509_ASN_ENCODING, data, length));
    if (!certificate) return Fail(NTE_BAD_DATA);
    // The certificate must certify this key.
    const CRYPT_BIT_BLOB& certBits = certificate->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    std::vector<BYTE> ours;
    bool match = PublicKeyBits(key.pair->pkey.get(), ours) &&
                 std::vector<BYTE>(certBits.pbData, certBits.pbData + certBits.cbData) == ours;
    certificate.reset();
    if (!match) {
        SetLastError(NTE_BAD_PUBLIC_KEY);
        if (key.replaced) WithdrawImportedPair(key);
        return FALSE;
    }
    Context& c = *key.context;
    std::vector<BYTE> der(data, data + length);
    if (!c.ephemeral &&
        !keystore::SaveCertificate(c.scope, c.provider->family, c.containerKey, key.pair->keySpec, der))
        return FALSE;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        key.pair->certificate = der;
    }
    key.replaced = nullptr;
    // As smart-card certificate propagation does on Windows, the certificate
    // also goes into the user's "MY" store, linked to this container.
    if (!c.ephemeral && c.scope == Scope::User &&
        !TesseraStoreAddLinkedCertificate(der.data(), length, c.containerName.c_str(), c.provider->name,
                                          c.provider->type, key.pair->keySpec))
        return FALSE;
    return TRUE;
}

BOOL SetSessionParam(Key& key, DWORD param, const BYTE* data) {
    if (key.kind != KeyKind::Session) return Fail(NTE_BAD_TYPE);
    std::lock_guard<std::mutex> lock(key.mutex);
    DWORD value = 0;
    switch (param) {
    case KP_MODE:
        std::memcpy(&value, data, 4);
        if (value != CRYPT_MODE_CBC && value != CRYPT_MODE_ECB) return Fail(NTE_BAD_DATA);
        key.mode = value;
        break;
    case KP_IV: key.iv.assign(data, data + SessionBlockBytes(key.algorithm)); break;
    case KP_PADDING:
        std::memcpy(&value, data, 4);
        if (value != PKCS5_PADDING) return Fail(NTE_BAD_DATA);
        break;
    default: return Fail(NTE_BAD_TYPE);
    }
    EVP_CIPHER_CTX_free(key.cipher);
    key.cipher = nullptr;
    return TRUE;
}

BOOL ReturnDword(DWORD value, BYTE* data, DWORD* length) { return CopyOut(&value, 4, data, length); }

}  // namespace
}  // namespace tessera::crypt

using namespace tessera;
using namespace tessera::crypt;

extern "C" BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    auto context = Contexts().Find(hProv);
    if (!context) return Fail(NTE_BAD_UID);
    if (!phKey) return Fail(ERROR_INVALID_PARAMETER);
    DWORD bits = dwFlags >> 16, flags = dwFlags & 0xFFFF;
    if ((flags & CRYPT_USER_PROTECTED) && context->silent) return Fail(NTE_SILENT_CONTEXT);
    DWORD keySpec;
    ALG_ID algorithm;
    if (PairAlgorithm(*context, Algid, keySpec, algorithm))
        return GeneratePair(std::move(context), keySpec, algorithm, bits, flags, phKey);
    if (OffersSession(*context, Algid)) return GenerateSession(std::move(context), Algid, bits, flags, phKey);
    return Fail(NTE_BAD_ALGID);
}

extern "C" BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    auto context = Contexts().Find(hProv);
    if (!context) return Fail(NTE_BAD_UID);
    if (!phUserKey) return Fail(ERROR_INVALID_PARAMETER);
    auto pair = UserKeyPair(*context, dwKeySpec);
    if (!pair) return FALSE;
    *phUserKey = AddPairKey(std::move(context), std::move(pair));
    return TRUE;
}

extern "C" BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey) {
    if (!Keys().Remove(hKey)) return Fail(NTE_BAD_KEY);
    return TRUE;
}

extern "C" BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                                      BYTE* pbData, DWORD* pdwDataLen) {
    auto key = Keys().Find(hKey);
    if (!key) return Fail(NTE_BAD_KEY);
    if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags) return Fail(NTE_BAD_FLAGS);
    switch (dwBlobType) {
    case PUBLICKEYBLOB: return ExportPublic(*key, pbData, pdwDataLen);
    case PRIVATEKEYBLOB: return ExportPrivate(*key, hExpKey, pbData, pdwDataLen);
    case SIMPLEBLOB: return ExportSimple(*key, hExpKey, pbData, pdwDataLen);
    case PLAINTEXTKEYBLOB: return ExportPlain(*key, pbData, pdwDataLen);
    default: return Fail(NTE_BAD_TYPE);
    }
}

extern "C" BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                                      DWORD dwFlags, HCRYPTKEY* phKey) {
    auto context = Contexts().Find(hProv);
    if (!context) return Fail(NTE_BAD_UID);
    if (!pbData || !phKey) return Fail(ERROR_INVALID_PARAMETER);
    if (dwDataLen < 8) return Fail(NTE_BAD_DATA);
    BYTE type = pbData[0], version = pbData[1];
    WORD reserved;
    ALG_ID algorithm;
    std::memcpy(&reserved, pbData + 2, 2);
    std::memcpy(&algorithm, pbData + 4, 4);
    if (type == PRIVATEKEYBLOB && reserved == VENDOR_KEY_BLOB_ENCRYPTED &&
        context->provider->family != Family::MicrosoftRsa)
        return ImportVendorBlob(std::move(context), pbData, dwDataLen, dwFlags, phKey);
    if (version != CUR_BLOB_VERSION) return Fail(NTE_BAD_VER);
    switch (type) {
    case PUBLICKEYBLOB: return ImportPublic(std::move(context), pbData, dwDataLen, algorithm, phKey);
    case PRIVATEKEYBLOB: return ImportPrivate(std::move(context), pbData, dwDataLen, algorithm, dwFlags, phKey);
    case SIMPLEBLOB:
        return ImportSimple(std::move(context), pbData, dwDataLen, algorithm, hPubKey, dwFlags, phKey);
    case PLAINTEXTKEYBLOB: return ImportPlain(std::move(context), pbData, dwDataLen, algorithm, dwFlags, phKey);
    default: return Fail(NTE_BAD_TYPE);
    }
}

extern "C" BOOL WINAPI CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    auto key = Keys().Find(hKey);
    if (!key) return Fail(NTE_BAD_KEY);
    if (!pbData) return Fail(ERROR_INVALID_PARAMETER);
    if (dwParam == KP_CERTIFICATE) return SetCertificate(*key, pbData);
    return SetSessionParam(*key, dwParam, pbData);
}

extern "C" BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                        DWORD dwFlags) {
    auto key = Keys().Find(hKey);
    if (!key) return Fail(NTE_BAD_KEY);
    if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    bool session = key->kind == KeyKind::Session;
    EVP_PKEY* pkey = KeyPkey(*key);
    switch (dwParam) {
    case KP_ALGID: return ReturnDword(key->algorithm, pbData, pdwDataLen);
    case KP_KEYLEN: return ReturnDword(session ? SessionKeyBits(key->algorithm) : KeyBits(pkey), pbData, pdwDataLen);
    case KP_BLOCKLEN:
        return ReturnDword(session ? SessionBlockBytes(key->algorithm) * 8 : KeyBits(pkey), pbData, pdwDataLen);
    case KP_PERMISSIONS: {
        DWORD flags = session ? key->flags : key->kind == KeyKind::Pair ? key->pair->flags : 0;
        return ReturnDword(0x3B | ((flags & CRYPT_EXPORTABLE) ? 0x4 : 0), pbData, pdwDataLen);
    }
    case KP_MODE:
        if (!session) return Fail(NTE_BAD_TYPE);
        return ReturnDword(key->mode, pbData, pdwDataLen);
    case KP_PADDING:
        if (!session) return Fail(NTE_BAD_TYPE);
        return ReturnDword(PKCS5_PADDING, pbData, pdwDataLen);
    case KP_IV:
        if (!session) return Fail(NTE_BAD_TYPE);
        return CopyOut(key->iv.data(), DWORD(key->iv.size()), pbData, pdwDataLen);
    case KP_CERTIFICATE: {
        if (key->kind != KeyKind::Pair || !key->context->provider->storesCertificates) return Fail(NTE_BAD_TYPE);
        std::vector<BYTE> certificate;
        {
            std::lock_guard<std::mutex> lock(key->context->mutex);
            certificate = key->pair->certificate;
        }
        if (certificate.empty()) return Fail(NTE_NOT_FOUND);
        return CopyOut(certificate.data(), DWORD(certificate.size()), pbData, pdwDataLen);
    }
    default: return Fail(NTE_BAD_TYPE);
    }
}

extern "C" BOOL WINAPI CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hCryptProvOrNCryptKey,
                                                DWORD dwKeySpec, DWORD dwCertEncodingType,
                                                PCERT_PUBLIC_KEY_INFO pInfo, DWORD* pcbInfo) {
    static const char kRsaOid[] = "1.2.840.113549.1.1.1";
    static const char kEcOid[] = "1.2.840.10045.2.1";
    static const BYTE kNull[] = {0x05, 0x00};
    static const BYTE kSm2Curve[] = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};
    auto context = Contexts().Find(hCryptProvOrNCryptKey);
    if (!context) return Fail(NTE_BAD_UID);
    if (!pcbInfo) return Fail(ERROR_INVALID_PARAMETER);
    if (!(dwCertEncodingType & X509_ASN_ENCODING)) return Fail(ERROR_FILE_NOT_FOUND);
    auto pair = UserKeyPair(*context, dwKeySpec);
    if (!pair) return FALSE;
    bool sm2 = IsSm2(pair->pkey.get());
    std::vector<BYTE> bits;
    if (!PublicKeyBits(pair->pkey.get(), bits)) return FALSE;
    const char* oid = sm2 ? kEcOid : kRsaOid;
    const BYTE* params = sm2 ? kSm2Curve : kNull;
    DWORD paramsLength = sm2 ? sizeof(kSm2Curve) : sizeof(kNull);
    DWORD oidLength = DWORD(std::strlen(oid) + 1);
    DWORD total = DWORD(sizeof(CERT_PUBLIC_KEY_INFO)) + oidLength + paramsLength + DWORD(bits.size());
    if (!pInfo) {
        *pcbInfo = total;
        return TRUE;
    }
    if (*pcbInfo < total) {
        *pcbInfo = total;
        return Fail(ERROR_MORE_DATA);
    }
    BYTE* cursor = reinterpret_cast<BYTE*>(pInfo) + sizeof(CERT_PUBLIC_KEY_INFO);
    std::memcpy(cursor, oid, oidLength);
    pInfo->Algorithm.pszObjId = reinterpret_cast<LPSTR>(cursor);
    cursor += oidLength;
    std::memcpy(cursor, params, paramsLength);
    pInfo->Algorithm.Parameters.cbData = paramsLength;
    pInfo->Algorithm.Parameters.pbData = cursor;
    cursor += paramsLength;
    std::memcpy(cursor, bits.data(), bits.size());
    pInfo->PublicKey.cbData = DWORD(bits.size());
    pInfo->PublicKey.pbData = cursor;
    pInfo->PublicKey.cUnusedBits = 0;
    *pcbInfo = total;
    return TRUE;
}
