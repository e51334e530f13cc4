// Key generation and signing through advapi32 and tessera-csp.dll against
// the same work done with libcrypto directly, in one process. Prints the
// ratios; asserts nothing (run it by hand under Wine or on Windows):
//   tessera_csp_bench [rounds]
#include <windows.h>
#include <wincrypt.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

const wchar_t kRsa[] = L"Tessera RSA Software CSP";
const wchar_t kSm2[] = L"Tessera SM2 Software CSP";
constexpr ALG_ID kSm3 = 0x800F;
constexpr ALG_ID kSm2Signature = 0x3E00;

double Seconds(int rounds, const std::function<bool()>& work) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i)
        if (!work()) {
            std::fprintf(stderr, "failed: 0x%08lx\n", GetLastError());
            std::exit(1);
        }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool CspSign(HCRYPTPROV prov, ALG_ID hashAlgorithm, const std::vector<BYTE>& message) {
    HCRYPTHASH hash = 0;
    BYTE signature[512];
    DWORD length = sizeof(signature);
    bool ok = CryptCreateHash(prov, hashAlgorithm, 0, 0, &hash) &&
              CryptHashData(hash, message.data(), DWORD(message.size()), 0) &&
              CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature, &length);
    if (hash) CryptDestroyHash(hash);
    return ok;
}

bool OpenSslSign(EVP_PKEY* pkey, const EVP_MD* md, bool sm2, const std::vector<BYTE>& message) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    unsigned char signature[512];
    size_t length = sizeof(signature);
    bool ok = EVP_DigestSignInit(ctx, &pctx, md, nullptr, pkey) > 0 &&
              (!sm2 || EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16) > 0) &&
              EVP_DigestSign(ctx, signature, &length, message.data(), message.size()) > 0;
    EVP_MD_CTX_free(ctx);
    return ok;
}

bool CspContainerAndKey(const wchar_t* provider, ALG_ID algorithm, DWORD bits) {
    const wchar_t* name = L"tessera-csp-bench";
    HCRYPTPROV prov = 0;
    CryptAcquireContextW(&prov, name, provider, 1, CRYPT_DELETEKEYSET);
    HCRYPTKEY key = 0;
    bool ok = CryptAcquireContextW(&prov, name, provider, 1, CRYPT_NEWKEYSET) &&
              CryptGenKey(prov, algorithm, bits << 16, &key);
    if (key) CryptDestroyKey(key);
    if (prov) CryptReleaseContext(prov, 0);
    CryptAcquireContextW(&prov, name, provider, 1, CRYPT_DELETEKEYSET);
    return ok;
}

void Report(const char* what, double csp, double openssl, bool throughput) {
    // Throughput: OpenSSL's time over ours (1 is as fast); cost: ours over OpenSSL's.
    std::printf("%-28s csp %.3f s  openssl %.3f s  %s %.2f\n", what, csp, openssl,
                throughput ? "csp/openssl throughput" : "csp/openssl time", throughput ? openssl / csp : csp / openssl);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 50;
    std::vector<BYTE> message(1024, 0x5A);

    // SM2: container with a new key pair (each round creates, fills and
    // deletes one; a context held open keeps the DLL loaded, as in a program
    // that holds one), then signing.
    HCRYPTPROV held = 0;
    CryptAcquireContextW(&held, nullptr, kSm2, 1, CRYPT_VERIFYCONTEXT);
    double cspKeys = Seconds(rounds, [] { return CspContainerAndKey(kSm2, kSm2Signature, 256); });
    CryptReleaseContext(held, 0);
    double cspKeysCold = Seconds(rounds, [] { return CspContainerAndKey(kSm2, kSm2Signature, 256); });
    double sslKeys = Seconds(rounds, [] {
        EVP_PKEY* p = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
        EVP_PKEY_free(p);
        return p != nullptr;
    });
    Report("SM2 container + keygen", cspKeys, sslKeys, false);
    Report("  the same, DLL loaded each time", cspKeysCold, sslKeys, false);

    HCRYPTPROV sm2 = 0;
    HCRYPTKEY key = 0;
    CryptAcquireContextW(&sm2, nullptr, kSm2, 1, CRYPT_VERIFYCONTEXT);
    CryptGenKey(sm2, kSm2Signature, 0, &key);
    EVP_PKEY* sm2Key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    Report("SM2 sign (SM3)", Seconds(rounds * 4, [&] { return CspSign(sm2, kSm3, message); }),
           Seconds(rounds * 4, [&] { return OpenSslSign(sm2Key, EVP_sm3(), true, message); }), true);
    CryptDestroyKey(key);
    CryptReleaseContext(sm2, 0);
    EVP_PKEY_free(sm2Key);

    // RSA 2048: signing with SHA-1 (key generation varies too much per key
    // to compare in a short run).
    HCRYPTPROV rsa = 0;
    CryptAcquireContextW(&rsa, nullptr, kRsa, 1, CRYPT_VERIFYCONTEXT);
    CryptGenKey(rsa, AT_SIGNATURE, 2048u << 16, &key);
    EVP_PKEY* rsaKey = EVP_RSA_gen(2048);
    Report("RSA-2048 sign (SHA-1)", Seconds(rounds, [&] { return CspSign(rsa, CALG_SHA1, message); }),
           Seconds(rounds, [&] { return OpenSslSign(rsaKey, EVP_sha1(), false, message); }), true);
    CryptDestroyKey(key);
    CryptReleaseContext(rsa, 0);
    EVP_PKEY_free(rsaKey);
    return 0;
}
