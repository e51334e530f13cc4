// The key store against OpenSSL's own calls, measured alternately in the
// same run so that machine load affects both alike. Each benchmark reports
// the medians of both sides and their ratio (key store / OpenSSL for times,
// key store / OpenSSL for throughput).
#include <windows.h>
#include <wincrypt.h>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {


const WCHAR kEnhanced[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
const WCHAR kSm2[] = u"Tessera SM2 Software CSP";
const char kDistId[] = "1234567812345678";

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Processor time of this thread: the machine is shared, and other
// processes' load would otherwise land on whichever side ran at the time.
double ThreadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

template <typename F>
double Seconds(F&& f) {
    double start = ThreadSeconds();
    f();
    return ThreadSeconds() - start;
}

std::u16string ContainerName(int i) {
    std::string s = "bench-" + std::to_string(getpid()) + "-" + std::to_string(i);
    return std::u16string(s.begin(), s.end());
}

// RSA-2048: a new container, its key pair and the public-key export, against
// EVP_PKEY_keygen alone.
void BM_Rsa2048ContainerKeygenExport(benchmark::State& state) {
    std::vector<double> ours, peer;
    int serial = 0;
    for (auto _ : state) {
        peer.push_back(Seconds([] {
            EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
            EVP_PKEY* pkey = nullptr;
            EVP_PKEY_keygen_init(ctx);
            EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 2048);
            EVP_PKEY_keygen(ctx, &pkey);
            EVP_PKEY_free(pkey);
            EVP_PKEY_CTX_free(ctx);
        }));
        std::u16string name = ContainerName(serial++);
        ours.push_back(Seconds([&] {
            HCRYPTPROV prov = 0;
            HCRYPTKEY key = 0;
            DWORD size = 0;
            CryptAcquireContextW(&prov, name.c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET);
            CryptGenKey(prov, AT_KEYEXCHANGE, 2048u << 16, &key);
            CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &size);
            std::vector<BYTE> info(size);
            CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING,
                                     reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &size);
            CryptDestroyKey(key);
            CryptReleaseContext(prov, 0);
        }));
        HCRYPTPROV gone = 0;
        CryptAcquireContextW(&gone, name.c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    }
    state.counters["keystore_ms"] = Median(ours) * 1e3;
    state.counters["openssl_ms"] = Median(peer) * 1e3;
    state.counters["time_ratio"] = Median(ours) / Median(peer);
}

// The same container work without the prime search, whose time varies
// widely: a pair made beforehand is imported instead of generated. Its
// median over the median key generation gives the ratio with little noise.
void BM_Rsa2048ContainerStoreExport(benchmark::State& state) {
    HCRYPTPROV scratch = 0;
    HCRYPTKEY made = 0;
    CryptAcquireContextW(&scratch, nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    CryptGenKey(scratch, AT_KEYEXCHANGE, (2048u << 16) | CRYPT_EXPORTABLE, &made);
    DWORD blobSize = 0;
    CryptExportKey(made, 0, PRIVATEKEYBLOB, 0, nullptr, &blobSize);
    std::vector<BYTE> blob(blobSize);
    CryptExportKey(made, 0, PRIVATEKEYBLOB, 0, blob.data(), &blobSize);
    std::vector<double> work, keygen;
    int serial = 200000;
    for (auto _ : state) {
        keygen.push_back(Seconds([] {
            EVP_PKEY* pkey = EVP_RSA_gen(2048);
            EVP_PKEY_free(pkey);
        }));
        std::u16string name = ContainerName(serial++);
        work.push_back(Seconds([&] {
            HCRYPTPROV prov = 0;
            HCRYPTKEY key = 0;
            DWORD size = 0;
            CryptAcquireContextW(&prov, name.c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET);
            CryptImportKey(prov, blob.data(), blobSize, 0, 0, &key);
            CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &size);
            std::vector<BYTE> info(size);
            CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING,
                                     reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &size);
            CryptDestroyKey(key);
            CryptReleaseContext(prov, 0);
        }));
        HCRYPTPROV gone = 0;
        CryptAcquireContextW(&gone, name.c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    }
    CryptDestroyKey(made);
    CryptReleaseContext(scratch, 0);
    state.counters["store_work_ms"] = Median(work) * 1e3;
    state.counters["openssl_keygen_ms"] = Median(keygen) * 1e3;
    state.counters["time_ratio"] = (Median(keygen) + Median(work)) / Median(keygen);
}

// Signing throughput: batches of signatures through CryptSignHashW against
// batches of EVP_DigestSign over the same message with a key of the same kind.
template <typename Ours, typename Peer>
void CompareThroughput(benchmark::State& state, Ours&& ours, Peer&& peer) {
    constexpr int kBatch = 20;
    std::vector<double> oursRate, peerRate;
    for (auto _ : state) {
        peerRate.push_back(kBatch / Seconds([&] {
                               for (int i = 0; i < kBatch; ++i) peer();
                           }));
        oursRate.push_back(kBatch / Seconds([&] {
                               for (int i = 0; i < kBatch; ++i) ours();
                           }));
    }
    state.counters["keystore_per_s"] = Median(oursRate);
    state.counters["openssl_per_s"] = Median(peerRate);
    state.counters["throughput_ratio"] = Median(oursRate) / Median(peerRate);
}

std::vector<BYTE> Message() { return std::vector<BYTE>(512, 0x5A); }

void SignThroughput(benchmark::State& state, const WCHAR* provider, ALG_ID keyAlgorithm, DWORD keyFlags,
                    ALG_ID hashAlgorithm, EVP_PKEY* peerKey, const EVP_MD* md, bool sm2) {
    std::u16string name = ContainerName(100000 + int(keyAlgorithm));
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    CryptAcquireContextW(&prov, name.c_str(), provider, PROV_RSA_FULL, CRYPT_NEWKEYSET);
    CryptGenKey(prov, keyAlgorithm, keyFlags, &key);
    std::vector<BYTE> message = Message(), signature(1024);
    auto ours = [&] {
        HCRYPTHASH hash = 0;
        CryptCreateHash(prov, hashAlgorithm, 0, 0, &hash);
        CryptHashData(hash, message.data(), DWORD(message.size()), 0);
        DWORD size = DWORD(signature.size());
        CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size);
        CryptDestroyHash(hash);
    };
    auto peer = [&] {
        EVP_MD_CTX* mctx = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = nullptr;
        if (sm2) {
            pctx = EVP_PKEY_CTX_new(peerKey, nullptr);
            EVP_PKEY_CTX_set1_id(pctx, kDistId, sizeof(kDistId) - 1);
            EVP_MD_CTX_set_pkey_ctx(mctx, pctx);
        }
        EVP_DigestSignInit(mctx, nullptr, md, nullptr, peerKey);
        size_t size = signature.size();
        EVP_DigestSign(mctx, signature.data(), &size, message.data(), message.size());
        EVP_MD_CTX_free(mctx);
        EVP_PKEY_CTX_free(pctx);
    };
    CompareThroughput(state, ours, peer);
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    HCRYPTPROV gone = 0;
    CryptAcquireContextW(&gone, name.c_str(), provider, PROV_RSA_FULL, provider == kSm2 ? 0xFFFF0002 : CRYPT_DELETEKEYSET);
}

void BM_Sha1Rsa2048Sign(benchmark::State& state) {
    EVP_PKEY* peerKey = EVP_RSA_gen(2048);
    SignThroughput(state, kEnhanced, AT_SIGNATURE, 2048u << 16, CALG_SHA1, peerKey, EVP_sha1(), false);
    EVP_PKEY_free(peerKey);
}

void BM_Sm3Sm2Sign(benchmark::State& state) {
    EVP_PKEY* peerKey = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    SignThroughput(state, kSm2, 0x3E00, 0, 0x800F, peerKey, EVP_sm3(), true);
    EVP_PKEY_free(peerKey);
}

// The iteration count, or a single iteration for the smoke run of the tests.
benchmark::IterationCount Iterations(benchmark::IterationCount count) {
    return std::getenv("TESSERA_BENCH_SMOKE") ? 1 : count;
}

BENCHMARK(BM_Rsa2048ContainerKeygenExport)->Iterations(Iterations(41))->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rsa2048ContainerStoreExport)->Iterations(Iterations(41))->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha1Rsa2048Sign)->Iterations(Iterations(31))->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sm3Sm2Sign)->Iterations(Iterations(101))->Unit(benchmark::kMillisecond);

// A store of the run's own, removed afterwards.
struct BenchStore {
    std::string directory;
    BenchStore() {
        char pattern[] = "/tmp/tessera-bench-XXXXXX";
        directory = mkdtemp(pattern);
        setenv("TESSERA_STORE_DIR", directory.c_str(), 1);
    }
    ~BenchStore() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
};

}  // namespace

int main(int argc, char** argv) {
    BenchStore store;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
