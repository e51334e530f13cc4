// Whole enrollments through tessera-host against the sum of the OpenSSL
// operations that do the same work, and the growth of the certificate
// listing with the number of certificates in the user's store.
//
// One enrollment: the page's settings, the request, the container name,
// then (not timed, on both sides) the CA issues the certificate, then its
// installation. The OpenSSL side generates the key, composes, signs and
// Base64-encodes the X509_REQ and writes the private key to a file; after
// the CA it decodes and parses the certificate, checks it against the key
// and writes it to a file. Both sides are timed in wall-clock time (the
// host works in another process) and in processor time (the host's from
// its rusage, per enrollment, beside this thread's).
//
// The listing is the agent's VELA_GetAllCertInfo over 10, 100 and 1,000
// certificates with a key-provider link, beside OpenSSL parsing and
// rendering the same certificates (subject, serial, validity).
#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "CryptoAgent.h"
#include "HostProcess.h"

namespace {

// TESSERA_BENCH_HOST names another program to start instead, for example a
// script that runs the host under valgrind --tool=callgrind.
std::string HostProgram() {
    const char* other = std::getenv("TESSERA_BENCH_HOST");
    return other && *other ? other : TESSERA_HOST_PATH;
}

const char kEnhanced[] = "Microsoft Enhanced Cryptographic Provider v1.0";
const char kSm2Csp[] = "Tessera SM2 Software CSP";
const char kDistId[] = "1234567812345678";
const char* const kSubjectFields[][2] = {{"C", "CN"}, {"O", "Tessera Bank"}, {"OU", "Retail"}, {"CN", "Bench User"}};
const char kSubjectText[] = "CN=Bench User,OU=Retail,O=Tessera Bank,C=CN";

std::string g_root;  // the run's own directory, removed at the end

// Selects the user's store (and key store) of one part of the run.
void UseStore(const std::string& name) {
    std::string dir = g_root + "/" + name;
    std::filesystem::create_directories(dir);
    setenv("TESSERA_STORE_DIR", dir.c_str(), 1);
}

// ---- the CA (never timed) ----------------------------------------------------------

struct Ca {
    EVP_PKEY* key = nullptr;
    X509_NAME* name = nullptr;
    long serial = 1;
} g_ca;

X509_NAME* MakeName(const char* cn) {
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("CN"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    return name;
}

// A certificate for the public key and subject, DER-encoded.
std::string Issue(EVP_PKEY* publicKey, const X509_NAME* subject) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), g_ca.serial++);
    X509_set_issuer_name(cert, g_ca.name);
    X509_set_subject_name(cert, subject);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 24 * 3600);
    X509_set_pubkey(cert, publicKey);
    X509_sign(cert, g_ca.key, EVP_sha256());
    unsigned char* der = nullptr;
    int n = i2d_X509(cert, &der);
    std::string out(reinterpret_cast<const char*>(der), n > 0 ? size_t(n) : 0);
    OPENSSL_free(der);
    X509_free(cert);
    return out;
}

std::string ToBase64(const std::string& der) {
    std::string text(4 * ((der.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                            reinterpret_cast<const unsigned char*>(der.data()), int(der.size()));
    text.resize(size_t(n));
    return text;
}

// Decoded bytes of Base64 text that may hold line breaks.
std::string FromBase64(const std::string& text) {
    std::string flat;
    for (char c : text)
        if (c != '\r' && c != '\n') flat.push_back(c);
    std::string der(flat.size() / 4 * 3 + 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                            reinterpret_cast<const unsigned char*>(flat.data()), int(flat.size()));
    size_t padding = std::count(flat.end() - std::min<size_t>(flat.size(), 2), flat.end(), '=');
    der.resize(n > 0 ? size_t(n) - padding : 0);
    return der;
}

// The CA's answer to a Base64 request: the Base64 certificate, empty on failure.
std::string IssueForRequest(const std::string& base64) {
    std::string der = FromBase64(base64);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509_REQ* req = d2i_X509_REQ(nullptr, &p, long(der.size()));
    if (!req) return std::string();
    std::string cert = Issue(X509_REQ_get0_pubkey(req), X509_REQ_get_subject_name(req));
    X509_REQ_free(req);
    return ToBase64(cert);
}

// ---- one enrollment through the host -----------------------------------------------

class HostPage {
public:
    bool Start() { return m_process.Start(HostProgram(), {}); }
    ~HostPage() { End(); }
    // Ends the conversation; the host's processor time in seconds.
    double End() {
        m_process.CloseStdin();
        m_process.ReadToEnd();
        m_process.Wait();
        return m_process.CpuSeconds();
    }
    // The call's result (string or boolean); null when the call failed.
    nlohmann::json Call(const std::string& method, nlohmann::json params) {
        nlohmann::json request = {{"function", method}, {"params", std::move(params)}, {"randomId", "bench"}};
        unsigned char prefix[4];
        if (!m_process.Write(Frame(request.dump())) || !m_process.ReadExact(prefix, 4)) return nullptr;
        size_t n = size_t(prefix[0]) | size_t(prefix[1]) << 8 | size_t(prefix[2]) << 16 | size_t(prefix[3]) << 24;
        std::string body(n, '\0');
        if (n == 0 || !m_process.ReadExact(body.data(), n)) return nullptr;
        nlohmann::json response = nlohmann::json::parse(body, nullptr, false);
        if (!response.is_object() || response.value("errorcode", -1) != 0) return nullptr;
        return response["result"];
    }

private:
    HostProcess m_process;
};

// Removes every certificate of the user's store: each enrollment then
// installs into a store of the same size (opening a store reads all of it).
void EmptyUserStore() {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    if (!store) return;
    std::vector<PCCERT_CONTEXT> all;
    PCCERT_CONTEXT context = nullptr;
    while ((context = CertEnumCertificatesInStore(store, context)) != nullptr)
        all.push_back(CertDuplicateCertificateContext(context));
    for (PCCERT_CONTEXT c : all) CertDeleteCertificateFromStore(c);
    CertCloseStore(store, 0);
}

void HostEnrollment(benchmark::State& state, bool sm2) {
    UseStore("enroll");
    HostPage page;
    if (!page.Start()) {
        state.SkipWithError("cannot start tessera-host");
        return;
    }
    const char* csp = sm2 ? kSm2Csp : kEnhanced;
    for (auto _ : state) {
        page.Call("VELA_SetCSPInfo", {sm2 ? 256 : 2048, csp});
        page.Call("VELA_SetKeyAlgorithm", {sm2 ? "SM2" : "RSA"});
        nlohmann::json request = page.Call("VELA_PKCS10CertRequisition", {kSubjectText, 1, 1});
        nlohmann::json container = page.Call("VELA_GetContainer", nlohmann::json::array());
        if (!request.is_string() || !container.is_string()) {
            state.SkipWithError("the request failed");
            break;
        }
        state.PauseTiming();
        std::string cert = IssueForRequest(request.get<std::string>());
        state.ResumeTiming();
        if (page.Call("VELA_ImportSignCert", {1, cert, container}) != nlohmann::json(true)) {
            state.SkipWithError("the installation failed");
            break;
        }
        state.PauseTiming();
        EmptyUserStore();
        state.ResumeTiming();
    }
    // The host's processor time per enrollment (its start included), beside
    // this thread's own for the JSON of the page's side.
    const double hostSeconds = page.End();
    if (hostSeconds >= 0 && state.iterations() > 0)
        state.counters["host_cpu_ms"] = hostSeconds * 1e3 / double(state.iterations());
}

// ---- the same with OpenSSL ---------------------------------------------------------

EVP_PKEY* GenerateKey(bool sm2) { return sm2 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2") : EVP_RSA_gen(2048); }

X509_REQ* MakeRequest(EVP_PKEY* key, bool sm2) {
    X509_REQ* req = X509_REQ_new();
    X509_REQ_set_version(req, 0);
    X509_NAME* name = X509_NAME_new();
    for (const auto& field : kSubjectFields)
        X509_NAME_add_entry_by_txt(name, field[0], MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(field[1]),
                                   -1, -1, 0);
    X509_REQ_set_subject_name(req, name);
    X509_NAME_free(name);
    X509_REQ_set_pubkey(req, key);
    if (sm2) {
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = nullptr;
        EVP_DigestSignInit(md, &pctx, EVP_sm3(), nullptr, key);
        EVP_PKEY_CTX_set1_id(pctx, kDistId, sizeof kDistId - 1);
        X509_REQ_sign_ctx(req, md);
        EVP_MD_CTX_free(md);
    } else {
        X509_REQ_sign(req, key, EVP_sha1());
    }
    return req;
}

void WriteFile(const std::string& path, const unsigned char* data, int length) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (length > 0) std::fwrite(data, 1, size_t(length), f);
        std::fclose(f);
    }
}

void OpenSSLEnrollment(benchmark::State& state, bool sm2) {
    const std::string dir = g_root + "/openssl";
    std::filesystem::create_directories(dir);
    int serial = 0;
    for (auto _ : state) {
        // New files each time, as the key store and the host's copies of
        // certificates are new entries (rewriting one file is another cost).
        const std::string name = dir + "/" + std::to_string(serial++);
        EVP_PKEY* key = GenerateKey(sm2);
        X509_REQ* req = MakeRequest(key, sm2);
        unsigned char* der = nullptr;
        int cb = i2d_X509_REQ(req, &der);
        std::string request = ToBase64(std::string(reinterpret_cast<const char*>(der), size_t(std::max(cb, 0))));
        OPENSSL_free(der);
        der = nullptr;
        cb = i2d_PrivateKey(key, &der);
        WriteFile(name + ".key", der, cb);
        OPENSSL_free(der);

        state.PauseTiming();
        std::string cert = IssueForRequest(request);
        state.ResumeTiming();

        std::string certDer = FromBase64(cert);
        const unsigned char* p = reinterpret_cast<const unsigned char*>(certDer.data());
        X509* x509 = d2i_X509(nullptr, &p, long(certDer.size()));
        if (!x509 || X509_check_private_key(x509, key) != 1) state.SkipWithError("the certificate does not fit");
        WriteFile(name + ".cer", reinterpret_cast<const unsigned char*>(certDer.data()), int(certDer.size()));
        X509_free(x509);
        X509_REQ_free(req);
        EVP_PKEY_free(key);
    }
}

// ---- the listing -------------------------------------------------------------------

std::map<int, std::vector<std::string>> g_listed;  // the certificates of each store, DER

// Fills the store of this size once: certificates of the run's CA, each linked
// to a container of the Microsoft provider.
bool FillStore(int count) {
    UseStore("listing-" + std::to_string(count));
    std::vector<std::string>& certs = g_listed[count];
    if (!certs.empty()) return true;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    if (!store) return false;
    std::u16string provider(kEnhanced, kEnhanced + sizeof kEnhanced - 1);
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        X509_NAME* subject = MakeName(("Listing User " + std::to_string(i)).c_str());
        certs.push_back(Issue(g_ca.key, subject));
        X509_NAME_free(subject);
        PCCERT_CONTEXT context = nullptr;
        ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(certs.back().data()),
                                              DWORD(certs.back().size()), CERT_STORE_ADD_NEW, &context);
        std::string name = "listing-container-" + std::to_string(i);
        std::u16string container(name.begin(), name.end());
        CRYPT_KEY_PROV_INFO info = {};
        info.pwszContainerName = container.data();
        info.pwszProvName = provider.data();
        info.dwProvType = PROV_RSA_FULL;
        info.dwKeySpec = AT_KEYEXCHANGE;
        ok = ok && CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
        CertFreeCertificateContext(context);
    }
    CertCloseStore(store, 0);
    return ok;
}

void TesseraListing(benchmark::State& state) {
    const int count = int(state.range(0));
    if (!FillStore(count)) {
        state.SkipWithError("cannot fill the store");
        return;
    }
    CCryptoAgent agent;
    for (auto _ : state) {
        BSTR list = nullptr;
        if (agent.VELA_GetAllCertInfo(&list) != VELA_OK) state.SkipWithError("the listing failed");
        benchmark::DoNotOptimize(list);
        SysFreeString(list);
    }
    state.SetItemsProcessed(state.iterations() * count);
}

// Subject, serial and validity of each certificate as text, joined by "||".
void OpenSSLListing(benchmark::State& state) {
    const int count = int(state.range(0));
    if (!FillStore(count)) {
        state.SkipWithError("cannot fill the store");
        return;
    }
    for (auto _ : state) {
        BIO* out = BIO_new(BIO_s_mem());
        for (const std::string& der : g_listed[count]) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
            X509* cert = d2i_X509(nullptr, &p, long(der.size()));
            X509_NAME_print_ex(out, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253);
            BIGNUM* serial = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
            char* hex = BN_bn2hex(serial);
            BIO_printf(out, ";%s;", hex);
            ASN1_TIME_print(out, X509_get0_notBefore(cert));
            BIO_puts(out, ";");
            ASN1_TIME_print(out, X509_get0_notAfter(cert));
            BIO_puts(out, ";" "Microsoft Enhanced Cryptographic Provider v1.0||");
            OPENSSL_free(hex);
            BN_free(serial);
            X509_free(cert);
        }
        char* text = nullptr;
        long length = BIO_get_mem_data(out, &text);
        std::string copy(text, size_t(length));
        benchmark::DoNotOptimize(copy.data());
        BIO_free(out);
    }
    state.SetItemsProcessed(state.iterations() * count);
}

// ---- summary -----------------------------------------------------------------------

// Keeps every repetition's time per iteration: the summary gives the median
// and the best of them.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            const bool enrollment = run.run_name.function_name.rfind("Enroll", 0) == 0;
            const std::string key = run.run_name.function_name + "/" + run.run_name.args;
            m_times[key].push_back(enrollment ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime());
            if (!enrollment) continue;
            // Processor time (ms): the host's and this thread's on the host's
            // side, this thread's alone on OpenSSL's.
            auto host = run.counters.find("host_cpu_ms");
            m_cpu[key].push_back(run.GetAdjustedCPUTime() + (host != run.counters.end() ? host->second.value : 0));
        }
    }
    void Summarise() const {
        std::printf("\nwhole enrollment, tessera-host / OpenSSL (CA excluded): median and best over the repetitions\n");
        for (const char* algorithm : {"SM2", "RSA2048"}) {
            const std::string ours = std::string("EnrollSingle") + algorithm + "/Tessera/", peer =
                                         std::string("EnrollSingle") + algorithm + "/OpenSSL/";
            if (Has(ours) && Has(peer))
                std::printf("  %-8s wall %8.2f ms / %8.2f ms  ratio %.2f  best %.2f;  cpu %8.2f ms / %8.2f ms  "
                            "ratio %.2f  best %.2f\n",
                            algorithm, Median(ours), Median(peer), Median(ours) / Median(peer),
                            Best(ours) / Best(peer), Median(ours, m_cpu), Median(peer, m_cpu),
                            Median(ours, m_cpu) / Median(peer, m_cpu), Best(ours, m_cpu) / Best(peer, m_cpu));
        }
        std::printf("\ncertificate listing (CPU time per listing, best over the repetitions)\n");
        std::printf("  %6s %12s %12s %8s %14s %14s\n", "certs", "agent us", "OpenSSL us", "ratio", "agent growth",
                    "OpenSSL growth");
        double lastOurs = 0, lastPeer = 0;
        for (int n : {10, 100, 1000}) {
            const std::string ours = "Listing/Tessera/" + std::to_string(n), peer = "Listing/OpenSSL/" + std::to_string(n);
            if (!Has(ours) || !Has(peer)) continue;
            double o = Best(ours), p = Best(peer);
            std::printf("  %6d %12.1f %12.1f %8.2f", n, o, p, o / p);
            if (lastOurs > 0) std::printf(" %14.2f %14.2f", o / lastOurs, p / lastPeer);
            std::printf("\n");
            lastOurs = o;
            lastPeer = p;
        }
    }

private:
    bool Has(const std::string& key) const { return m_times.count(key) != 0; }
    using Times = std::map<std::string, std::vector<double>>;
    double Median(const std::string& key) const { return Median(key, m_times); }
    double Best(const std::string& key) const { return Best(key, m_times); }
    static double Median(const std::string& key, const Times& times) {
        std::vector<double> v = times.at(key);
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    static double Best(const std::string& key, const Times& times) {
        const std::vector<double>& v = times.at(key);
        return *std::min_element(v.begin(), v.end());
    }
    Times m_times, m_cpu;
};

bool SetUp() {
    char pattern[] = "/tmp/tessera-enroll-bench-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    g_root = pattern;
    std::string machine = g_root + "/machine";
    setenv("TESSERA_MACHINE_STORE_DIR", machine.c_str(), 1);
    g_ca.key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    g_ca.name = MakeName("Tessera Bench CA");
    return g_ca.key != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (!SetUp()) {
        std::fprintf(stderr, "benchmark set-up failed\n");
        return 1;
    }
    benchmark::RegisterBenchmark("EnrollSingleSM2/Tessera", HostEnrollment, true)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("EnrollSingleSM2/OpenSSL", OpenSSLEnrollment, true)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("EnrollSingleRSA2048/Tessera", HostEnrollment, false)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("EnrollSingleRSA2048/OpenSSL", OpenSSLEnrollment, false)->UseRealTime()->Unit(benchmark::kMillisecond);
    for (int n : {10, 100, 1000}) {
        benchmark::RegisterBenchmark("Listing/Tessera", TesseraListing)->Arg(n)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("Listing/OpenSSL", OpenSSLListing)->Arg(n)->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.Summarise();
    benchmark::Shutdown();
    EVP_PKEY_free(g_ca.key);
    X509_NAME_free(g_ca.name);
    std::error_code ignored;
    std::filesystem::remove_all(g_root, ignored);
    return 0;
}
