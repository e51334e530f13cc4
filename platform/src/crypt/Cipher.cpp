// Encryption and decryption with RSA exchange keys (PKCS #1 v1.5 or OAEP,
// ciphertexts little-endian as CryptoAPI hands them over) and with session
// keys (ECB or CBC, PKCS #5 padding on the final block).
#include "Algorithms.h"

#include <tessera/platform_internal.h>

#include <algorithm>

namespace tessera::crypt {
namespace {

constexpr DWORD kOaep = 0x00000040;  // CRYPT_OAEP

// Reports the size an encryption needs: a size query without a buffer
// succeeds, a buffer that is too small fails with ERROR_MORE_DATA.
BOOL NeedSpace(DWORD needed, const BYTE* data, DWORD* length) {
    *length = needed;
    return data ? Fail(ERROR_MORE_DATA) : TRUE;
}

void HashPlain(HCRYPTHASH hHash, const BYTE* data, DWORD length) {
    if (hHash) CryptHashData(hHash, data, length, 0);
}

EVP_PKEY* RsaKeyOf(const Key& key, bool needPrivate) {
    if (key.kind == KeyKind::Pair && !IsSm2(key.pair->pkey.get())) return key.pair->pkey.get();
    if (key.kind == KeyKind::Public && !needPrivate && !IsSm2(key.publicKey.get())) return key.publicKey.get();
    return nullptr;
}

BOOL RsaDecryptCall(Key& key, HCRYPTHASH hHash, DWORD flags, BYTE* data, DWORD* length) {
    EVP_PKEY* pkey = RsaKeyOf(key, true);
    if (!pkey || key.algorithm != CALG_RSA_KEYX) return Fail(NTE_BAD_KEY);
    if ((key.pair->flags & CRYPT_USER_PROTECTED) && key.context->silent) return Fail(NTE_SILENT_CONTEXT);
    if (flags & ~kOaep) return Fail(NTE_BAD_FLAGS);
    if (*length != DWORD(EVP_PKEY_get_size(pkey))) return Fail(NTE_BAD_LEN);
    std::vector<BYTE> cipher(data, data + *length);
    std::reverse(cipher.begin(), cipher.end());
    SecureBytes plain;
    if (!RsaDecrypt(pkey, cipher.data(), cipher.size(), flags & kOaep, plain)) return FALSE;
    std::memcpy(data, plain.data(), plain.size());
    *length = DWORD(plain.size());
    HashPlain(hHash, data, *length);
    return TRUE;
}

BOOL RsaEncryptCall(Key& key, HCRYPTHASH hHash, DWORD flags, BYTE* data, DWORD* length, DWORD capacity) {
    EVP_PKEY* pkey = RsaKeyOf(key, false);
    if (!pkey || key.algorithm != CALG_RSA_KEYX) return Fail(NTE_BAD_KEY);
    if (flags & ~kOaep) return Fail(NTE_BAD_FLAGS);
    DWORD size = DWORD(EVP_PKEY_get_size(pkey));
    if (*length > size - 11) return Fail(NTE_BAD_LEN);
    if (!data || capacity < size) return NeedSpace(size, data, length);
    HashPlain(hHash, data, *length);
    std::vector<BYTE> cipher;
    if (!RsaEncrypt(pkey, data, *length, flags & kOaep, cipher)) return FALSE;
    std::reverse_copy(cipher.begin(), cipher.end(), data);
    *length = DWORD(cipher.size());
    return TRUE;
}

bool StartCipher(Key& key, bool encrypt) {
    if (key.cipher && key.encrypting == encrypt) return true;
    EVP_CIPHER_CTX_free(key.cipher);
    key.cipher = EVP_CIPHER_CTX_new();
    key.encrypting = encrypt;
    const EVP_CIPHER* cipher = SessionCipher(key.algorithm, key.mode);
    const BYTE* iv = key.mode == CRYPT_MODE_ECB ? nullptr : key.iv.data();
    if (!key.cipher || !cipher ||
        EVP_CipherInit_ex(key.cipher, cipher, nullptr, key.secret.data(), iv, encrypt ? 1 : 0) <= 0) {
        EVP_CIPHER_CTX_free(key.cipher);
        key.cipher = nullptr;
        return Fail(NTE_BAD_KEY);
    }
    EVP_CIPHER_CTX_set_padding(key.cipher, 0);
    return true;
}

void EndCipher(Key& key) {
    EVP_CIPHER_CTX_free(key.cipher);
    key.cipher = nullptr;
}

BOOL SessionDecrypt(Key& key, HCRYPTHASH hHash, BOOL final, BYTE* data, DWORD* length) {
    std::lock_guard<std::mutex> lock(key.mutex);
    DWORD block = SessionBlockBytes(key.algorithm);
    if (!block || *length % block || (final && *length == 0)) return Fail(NTE_BAD_DATA);
    if (!StartCipher(key, false)) return FALSE;
    SecureBytes plain(*length + block);
    int written = 0, last = 0;
    // Padding is checked and removed on the final block only.
    if (final) EVP_CIPHER_CTX_set_padding(key.cipher, 1);
    bool ok = EVP_DecryptUpdate(key.cipher, plain.data(), &written, data, int(*length)) > 0 &&
              (!final || EVP_DecryptFinal_ex(key.cipher, plain.data() + written, &last) > 0);
    if (final || !ok) EndCipher(key);
    if (!ok) return Fail(NTE_BAD_DATA);
    DWORD total = DWORD(written + last);
    std::memcpy(data, plain.data(), total);
    *length = total;
    HashPlain(hHash, data, total);
    return TRUE;
}

BOOL SessionEncrypt(Key& key, HCRYPTHASH hHash, BOOL final, BYTE* data, DWORD* length, DWORD capacity) {
    std::lock_guard<std::mutex> lock(key.mutex);
    DWORD block = SessionBlockBytes(key.algorithm);
    if (!block || (!final && *length % block)) return Fail(NTE_BAD_DATA);
    DWORD needed = final ? (*length / block + 1) * block : *length;
    if (!data || capacity < needed) return NeedSpace(needed, data, length);
    if (!StartCipher(key, true)) return FALSE;
    HashPlain(hHash, data, *length);
    std::vector<BYTE> cipher(needed + block);
    int written = 0, last = 0;
    if (final) EVP_CIPHER_CTX_set_padding(key.cipher, 1);
    bool ok = EVP_EncryptUpdate(key.cipher, cipher.data(), &written, data, int(*length)) > 0 &&
              (!final || EVP_EncryptFinal_ex(key.cipher, cipher.data() + written, &last) > 0);
    if (final || !ok) EndCipher(key);
    if (!ok) return Fail(NTE_FAIL);
    std::memcpy(data, cipher.data(), size_t(written + last));
    *length = DWORD(written + last);
    return TRUE;
}

}  // namespace
}  // namespace tessera::crypt

using namespace tessera;
using namespace tessera::crypt;

extern "C" BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                                    DWORD* pdwDataLen) {
    auto key = Keys().Find(hKey);
    if (!key) return Fail(NTE_BAD_KEY);
    if (!pdwDataLen || (!pbData && *pdwDataLen)) return Fail(ERROR_INVALID_PARAMETER);
    if (hHash && !Hashes().Find(hHash)) return Fail(NTE_BAD_HASH);
    if (key->kind == KeyKind::Session) {
        if (dwFlags) return Fail(NTE_BAD_FLAGS);
        return SessionDecrypt(*key, hHash, Final, pbData, pdwDataLen);
    }
    return RsaDecryptCall(*key, hHash, dwFlags, pbData, pdwDataLen);
}

extern "C" BOOL WINAPI CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                                    DWORD* pdwDataLen, DWORD dwBufLen) {
    auto key = Keys().Find(hKey);
    if (!key) return Fail(NTE_BAD_KEY);
    if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    if (hHash && !Hashes().Find(hHash)) return Fail(NTE_BAD_HASH);
    if (key->kind == KeyKind::Session) {
        if (dwFlags) return Fail(NTE_BAD_FLAGS);
        return SessionEncrypt(*key, hHash, Final, pbData, pdwDataLen, dwBufLen);
    }
    return RsaEncryptCall(*key, hHash, dwFlags, pbData, pdwDataLen, dwBufLen);
}
