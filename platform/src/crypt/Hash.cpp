// Hash objects and the signatures made with a container's key pairs.
#include "Algorithms.h"

#include <tessera/platform_internal.h>

namespace tessera::crypt {
namespace {

constexpr DWORD kNoHashOid = 0x00000001;  // CRYPT_NOHASHOID

bool Finish(Hash& hash) {
    if (hash.finished) return true;
    unsigned int length = 0;
    hash.value.assign(EVP_MAX_MD_SIZE, 0);
    if (EVP_DigestFinal_ex(hash.digest, hash.value.data(), &length) <= 0) return Fail(NTE_BAD_HASH_STATE);
    hash.value.resize(length);
    hash.finished = true;
    return true;
}

BOOL ReturnDword(DWORD value, BYTE* data, DWORD* length) { return CopyOut(&value, 4, data, length); }

bool Protected(const KeyPair& pair, const Context& context) {
    return (pair.flags & CRYPT_USER_PROTECTED) && context.silent;
}

}  // namespace
}  // namespace tessera::crypt

using namespace tessera;
using namespace tessera::crypt;

extern "C" BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                       HCRYPTHASH* phHash) {
    auto context = Contexts().Find(hProv);
    if (!context) return Fail(NTE_BAD_UID);
    if (!phHash) return Fail(ERROR_INVALID_PARAMETER);
    if (hKey) return Fail(NTE_BAD_KEY);
    if (dwFlags) return Fail(NTE_BAD_FLAGS);
    const EVP_MD* md = HashDigest(Algid);
    if (!md || !FindAlgorithm(*context->provider, Algid)) return Fail(NTE_BAD_ALGID);
    auto hash = std::make_shared<Hash>();
    hash->context = std::move(context);
    hash->algorithm = Algid;
    hash->md = md;
    hash->digest = EVP_MD_CTX_new();
    if (!hash->digest || EVP_DigestInit_ex(hash->digest, md, nullptr) <= 0) return Fail(NTE_NO_MEMORY);
    *phHash = Hashes().Add(std::move(hash));
    return TRUE;
}

extern "C" BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
    auto hash = Hashes().Find(hHash);
    if (!hash) return Fail(NTE_BAD_HASH);
    if (!pbData && dwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(hash->mutex);
    if (hash->finished) return Fail(NTE_BAD_HASH_STATE);
    if (dwDataLen == 0) return TRUE;
    if (EVP_DigestUpdate(hash->digest, pbData, dwDataLen) <= 0) return Fail(NTE_FAIL);
    // An SM2 signature digests Z || M, and Z depends on the signer's key,
    // which is known only when signing: keep the message for it.
    if (hash->algorithm == kAlgSm3) hash->message.insert(hash->message.end(), pbData, pbData + dwDataLen);
    return TRUE;
}

extern "C" BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                         DWORD dwFlags) {
    auto hash = Hashes().Find(hHash);
    if (!hash) return Fail(NTE_BAD_HASH);
    if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(hash->mutex);
    DWORD size = DWORD(EVP_MD_get_size(hash->md));
    switch (dwParam) {
    case HP_ALGID: return ReturnDword(hash->algorithm, pbData, pdwDataLen);
    case HP_HASHSIZE: return ReturnDword(size, pbData, pdwDataLen);
    case HP_HASHVAL:
        if (!pbData) return CopyOut(nullptr, size, nullptr, pdwDataLen);
        if (*pdwDataLen < size) return CopyOut(nullptr, size, pbData, pdwDataLen);
        if (!Finish(*hash)) return FALSE;
        return CopyOut(hash->value.data(), DWORD(hash->value.size()), pbData, pdwDataLen);
    default: return Fail(NTE_BAD_TYPE);
    }
}

extern "C" BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
    if (!Hashes().Remove(hHash)) return Fail(NTE_BAD_HASH);
    return TRUE;
}

extern "C" BOOL WINAPI CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                                      BYTE* pbSignature, DWORD* pdwSigLen) {
    auto hash = Hashes().Find(hHash);
    if (!hash) return Fail(NTE_BAD_HASH);
    if (!pdwSigLen) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & ~kNoHashOid) return Fail(NTE_BAD_FLAGS);
    auto pair = UserKeyPair(*hash->context, dwKeySpec);
    if (!pair) return FALSE;
    EVP_PKEY* pkey = pair->pkey.get();
    bool sm2 = IsSm2(pkey);
    if (sm2 != (hash->algorithm == kAlgSm3)) return Fail(NTE_BAD_ALGID);
    DWORD size = sm2 ? 64 : DWORD(EVP_PKEY_get_size(pkey));
    if (!pbSignature || *pdwSigLen < size) return CopyOut(nullptr, size, pbSignature, pdwSigLen);
    if (Protected(*pair, *hash->context)) return Fail(NTE_SILENT_CONTEXT);
    std::lock_guard<std::mutex> lock(hash->mutex);
    std::vector<BYTE> signature;
    bool ok;
    if (sm2) {
        ok = Sm2SignMessage(pkey, hash->message, signature);
        ok = ok && Finish(*hash);
    } else {
        ok = Finish(*hash) && RsaSignDigest(pkey, hash->md, hash->value, dwFlags & kNoHashOid, signature);
    }
    if (!ok) return FALSE;
    return CopyOut(signature.data(), DWORD(signature.size()), pbSignature, pdwSigLen);
}

extern "C" BOOL WINAPI CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                                             HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags) {
    auto hash = Hashes().Find(hHash);
    if (!hash) return Fail(NTE_BAD_HASH);
    auto key = Keys().Find(hPubKey);
    if (!key || key->kind == KeyKind::Session) return Fail(NTE_BAD_KEY);
    if (!pbSignature) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & ~kNoHashOid) return Fail(NTE_BAD_FLAGS);
    EVP_PKEY* pkey = key->kind == KeyKind::Pair ? key->pair->pkey.get() : key->publicKey.get();
    bool sm2 = IsSm2(pkey);
    if (sm2 != (hash->algorithm == kAlgSm3)) return Fail(NTE_BAD_ALGID);
    std::lock_guard<std::mutex> lock(hash->mutex);
    if (sm2) return Sm2VerifyMessage(pkey, hash->message, pbSignature, dwSigLen) && Finish(*hash);
    if (dwSigLen != DWORD(EVP_PKEY_get_size(pkey))) return Fail(NTE_BAD_SIGNATURE);
    return Finish(*hash) &&
           RsaVerifyDigest(pkey, hash->md, hash->value, dwFlags & kNoHashOid, pbSignature, dwSigLen);
}
