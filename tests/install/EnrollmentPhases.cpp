// Whole enrollments in three phases, the middle one played by a CA outside
// the system (test_ca.py, OpenSSL):
//   request  pages ask for requests; the requests and what the CA needs of
//            them go to the exchange directory;
//   (CA)     certificates and, for double certificates, encryption envelopes;
//   install  pages install what the CA issued, then the listing, the keys in
//            the containers and the failure paths are checked.
// The phase and the directory come from TESSERA_ENROLLMENT_PHASE and
// TESSERA_ENROLLMENT_DIR. Every page call goes through a front end (the
// built tessera-host by default), as a bank's page makes it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ASN1Engine.h"
#include "EnrollmentChecks.h"
#include "FrontEnd.h"
#include "Misc.h"

namespace {

struct Scenario {
    const char* name;
    const char* csp;
    int keyLength;
    const char* algorithm;
    int certType;         // 1 single, 2 double
    const char* subject;  // the page's subject text
    const char* caSubject;
    const char* caArgs;   // options of test_ca.py issue
    bool twoCertificates = false;  // installed by the two-certificate test
};

const Scenario kScenarios[] = {
    {"rsa-single", "Microsoft Enhanced Cryptographic Provider v1.0", 2048, "RSA", 1,
     "CN=Zhang San,OU=Retail,O=Tessera Bank,C=CN", "/C=CN/O=Tessera Bank/OU=Retail/CN=Zhang San", ""},
    {"rsa-single-base", "Microsoft Base Cryptographic Provider v1.0", 1024, "RSA", 1, "CN=Base User,C=CN",
     "/C=CN/CN=Base User", ""},
    {"sm2-single", "Tessera SM2 Software CSP", 256, "SM2", 1, "CN=\xE6\x9D\x8E\xE5\x9B\x9B,O=Tessera Bank,C=CN",
     "/C=CN/O=Tessera Bank/CN=\xE6\x9D\x8E\xE5\x9B\x9B", ""},
    {"rsa-double-ms", "Microsoft Enhanced Cryptographic Provider v1.0", 2048, "RSA", 2, "CN=Double MS,C=CN",
     "/C=CN/CN=Double MS", "--bits 2048"},
    {"rsa-double-1024", "Tessera RSA Software CSP", 1024, "RSA", 2, "CN=Double Soft,C=CN", "/C=CN/CN=Double Soft",
     "--bits 1024 --exponent 3"},
    {"rsa-double-encrypted", "Tessera RSA Software CSP", 2048, "RSA", 2, "CN=Double Vendor,C=CN",
     "/C=CN/CN=Double Vendor", "--bits 2048"},
    {"sm2-double-c1c3c2", "Tessera SM2 Software CSP", 256, "SM2", 2, "CN=SM2 Double,C=CN", "/C=CN/CN=SM2 Double",
     "--order C1C3C2 --session 306"},
    {"sm2-double-c1c2c3", "Tessera SM2 Software CSP", 256, "SM2", 2, "CN=SM2 Reordered,C=CN",
     "/C=CN/CN=SM2 Reordered", "--order C1C2C3"},
    // Two-certificate installations: a failing first call rolled back, then a good pair.
    {"two-failing-first", "Microsoft Enhanced Cryptographic Provider v1.0", 1024, "RSA", 1, "CN=Two A,C=CN",
     "/C=CN/CN=Two A", "", true},
    {"two-failing-second", "Microsoft Enhanced Cryptographic Provider v1.0", 1024, "RSA", 2, "CN=Two B,C=CN",
     "/C=CN/CN=Two B", "--bits 1024", true},
    {"two-good-first", "Microsoft Enhanced Cryptographic Provider v1.0", 1024, "RSA", 1, "CN=Two C,C=CN",
     "/C=CN/CN=Two C", "", true},
    {"two-good-second", "Microsoft Enhanced Cryptographic Provider v1.0", 1024, "RSA", 2, "CN=Two D,C=CN",
     "/C=CN/CN=Two D", "--bits 1024", true},
};

const Scenario& Find(const char* name) {
    for (const Scenario& s : kScenarios)
        if (std::string(s.name) == name) return s;
    return kScenarios[0];
}

std::string Phase() {
    const char* phase = std::getenv("TESSERA_ENROLLMENT_PHASE");
    return phase ? phase : "";
}

std::string Dir() {
    const char* dir = std::getenv("TESSERA_ENROLLMENT_DIR");
    return dir ? dir : "";
}

std::string FilePath(const Scenario& s, const char* suffix) { return Dir() + "/" + s.name + suffix; }

bool Exists(const std::string& path) { return std::ifstream(path, std::ios::binary).good(); }

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

// The element bytes of a node.
std::string ElementOf(const ASN1Node* node) {
    return std::string(reinterpret_cast<const char*>(node->Element()), node->dwTotalLength);
}

// What the CA needs of a double-certificate request, which OpenSSL cannot
// load: the subject public key info and the temporary public key.
::testing::AssertionResult ExtractDoubleRequest(const std::string& base64, std::string& spki, std::string& temp) {
    ByteBuffer der;
    DWORD length = 0;
    if (Base64DecodeEx((int)base64.size(), der, base64.c_str(), length) != VELA_OK)
        return ::testing::AssertionFailure() << "request is not Base64";
    ASN1NodePtr root;
    if (DecodeASN1Memory(root, der.get(), length) != 0) return ::testing::AssertionFailure() << "request is not DER";
    const ASN1Node* info = root->Child(0);
    if (!info || info->ChildCount() != 4) return ::testing::AssertionFailure() << "no attributes in the request";
    spki = ElementOf(info->Child(2));
    const ASN1Node* attribute = info->Child(3)->Child(1);  // [0] { challengePassword, temporary key }
    if (!attribute || attribute->ChildCount() != 2) return ::testing::AssertionFailure() << "no temporary key";
    const ASN1Node* octets = attribute->Child(1);
    ASN1NodePtr inner;
    if (DecodeASN1Memory(inner, octets->Content(), octets->dwLength) != 0 || inner->ChildCount() != 2)
        return ::testing::AssertionFailure() << "temporary key attribute is malformed";
    const ASN1Node* key = inner->Child(1);
    temp.assign(reinterpret_cast<const char*>(key->Content()), key->dwLength);
    return ::testing::AssertionSuccess();
}

class EnrollmentPhase : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override {
        if (Phase().empty() || Dir().empty()) GTEST_SKIP() << "run by the enrollment test fixtures";
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::u8path(Dir()), ignored);
        m_frontEnd = MakeHostFrontEnd();
        ASSERT_TRUE(m_frontEnd->Begin());
        m_page = m_frontEnd->OpenPage();
        ASSERT_NE(m_page, nullptr);
    }
    void TearDown() override {
        m_page.reset();
        if (m_frontEnd) {
            EXPECT_TRUE(m_frontEnd->End());
        }
    }
    // Whether the machine has the CSP; a listing that fails is a failure.
    bool ProviderPresent(const char* csp) {
        Outcome list = m_page->Call("VELA_GetCSPInfo", {});
        EXPECT_TRUE(list.ok && list.text) << LastErrorText(*m_page);
        return list.text && (std::string("||") + *list.text + "||").find(std::string("||") + csp + "||") !=
                                std::string::npos;
    }
    void Configure(const Scenario& s) {
        ASSERT_EQ(m_page->Call("VELA_SetCSPInfo", {Num(s.keyLength), Str(s.csp)}).flag, std::optional<bool>(true));
        ASSERT_EQ(m_page->Call("VELA_SetKeyAlgorithm", {Str(s.algorithm)}).flag, std::optional<bool>(true));
    }
    std::unique_ptr<CFrontEnd> m_frontEnd;
    std::unique_ptr<CPage> m_page;
};

void RequestPhase(CPage& page, const Scenario& s) {
    Outcome request = page.Call("VELA_PKCS10CertRequisition", {Str(s.subject), Num(s.certType), Num(1)});
    ASSERT_TRUE(request.ok && request.text && !request.text->empty()) << s.name;
    Outcome container = page.Call("VELA_GetContainer", {});
    ASSERT_TRUE(container.ok && container.text && container.text->size() == 38) << s.name;
    WriteBytes(FilePath(s, ".container"), *container.text);
    WriteBytes(FilePath(s, ".algorithm"), s.algorithm);
    WriteBytes(FilePath(s, ".subject"), s.caSubject);
    WriteBytes(FilePath(s, ".ca-args"), s.caArgs);
    if (s.certType == 1) {
        WriteBytes(FilePath(s, ".req.b64"), *request.text);
        return;
    }
    std::string spki, temp;
    ASSERT_TRUE(ExtractDoubleRequest(*request.text, spki, temp)) << s.name;
    WriteBytes(FilePath(s, ".spki.der"), spki);
    WriteBytes(FilePath(s, ".temp.der"), temp);
}

// The envelope of another double enrollment of the same algorithm: its keys
// were encrypted for another container.
std::string OtherEnvelope(const Scenario& s) {
    for (const Scenario& other : kScenarios) {
        if (std::string(other.name) == s.name || other.certType != 2 || std::string(other.algorithm) != s.algorithm)
            continue;
        if (Exists(FilePath(other, ".envelope"))) return ReadText(FilePath(other, ".envelope"));
    }
    return std::string();
}

void InstallPhase(CPage& page, const Scenario& s) {
    const std::string container = ReadText(FilePath(s, ".container"));
    const std::string cert = Trimmed(ReadText(FilePath(s, ".cert.b64")));
    ASSERT_FALSE(cert.empty()) << "the CA issued nothing for " << s.name;
    const int signType = s.certType == 1 ? 1 : 2;
    EXPECT_EQ(page.Call("VELA_ImportSignCert", {Num(signType), Str(cert), Str(container)}).flag,
              std::optional<bool>(true))
        << s.name << ": " << LastErrorText(page);
    std::vector<std::string> serials = {Trimmed(ReadText(FilePath(s, ".serial")))};
    if (s.certType == 2) {
        const std::string envelope = ReadText(FilePath(s, ".envelope"));
        const std::string encCert = Trimmed(ReadText(FilePath(s, ".enc.cert.b64")));
        CheckEnvelopeFaults(page, envelope, OtherEnvelope(s), encCert, container, s.name);
        EXPECT_EQ(page.Call("VELA_ImportEncryptCert", {Str(envelope), Str(encCert), Str(container), Num(1)}).flag,
                  std::optional<bool>(true))
            << s.name << ": " << LastErrorText(page);
        EXPECT_EQ(page.Call("VELA_GetContainer", {}).text, std::optional<std::string>(container));
        serials.push_back(Trimmed(ReadText(FilePath(s, ".enc.serial"))));
    }
    CheckListed(page, serials, s.csp, s.name);
    CheckContainerKeys(s.csp, container, s.algorithm, s.certType, cert,
                       s.certType == 2 ? Trimmed(ReadText(FilePath(s, ".enc.cert.b64"))) : std::string(), s.name);
}

TEST_P(EnrollmentPhase, Runs) {
    const Scenario& s = GetParam();
    if (!ProviderPresent(s.csp)) GTEST_SKIP() << s.csp << " is not installed here";
    Configure(s);
    if (Phase() == "request") RequestPhase(*m_page, s);
    else if (Phase() == "install" && !s.twoCertificates) InstallPhase(*m_page, s);
    else if (Phase() != "install") FAIL() << "unknown phase " << Phase();
}

// lCertType 3 in two calls, each with its own container: a first call that
// fails is reported by the second, which deletes both containers; a good
// pair ends with the encryption certificate.
TEST_F(EnrollmentPhase, TwoCertificateInstallation) {
    const Scenario& failingFirst = Find("two-failing-first");
    const Scenario& failingSecond = Find("two-failing-second");
    const Scenario& goodFirst = Find("two-good-first");
    const Scenario& goodSecond = Find("two-good-second");
    if (Phase() != "install") GTEST_SKIP() << "installation phase only";
    if (!ProviderPresent(failingFirst.csp)) GTEST_SKIP() << failingFirst.csp << " is not installed here";
    Configure(failingFirst);
    const std::string a = ReadText(FilePath(failingFirst, ".container"));
    const std::string b = ReadText(FilePath(failingSecond, ".container"));
    const std::string certB = Trimmed(ReadText(FilePath(failingSecond, ".cert.b64")));
    EXPECT_EQ(m_page->Call("VELA_ImportSignCert", {Num(3), Str("!!!not a certificate!!!"), Str(a)}).flag,
              std::optional<bool>(true));
    // The second call reports the first call's failure (a text that is no certificate).
    EXPECT_FALSE(m_page->Call("VELA_ImportSignCert", {Num(3), Str(certB), Str(b)}).ok);
    EXPECT_EQ(LastErrorText(*m_page).find("(0x00000000)"), std::string::npos) << LastErrorText(*m_page);
    EXPECT_TRUE(ContainerGone(failingFirst.csp, a));
    EXPECT_TRUE(ContainerGone(failingSecond.csp, b));
    EXPECT_FALSE(ListingHasSerial(*m_page, Trimmed(ReadText(FilePath(failingSecond, ".serial")))));

    const std::string c = ReadText(FilePath(goodFirst, ".container"));
    const std::string d = ReadText(FilePath(goodSecond, ".container"));
    EXPECT_EQ(m_page->Call("VELA_ImportSignCert", {Num(3), Str(Trimmed(ReadText(FilePath(goodFirst, ".cert.b64")))),
                                                   Str(c)}).flag,
              std::optional<bool>(true));
    EXPECT_EQ(m_page->Call("VELA_ImportSignCert", {Num(3), Str(Trimmed(ReadText(FilePath(goodSecond, ".cert.b64")))),
                                                   Str(d)}).flag,
              std::optional<bool>(true))
        << LastErrorText(*m_page);
    EXPECT_EQ(m_page->Call("VELA_ImportEncryptCert",
                           {Str(ReadText(FilePath(goodSecond, ".envelope"))),
                            Str(Trimmed(ReadText(FilePath(goodSecond, ".enc.cert.b64")))), Str(d), Num(0)}).flag,
              std::optional<bool>(true))
        << LastErrorText(*m_page);
    CheckListed(*m_page,
                {Trimmed(ReadText(FilePath(goodFirst, ".serial"))), Trimmed(ReadText(FilePath(goodSecond, ".serial"))),
                 Trimmed(ReadText(FilePath(goodSecond, ".enc.serial")))},
                goodFirst.csp, "two-good");
}

INSTANTIATE_TEST_SUITE_P(Enrollments, EnrollmentPhase, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
