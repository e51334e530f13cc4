// Produces certificate requests through the agent with every provider of
// the machine that can make them, and writes them for the OpenSSL checks
// that run afterwards (verify-requests.sh):
//   <dir>/manifest.txt   one line per request: kind, then its files
//   <dir>/NNNN.req.der   the request (decoded from the agent's Base64)
//   <dir>/NNNN.subject   the expected subject, one "oid=value" per RDN
// Double-certificate requests, which OpenSSL cannot load, are also split
// with the project's DER decoder into NNNN.info.der (the signed bytes),
// NNNN.sig (the signature) and NNNN.spki.der (the signer's public key);
// their temporary key goes to NNNN.temp (RSA: DER RSAPublicKey).
// The containers the requests created are deleted at the end.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ASN1Engine.h"
#include "CertificateInfo.h"
#include "CertificateRequisition.h"
#include "CryptoAgent.h"
#include "Misc.h"

namespace {

struct Plan {
    const WCHAR* provider;
    const WCHAR* algorithm;
    LONG keyLength;
    LONG certType;
    int count;
};

struct SubjectCase {
    const char* text;                          // UTF-8 subject text
    std::vector<const char*> expected;         // "oid=value" in DER order
};

// Subjects with every attribute name, UTF-8 and Chinese values.
const std::vector<SubjectCase>& Subjects() {
    static const std::vector<SubjectCase> subjects = {
        {"CN=corpus,O=Tessera,C=CN", {"2.5.4.6=CN", "2.5.4.10=Tessera", "2.5.4.3=corpus"}},
        {"CN=\xE5\xBC\xA0\xE4\xB8\x89,OU=\xE4\xB8\xAA\xE4\xBA\xBA\xE7\x94\xA8\xE6\x88\xB7,O=\xE4\xB8\xAD\xE5\x9B\xBD"
         "\xE9\x93\xB6\xE8\xA1\x8C,L=\xE5\x8C\x97\xE4\xBA\xAC,ST=\xE5\x8C\x97\xE4\xBA\xAC,C=CN",
         {"2.5.4.6=CN", "2.5.4.8=\xE5\x8C\x97\xE4\xBA\xAC", "2.5.4.7=\xE5\x8C\x97\xE4\xBA\xAC",
          "2.5.4.10=\xE4\xB8\xAD\xE5\x9B\xBD\xE9\x93\xB6\xE8\xA1\x8C",
          "2.5.4.11=\xE4\xB8\xAA\xE4\xBA\xBA\xE7\x94\xA8\xE6\x88\xB7", "2.5.4.3=\xE5\xBC\xA0\xE4\xB8\x89"}},
        {"cn=Jos\xC3\xA9 M\xC3\xBCller,SERIALNUMBER=110101199001011234,E=jose@example.com,S=Zhejiang,"
         "STREET=1 Main Street,PostalCode=310000",
         {"2.5.4.17=310000", "2.5.4.9=1 Main Street", "2.5.4.8=Zhejiang", "1.2.840.113549.1.9.1=jose@example.com",
          "2.5.4.5=110101199001011234", "2.5.4.3=Jos\xC3\xA9 M\xC3\xBCller"}},
        {"CN=Corp Ltd,businessCategory=Private Organization,jurisdictionOfIncorporationLocalityName=Hangzhou,"
         "jurisdictionOfIncorporationStateOrProvinceName=Zhejiang,jurisdictionOfIncorporationCountryName=CN,"
         "Email=ca@example.cn",
         {"1.2.840.113549.1.9.1=ca@example.cn", "1.3.6.1.4.1.311.60.2.1.3=CN", "1.3.6.1.4.1.311.60.2.1.2=Zhejiang",
          "1.3.6.1.4.1.311.60.2.1.1=Hangzhou", "2.5.4.15=Private Organization", "2.5.4.3=Corp Ltd"}},
        {"CN=a+b, O = spaced", {"2.5.4.10= spaced", "2.5.4.3=a+b"}},
    };
    return subjects;
}

WString FromUTF8(const char* text) {
    WideBuffer wide;
    DWORD length = 0;
    if (FAILED(UTF8ToUTF16(text, wide, length))) return WString();
    return WString(wide.get(), length);
}

bool WriteBytes(const std::string& path, const BYTE* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

const ASN1Node* At(const ASN1Node* node, std::initializer_list<size_t> path) {
    for (size_t index : path) node = node ? node->Child(index) : nullptr;
    return node;
}

bool HasProvider(const WString& list, const WCHAR* name) {
    std::vector<WString> names;
    SplitStrings(list.c_str(), names);
    for (const WString& n : names)
        if (n == name) return true;
    return false;
}

int g_failures = 0;

void Fail(const char* what, int index) {
    std::fprintf(stderr, "request %d: %s\n", index, what);
    ++g_failures;
}

// Checks what OpenSSL cannot and writes the pieces a double request's
// verification needs. Returns the number of short SM2 INTEGERs seen.
int SplitRequest(const std::string& base, const std::string& prefix, const std::vector<BYTE>& der, bool sm2, bool dual, int index,
                 std::string& extra) {
    ASN1NodePtr root;
    if (DecodeASN1Memory(root, der.data(), (DWORD)der.size()) != 0 || root->ChildCount() != 3) {
        Fail("does not decode", index);
        return 0;
    }
    const ASN1Node* info = root->Child(0);
    const ASN1Node* signature = root->Child(2);
    const ASN1Node* spki = At(info, {2});
    if (!spki || info->ChildCount() != (dual ? 4u : 3u) || signature->bTag != 0x03 || signature->dwLength < 2) {
        Fail("unexpected CertificationRequestInfo", index);
        return 0;
    }
    int shortIntegers = 0;
    const BYTE* sig = signature->Content() + 1;
    DWORD cbSig = signature->dwLength - 1;
    if (sm2) {
        ASN1NodePtr pair;
        if (DecodeASN1Memory(pair, sig, cbSig) != 0 || pair->ChildCount() != 2) {
            Fail("SM2 signature is not SEQUENCE { r, s }", index);
            return 0;
        }
        for (const ASN1Node* integer : pair->Children())
            if (integer->dwLength < 32) ++shortIntegers;
    }
    if (!dual) return shortIntegers;

    const ASN1Node* temp = At(info, {3, 1, 1});
    ASN1NodePtr inner;
    if (!temp || temp->bTag != 0x04 || DecodeASN1Memory(inner, temp->Content(), temp->dwLength) != 0 ||
        inner->ChildCount() != 2 || inner->Child(1)->bTag != 0x04) {
        Fail("temporary key attribute malformed", index);
        return shortIntegers;
    }
    const ASN1Node* key = inner->Child(1);
    if (sm2 && (key->dwLength != 136 || std::memcmp(key->Content(), "\x00\xB4\x00\x00\x00\x01\x00\x00", 8) != 0))
        Fail("SM2 temporary key is not the 136-byte structure", index);
    WriteBytes(base + ".info.der", info->Element(), info->dwTotalLength);
    WriteBytes(base + ".sig", sig, cbSig);
    WriteBytes(base + ".spki.der", spki->Element(), spki->dwTotalLength);
    WriteBytes(base + ".temp", key->Content(), key->dwLength);
    extra = " " + prefix + ".info.der " + prefix + ".sig " + prefix + ".spki.der " + prefix + ".temp";
    return shortIntegers;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s output-directory [sm2-count]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const int sm2Count = argc > 2 ? std::atoi(argv[2]) : 400;
    std::error_code error;
    std::filesystem::create_directories(dir, error);

    CCryptoAgent agent;
    BSTR bstrProviders = nullptr;
    if (FAILED(agent.VELA_GetCSPInfo(&bstrProviders)) || !bstrProviders) {
        std::fprintf(stderr, "VELA_GetCSPInfo failed: 0x%08x\n", (unsigned)agent.LastError());
        return 1;
    }
    WString providers = bstrProviders;
    SysFreeString(bstrProviders);

    std::vector<Plan> plans = {
        {TEXT("Microsoft Enhanced Cryptographic Provider v1.0"), TEXT("RSA"), 2048, 1, 6},
        {TEXT("Microsoft Enhanced Cryptographic Provider v1.0"), TEXT("rsa"), 1024, 2, 5},
        {TEXT("Microsoft Base Cryptographic Provider v1.0"), TEXT("RSA"), 1024, 1, 5},
        {TEXT("Microsoft Base Cryptographic Provider v1.0"), TEXT("RSA"), 1024, 2, 5},
        {TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider"), TEXT("RSA"), 2048, 1, 4},
        {TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider"), TEXT("RSA"), 2048, 2, 4},
        {TEXT("Tessera RSA Software CSP"), TEXT("RSA"), 2048, 2, 3},
        {TEXT("Tessera SM2 Software CSP"), TEXT("SM2"), 256, 1, sm2Count / 2},
        {TEXT("Tessera SM2 Software CSP"), TEXT("sm2"), 256, 2, sm2Count - sm2Count / 2},
    };

    FILE* manifest = std::fopen((dir + "/manifest.txt").c_str(), "wb");
    if (!manifest) {
        std::fprintf(stderr, "cannot write %s/manifest.txt\n", dir.c_str());
        return 1;
    }
    int index = 0, shortIntegers = 0, sm2Requests = 0;
    std::vector<std::pair<WString, WString>> containers;  // container, provider
    for (const Plan& plan : plans) {
        if (!HasProvider(providers, plan.provider)) continue;
        VARIANT_BOOL ok = VARIANT_FALSE;
        std::vector<WCHAR> providerName(plan.provider, plan.provider + WString(plan.provider).size() + 1);
        std::vector<WCHAR> algorithm(plan.algorithm, plan.algorithm + WString(plan.algorithm).size() + 1);
        if (FAILED(agent.VELA_SetCSPInfo(plan.keyLength, providerName.data(), &ok)) ||
            FAILED(agent.VELA_SetKeyAlgorithm(algorithm.data(), &ok))) {
            Fail("agent settings refused", index);
            continue;
        }
        const bool sm2 = !EqualsNoCaseAscii(plan.algorithm, TEXT("RSA"));
        for (int i = 0; i < plan.count; ++i, ++index) {
            const SubjectCase& subject = Subjects()[index % Subjects().size()];
            WString wstrSubject = FromUTF8(subject.text);
            std::vector<WCHAR> subjectText(wstrSubject.begin(), wstrSubject.end());
            subjectText.push_back(0);
            BSTR bstrRequest = nullptr;
            HRESULT hr = agent.VELA_PKCS10CertRequisition(subjectText.data(), plan.certType, 0, &bstrRequest);
            std::string text;
            if (bstrRequest)
                for (const WCHAR* p = bstrRequest; *p; ++p) text.push_back((char)*p);
            SysFreeString(bstrRequest);
            if (FAILED(hr) || text.empty()) {
                std::fprintf(stderr, "request %d failed: 0x%08x\n", index, (unsigned)hr);
                ++g_failures;
                continue;
            }
            BSTR bstrContainer = nullptr;
            agent.VELA_GetContainer(&bstrContainer);
            containers.emplace_back(ToWString(bstrContainer), plan.provider);
            SysFreeString(bstrContainer);

            ByteBuffer der;
            DWORD cbDer = 0;
            if (FAILED(Base64DecodeEx((int)text.size(), der, text.c_str(), cbDer))) {
                Fail("Base64 does not decode", index);
                continue;
            }
            std::vector<BYTE> bytes(der.get(), der.get() + cbDer);
            char prefix[32];
            std::snprintf(prefix, sizeof prefix, "%04d", index);
            const std::string base = dir + "/" + prefix;
            WriteBytes(base + ".req.der", bytes.data(), bytes.size());
            WriteBytes(base + ".b64", reinterpret_cast<const BYTE*>(text.data()), text.size());
            std::string expected;
            for (const char* line : subject.expected) expected += std::string(line) + "\n";
            WriteBytes(base + ".subject", reinterpret_cast<const BYTE*>(expected.data()), expected.size());
            std::string extra;
            shortIntegers += SplitRequest(base, prefix, bytes, sm2, plan.certType == 2, index, extra);
            if (sm2) ++sm2Requests;
            std::fprintf(manifest, "%s-%s %s.req.der%s\n", plan.certType == 2 ? "double" : "single",
                         sm2 ? "sm2" : "rsa", prefix, extra.c_str());
        }
    }
    std::fclose(manifest);
    for (const auto& c : containers) DeleteMultiCertContainer(c.first, WString(), c.second.c_str());
    std::printf("%d requests (%d SM2, %d short SM2 INTEGERs), %d failures\n", index, sm2Requests, shortIntegers,
                g_failures);
    return g_failures ? 1 : 0;
}
