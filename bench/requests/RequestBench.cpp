// Request composition and signing, DER decoding and encoding, Base64, each
// measured against OpenSSL on the same inputs in the same run. At the end
// the ratio Tessera / OpenSSL of every pair is printed (below 1: faster).
#include <benchmark/benchmark.h>

#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ASN1Engine.h"
#include "CertificateRequisition.h"
#include "Misc.h"
#include "PKCS10Request.h"

namespace {

// The subject in the page's syntax and the same RDNs in DER order for OpenSSL.
const WCHAR kSubject[] = TEXT("CN=Benchmark User,OU=Retail,O=Tessera Bank,L=Hangzhou,ST=Zhejiang,C=CN");
const char* const kSubjectFields[][2] = {{"C", "CN"},          {"ST", "Zhejiang"}, {"L", "Hangzhou"},
                                         {"O", "Tessera Bank"}, {"OU", "Retail"},   {"CN", "Benchmark User"}};

struct KeyPair {
    HCRYPTPROV hProvider = 0;
    ByteBuffer publicKey;       // RSA: CERT_PUBLIC_KEY_INFO; SM2: provider blob
    DWORD publicKeyLength = 0;
    const BYTE* bits = nullptr; // what the request carries for RSA
    DWORD bitsLength = 0;
    EVP_PKEY* pkey = nullptr;   // the same key for OpenSSL
};

KeyPair g_rsa, g_sm2;
std::vector<BYTE> g_requestDer;   // a double-certificate request
std::vector<BYTE> g_singleDer;    // a single-certificate request
std::vector<BYTE> g_binary;       // 16 KiB of data
std::string g_base64Lines;        // its Base64 with CR LF lines
std::string g_base64Flat;         // the same without line breaks

bool ExportPrivate(HCRYPTPROV hProvider, DWORD keySpec, std::vector<BYTE>& blob) {
    HCRYPTKEY hKey = 0;
    if (!CryptGetUserKey(hProvider, keySpec, &hKey)) return false;
    DWORD cb = 0;
    bool ok = CryptExportKey(hKey, 0, PRIVATEKEYBLOB, 0, nullptr, &cb);
    blob.resize(cb);
    ok = ok && CryptExportKey(hKey, 0, PRIVATEKEYBLOB, 0, blob.data(), &cb);
    CryptDestroyKey(hKey);
    return ok;
}

// The SM2 private blob is the 140-byte public blob followed by the scalar,
// least significant byte first.
EVP_PKEY* SM2KeyFromBlob(const std::vector<BYTE>& blob) {
    if (blob.size() < 172) return nullptr;
    BYTE scalar[32], point[65];
    for (int i = 0; i < 32; ++i) scalar[i] = blob[140 + 31 - i];
    point[0] = 4;
    for (int i = 0; i < 32; ++i) point[1 + i] = blob[12 + 31 - i], point[33 + i] = blob[76 + 31 - i];
    BIGNUM* d = BN_bin2bn(scalar, 32, nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, d);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY* pkey = nullptr;
    if (ctx && EVP_PKEY_fromdata_init(ctx) > 0) EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_KEYPAIR, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(d);
    return pkey;
}

bool MakeKey(KeyPair& key, const WCHAR* provider, BOOL bRSA, LONG bits) {
    WString container;
    if (FAILED(CreatePublicKey(container, key.publicKey, bits, provider, bRSA, AT_KEYEXCHANGE, TRUE, key.hProvider,
                               key.publicKeyLength, CRYPT_EXPORTABLE)))
        return false;
    std::vector<BYTE> blob;
    if (!ExportPrivate(key.hProvider, AT_KEYEXCHANGE, blob)) return false;
    if (bRSA) {
        const auto* info = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(key.publicKey.get());
        key.bits = info->PublicKey.pbData;
        key.bitsLength = info->PublicKey.cbData;
        const unsigned char* p = blob.data();
        key.pkey = b2i_PrivateKey(&p, (long)blob.size());
    } else {
        key.pkey = SM2KeyFromBlob(blob);
    }
    return key.pkey != nullptr;
}

X509_NAME* OpenSSLName() {
    X509_NAME* name = X509_NAME_new();
    for (const auto& field : kSubjectFields)
        X509_NAME_add_entry_by_txt(name, field[0], MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(field[1]),
                                   -1, -1, 0);
    return name;
}

// ---- request composition and signing ------------------------------------------------

void TesseraRequest(benchmark::State& state, bool sm2) {
    KeyPair& key = sm2 ? g_sm2 : g_rsa;
    for (auto _ : state) {
        CharBuffer text;
        DWORD length = 0;
        HRESULT hr =
            sm2 ? PKCS10RequestBase64(AT_KEYEXCHANGE, key.hProvider, kSubject, VELA_OID_EC_PUBLIC_KEY,
                                      VELA_OID_SM2_CURVE, key.publicKey.get(), key.publicKeyLength, 0, VELA_CALG_SM3,
                                      VELA_OID_SM2_SM3, text, length, 1, nullptr)
                : PKCS10RequestBase64(AT_KEYEXCHANGE, key.hProvider, kSubject, VELA_OID_RSA_ENCRYPTION, "", key.bits,
                                      key.bitsLength, 0, VELA_CALG_SHA1, VELA_OID_SHA1_RSA, text, length, 0, nullptr);
        if (FAILED(hr)) state.SkipWithError("request failed");
        benchmark::DoNotOptimize(text.get());
    }
}

// OpenSSL's whole request: X509_REQ with the subject and key, signed (SM3
// with the default SM2 identifier, or SHA-1), DER, Base64. Takes the name.
bool OpenSSLRequestBase64(X509_NAME* name, EVP_PKEY* pkey, bool sm2) {
    X509_REQ* req = X509_REQ_new();
    X509_REQ_set_version(req, 0);
    X509_REQ_set_subject_name(req, name);
    X509_NAME_free(name);
    X509_REQ_set_pubkey(req, pkey);
    bool ok;
    if (sm2) {
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = nullptr;
        ok = EVP_DigestSignInit(md, &pctx, EVP_sm3(), nullptr, pkey) > 0 &&
             EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16) > 0 && X509_REQ_sign_ctx(req, md) > 0;
        EVP_MD_CTX_free(md);
    } else {
        ok = X509_REQ_sign(req, pkey, EVP_sha1()) > 0;
    }
    unsigned char* der = nullptr;
    int cb = i2d_X509_REQ(req, &der);
    std::vector<unsigned char> text(4 * ((size_t)cb + 2) / 3 + 1);
    EVP_EncodeBlock(text.data(), der, cb);
    OPENSSL_free(der);
    X509_REQ_free(req);
    benchmark::DoNotOptimize(text.data());
    return ok;
}

void OpenSSLRequest(benchmark::State& state, bool sm2) {
    KeyPair& key = sm2 ? g_sm2 : g_rsa;
    for (auto _ : state)
        if (!OpenSSLRequestBase64(OpenSSLName(), key.pkey, sm2)) state.SkipWithError("OpenSSL signing failed");
}

// ---- growth with the subject's size -------------------------------------------------

constexpr int kSubjectSizes[] = {1, 4, 16, 64, 256};

// A subject of n RDNs: a common name and n - 1 organisational units.
std::vector<std::pair<std::string, std::string>> SubjectFields(int n) {
    std::vector<std::pair<std::string, std::string>> fields = {{"CN", "Benchmark User"}};
    for (int i = 1; i < n; ++i) fields.push_back({"OU", "Unit " + std::to_string(i)});
    return fields;
}

std::u16string SubjectText(int n) {
    std::string text;
    for (const auto& [type, value] : SubjectFields(n)) text += (text.empty() ? "" : ",") + type + "=" + value;
    return std::u16string(text.begin(), text.end());
}

X509_NAME* OpenSSLSubject(int n) {
    X509_NAME* name = X509_NAME_new();
    for (const auto& [type, value] : SubjectFields(n))
        X509_NAME_add_entry_by_txt(name, type.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
    return name;
}

// The SM2 request (a signature of fixed cost) with a subject of n RDNs.
void TesseraRequestSubject(benchmark::State& state, int n) {
    const std::u16string subject = SubjectText(n);
    for (auto _ : state) {
        CharBuffer text;
        DWORD length = 0;
        if (FAILED(PKCS10RequestBase64(AT_KEYEXCHANGE, g_sm2.hProvider, subject.c_str(), VELA_OID_EC_PUBLIC_KEY,
                                       VELA_OID_SM2_CURVE, g_sm2.publicKey.get(), g_sm2.publicKeyLength, 0,
                                       VELA_CALG_SM3, VELA_OID_SM2_SM3, text, length, 1, nullptr)))
            state.SkipWithError("request failed");
        benchmark::DoNotOptimize(text.get());
    }
}

void OpenSSLRequestSubject(benchmark::State& state, int n) {
    for (auto _ : state)
        if (!OpenSSLRequestBase64(OpenSSLSubject(n), g_sm2.pkey, true)) state.SkipWithError("OpenSSL signing failed");
}

// The subject's DER alone.
void TesseraEncodeSubject(benchmark::State& state, int n) {
    const std::u16string subject = SubjectText(n);
    for (auto _ : state) {
        ByteBuffer name;
        DWORD cb = 0;
        if (FAILED(ComposeSubject(subject.c_str(), name, cb))) state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(name.get());
    }
}

void OpenSSLEncodeSubject(benchmark::State& state, int n) {
    for (auto _ : state) {
        X509_NAME* name = OpenSSLSubject(n);
        unsigned char* der = nullptr;
        int cb = i2d_X509_NAME(name, &der);
        benchmark::DoNotOptimize(cb);
        OPENSSL_free(der);
        X509_NAME_free(name);
    }
}

// ---- DER -------------------------------------------------------------------------

void TesseraDecode(benchmark::State& state) {
    for (auto _ : state) {
        ASN1NodePtr root;
        if (DecodeASN1Memory(root, g_requestDer.data(), (DWORD)g_requestDer.size()) != 0)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(root.get());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)g_requestDer.size());
}

void OpenSSLDecodeSequenceAny(benchmark::State& state) {
    for (auto _ : state) {
        const unsigned char* p = g_requestDer.data();
        ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, (long)g_requestDer.size());
        if (!seq) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(seq);
        sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)g_requestDer.size());
}

void TesseraDecodeSingle(benchmark::State& state) {
    for (auto _ : state) {
        ASN1NodePtr root;
        if (DecodeASN1Memory(root, g_singleDer.data(), (DWORD)g_singleDer.size()) != 0)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(root.get());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)g_singleDer.size());
}

void OpenSSLDecodeX509Req(benchmark::State& state) {
    for (auto _ : state) {
        const unsigned char* p = g_singleDer.data();
        X509_REQ* req = d2i_X509_REQ(nullptr, &p, (long)g_singleDer.size());
        if (!req) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(req);
        X509_REQ_free(req);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)g_singleDer.size());
}

void TesseraEncodeName(benchmark::State& state) {
    for (auto _ : state) {
        ByteBuffer name;
        DWORD cb = 0;
        if (FAILED(ComposeSubject(kSubject, name, cb))) state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(name.get());
    }
}

void OpenSSLEncodeName(benchmark::State& state) {
    for (auto _ : state) {
        X509_NAME* name = OpenSSLName();
        unsigned char* der = nullptr;
        int cb = i2d_X509_NAME(name, &der);
        benchmark::DoNotOptimize(cb);
        OPENSSL_free(der);
        X509_NAME_free(name);
    }
}

void TesseraEncodeOctets(benchmark::State& state) {
    for (auto _ : state) {
        ByteBuffer out;
        DWORD cb = 0;
        ASN1Encode(0x04, g_binary.data(), (DWORD)g_binary.size(), out, cb);
        benchmark::DoNotOptimize(out.get());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)g_binary.size());
}

void OpenSSLEncodeOctets(benchmark::State& state) {
    for (auto _ : state) {
        ASN1_OCTET_STRING* s = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(s, g_binary.data(), (int)g_binary.size());
        unsigned char* der = nullptr;
        int cb = i2d_ASN1_OCTET_STRING(s, &der);
        benchmark::DoNotOptimize(cb);
        OPENSSL_free(der);
        ASN1_OCTET_STRING_free(s);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)g_binary.size());
}

// ---- Base64 ---------------------------------------------------------------------

void TesseraBase64Encode(benchmark::State& state) {
    for (auto _ : state) {
        CharBuffer text;
        DWORD cch = 0;
        Base64EncodeEx((DWORD)g_binary.size(), text, g_binary.data(), cch);
        benchmark::DoNotOptimize(text.get());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)g_binary.size());
}

void OpenSSLBase64Encode(benchmark::State& state) {
    for (auto _ : state) {
        std::unique_ptr<unsigned char[]> text(new unsigned char[4 * (g_binary.size() + 2) / 3 + 1]);
        EVP_EncodeBlock(text.get(), g_binary.data(), (int)g_binary.size());
        benchmark::DoNotOptimize(text.get());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)g_binary.size());
}

void TesseraBase64Decode(benchmark::State& state) {
    for (auto _ : state) {
        ByteBuffer data;
        DWORD cb = 0;
        Base64DecodeEx((int)g_base64Lines.size(), data, g_base64Lines.c_str(), cb);
        benchmark::DoNotOptimize(data.get());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)g_binary.size());
}

void OpenSSLBase64Decode(benchmark::State& state) {
    for (auto _ : state) {
        std::unique_ptr<unsigned char[]> data(new unsigned char[g_base64Flat.size()]);
        EVP_DecodeBlock(data.get(), reinterpret_cast<const unsigned char*>(g_base64Flat.data()),
                        (int)g_base64Flat.size());
        benchmark::DoNotOptimize(data.get());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)g_binary.size());
}

// Collects the time per iteration of every run for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations) {
                // The fastest repetition: the least disturbed by other load.
                auto [it, inserted] = times_.emplace(run.run_name.function_name, run.GetAdjustedCPUTime());
                if (!inserted && run.GetAdjustedCPUTime() < it->second) it->second = run.GetAdjustedCPUTime();
            }
    }
    void PrintRatios() const {
        std::printf("\nratio Tessera / OpenSSL (best CPU time per operation over the repetitions; below 1 is faster)\n");
        for (const auto& [name, time] : times_) {
            size_t slash = name.rfind("/Tessera");
            if (slash == std::string::npos) continue;
            std::string peer = name.substr(0, slash) + "/OpenSSL";
            auto it = times_.find(peer);
            if (it != times_.end() && it->second > 0)
                std::printf("  %-28s %.3f\n", name.substr(0, slash).c_str(), time / it->second);
        }
    }

    // Time against the subject's size, each step over the one before (4 times
    // as many RDNs: 4 is linear growth).
    void PrintGrowth() const {
        for (const char* what : {"RequestSubject", "EncodeSubject"}) {
            std::printf("\n%s: best CPU time (us) by RDN count, growth over the size before\n", what);
            double previous[2] = {0, 0};
            for (int n : kSubjectSizes) {
                std::printf("  %4d", n);
                int side = 0;
                for (const char* peer : {"Tessera", "OpenSSL"}) {
                    auto it = times_.find(std::string(what) + std::to_string(n) + "RDN/" + peer);
                    if (it == times_.end()) continue;
                    // Times are kept in each benchmark's unit: microseconds or nanoseconds.
                    double us = std::string(what) == "RequestSubject" ? it->second : it->second / 1e3;
                    std::printf("  %s %10.2f", peer, us);
                    if (previous[side] > 0) std::printf(" (x%.2f)", us / previous[side]);
                    previous[side++] = us;
                }
                std::printf("\n");
            }
        }
    }

private:
    std::map<std::string, double> times_;
};

std::string g_storeDir;  // the run's key store, removed at the end

bool Setup() {
    char dir[] = "/tmp/tessera-bench-XXXXXX";
    if (!mkdtemp(dir)) return false;
    g_storeDir = dir;
    setenv("TESSERA_STORE_DIR", dir, 1);
    if (!MakeKey(g_rsa, TEXT("Tessera RSA Software CSP"), TRUE, 2048)) return false;
    if (!MakeKey(g_sm2, TEXT("Tessera SM2 Software CSP"), FALSE, 256)) return false;

    // A double-certificate request to decode (the temporary key reuses the
    // request key; only its bytes matter here).
    ByteBuffer info, algorithm, bits, request;
    DWORD cbInfo = 0, cbAlgorithm = 0, cbBits = 0, cbRequest = 0;
    std::vector<BYTE> fakeSignature(256, 0x5A);
    if (FAILED(ComposeCertRequestInfo(kSubject, VELA_OID_RSA_ENCRYPTION, "", g_rsa.bits, g_rsa.bitsLength, g_rsa.bits,
                                      g_rsa.bitsLength, 0, info, cbInfo)) ||
        FAILED(ComposeSignAlgorithm(VELA_OID_SHA1_RSA, algorithm, cbAlgorithm)) ||
        FAILED(ComposeSignature(fakeSignature.data(), 256, 0, bits, cbBits)) ||
        FAILED(ComposeCertRequest(info.get(), cbInfo, algorithm.get(), cbAlgorithm, bits.get(), cbBits, request,
                                  cbRequest)))
        return false;
    g_requestDer.assign(request.get(), request.get() + cbRequest);
    if (FAILED(ComposeCertRequestInfo(kSubject, VELA_OID_RSA_ENCRYPTION, "", g_rsa.bits, g_rsa.bitsLength, nullptr, 0,
                                      0, info, cbInfo)) ||
        FAILED(ComposeCertRequest(info.get(), cbInfo, algorithm.get(), cbAlgorithm, bits.get(), cbBits, request,
                                  cbRequest)))
        return false;
    g_singleDer.assign(request.get(), request.get() + cbRequest);

    g_binary.resize(16384);
    for (size_t i = 0; i < g_binary.size(); ++i) g_binary[i] = (BYTE)(i * 131 + 7);
    CharBuffer text;
    DWORD cch = 0;
    if (FAILED(Base64EncodeEx((DWORD)g_binary.size(), text, g_binary.data(), cch))) return false;
    g_base64Lines.assign(text.get(), cch);
    for (char c : g_base64Lines)
        if (c != '\r' && c != '\n') g_base64Flat.push_back(c);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!Setup()) {
        std::fprintf(stderr, "benchmark set-up failed\n");
        return 1;
    }
    benchmark::RegisterBenchmark("RequestRSA2048/Tessera", TesseraRequest, false)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("RequestRSA2048/OpenSSL", OpenSSLRequest, false)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("RequestSM2/Tessera", TesseraRequest, true)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("RequestSM2/OpenSSL", OpenSSLRequest, true)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("DecodeRequest/Tessera", TesseraDecode);
    benchmark::RegisterBenchmark("DecodeRequest/OpenSSL", OpenSSLDecodeSequenceAny);
    benchmark::RegisterBenchmark("DecodeSingleRequest/Tessera", TesseraDecodeSingle);
    benchmark::RegisterBenchmark("DecodeSingleRequest/OpenSSL", OpenSSLDecodeX509Req);
    benchmark::RegisterBenchmark("EncodeName/Tessera", TesseraEncodeName);
    benchmark::RegisterBenchmark("EncodeName/OpenSSL", OpenSSLEncodeName);
    benchmark::RegisterBenchmark("EncodeOctetString16K/Tessera", TesseraEncodeOctets);
    benchmark::RegisterBenchmark("EncodeOctetString16K/OpenSSL", OpenSSLEncodeOctets);
    benchmark::RegisterBenchmark("Base64Encode16K/Tessera", TesseraBase64Encode);
    benchmark::RegisterBenchmark("Base64Encode16K/OpenSSL", OpenSSLBase64Encode);
    benchmark::RegisterBenchmark("Base64Decode16K/Tessera", TesseraBase64Decode);
    benchmark::RegisterBenchmark("Base64Decode16K/OpenSSL", OpenSSLBase64Decode);
    for (int n : kSubjectSizes) {
        const std::string size = std::to_string(n) + "RDN";
        benchmark::RegisterBenchmark(("RequestSubject" + size + "/Tessera").c_str(), TesseraRequestSubject, n)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("RequestSubject" + size + "/OpenSSL").c_str(), OpenSSLRequestSubject, n)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("EncodeSubject" + size + "/Tessera").c_str(), TesseraEncodeSubject, n);
        benchmark::RegisterBenchmark(("EncodeSubject" + size + "/OpenSSL").c_str(), OpenSSLEncodeSubject, n);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    reporter.PrintGrowth();
    benchmark::Shutdown();
    EVP_PKEY_free(g_rsa.pkey);
    EVP_PKEY_free(g_sm2.pkey);
    std::error_code ignored;
    std::filesystem::remove_all(g_storeDir, ignored);
    return 0;
}
