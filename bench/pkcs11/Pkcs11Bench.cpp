// RSA-2048 signatures through the PKCS #11 module (C_SignInit + C_Sign with
// CKM_SHA256_RSA_PKCS, as a TLS client or signing tool makes them) against
// OpenSSL signing with a key of its own, alternating in the same run.
#define CRYPTOKI_GNU 1
#include <p11-kit/pkcs11.h>

#include "../../tests/pkcs11/TokenFixture.h"

#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <vector>

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

template <typename F>
double Seconds(F&& f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Token {
    ck_function_list* f = nullptr;
    ck_session_handle_t session = 0;
    ck_object_handle_t key = 0;
};

Token Open() {
    Token t;
    char pattern[] = "/tmp/tessera-p11-bench-XXXXXX";
    if (const char* dir = mkdtemp(pattern)) setenv("TESSERA_STORE_DIR", dir, 1);
    if (!tessera::test::AddRsaKey(u"pkcs11-bench", 2048, "Bench Signer")) return t;
    void* module = dlopen(TESSERA_PKCS11_MODULE, RTLD_NOW | RTLD_LOCAL);
    auto get = module ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList")) : nullptr;
    if (!get || get(&t.f) != CKR_OK || t.f->C_Initialize(nullptr) != CKR_OK ||
        t.f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &t.session) != CKR_OK) {
        t.f = nullptr;
        return t;
    }
    unsigned long cls = CKO_PRIVATE_KEY, count = 0;
    ck_attribute templ = {CKA_CLASS, &cls, sizeof cls};
    t.f->C_FindObjectsInit(t.session, &templ, 1);
    t.f->C_FindObjects(t.session, &t.key, 1, &count);
    t.f->C_FindObjectsFinal(t.session);
    if (count != 1) t.f = nullptr;
    return t;
}

void BM_Rsa2048SignThroughModule(benchmark::State& state) {
    static Token token = Open();
    if (!token.f) {
        state.SkipWithError("no token key");
        return;
    }
    EVP_PKEY* peerKey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(2048));
    std::vector<unsigned char> data(100, 0x5A), signature(256);
    std::vector<double> ours, peer;
    ck_mechanism mechanism = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    for (auto _ : state) {
        ours.push_back(Seconds([&] {
            unsigned long length = signature.size();
            token.f->C_SignInit(token.session, &mechanism, token.key);
            token.f->C_Sign(token.session, data.data(), data.size(), signature.data(), &length);
        }));
        peer.push_back(Seconds([&] {
            EVP_MD_CTX* md = EVP_MD_CTX_new();
            size_t length = signature.size();
            EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, peerKey);
            EVP_DigestSign(md, signature.data(), &length, data.data(), data.size());
            EVP_MD_CTX_free(md);
        }));
    }
    EVP_PKEY_free(peerKey);
    state.counters["module_per_s"] = 1 / Median(ours);
    state.counters["openssl_per_s"] = 1 / Median(peer);
    state.counters["throughput_ratio"] = Median(peer) / Median(ours);
}

BENCHMARK(BM_Rsa2048SignThroughModule)->Iterations(std::getenv("TESSERA_BENCH_SMOKE") ? 1 : 400)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
