// Installing CA-chain documents: the shipped documents and edited copies of
// them. The expectations (thumbprints of the roots, of the intermediates
// that must be installed and of the expired ones) come from the generator,
// which computed them with the OpenSSL command line.
#include <gtest/gtest.h>

#include <objbase.h>

#include "CertificateChainInstall.h"
#include "SetupTestSupport.h"

using namespace setuptest;

namespace {

constexpr DWORD kMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE;

class ChainInstallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { UseTestStores(); }
    void SetUp() override {
        CoInitialize(nullptr);
        CleanMachine();
    }
    void TearDown() override {
        CleanMachine();
        CoUninitialize();
    }
    static HRESULT Install(const std::string& document) {
        return ImportCertificateChainfromBlobData(reinterpret_cast<const BYTE*>(document.data()),
                                                  (DWORD)document.size());
    }
    static bool Registered(const std::string& thumbprint) {
        Bytes blob;
        return ReadRootBlob(thumbprint, blob);
    }
    // The Content text of the n-th Certificate entry of a document.
    static std::string ContentOf(const std::string& document, int n) {
        size_t at = 0;
        for (int i = 0; i <= n; ++i) at = document.find("<Content>", at) + 9;
        return document.substr(at, document.find("</Content>", at) - at);
    }
};

TEST_F(ChainInstallTest, ShippedDocumentRegistersRootsAndAddsValidIntermediatesOnce) {
    const std::string document = DataText("rsa-operation.xml");
    ChainExpectation e = Expected(IDR_RSA_CERTIFICATE_CHAIN);
    ASSERT_EQ(e.roots.size(), 3u);
    ASSERT_EQ(e.intermediates.size(), 7u);
    ASSERT_EQ(e.expired.size(), 1u);

    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(ImportCertificateChainfromResoure(IDR_RSA_CERTIFICATE_CHAIN), VELA_OK) << "pass " << pass;
        for (size_t i = 0; i < e.roots.size(); ++i) {
            Bytes blob;
            ASSERT_TRUE(ReadRootBlob(e.roots[i], blob)) << e.roots[i];
            // The whole blob is stored, all its property records.
            EXPECT_EQ(blob, Base64Decode(ContentOf(document, (int)i)));
            if (RootStoreReadsRegistry()) {
                EXPECT_TRUE(StoreHas(kMachine, "ROOT", e.roots[i]));
            }
            EXPECT_FALSE(StoreHas(kMachine, "CA", e.roots[i])) << "self-signed roots stay out of CA";
        }
        for (const std::string& t : e.intermediates) EXPECT_TRUE(StoreHas(kMachine, "CA", t)) << t;
        for (const std::string& t : e.expired) EXPECT_FALSE(StoreHas(kMachine, "CA", t)) << t;
    }
}

TEST_F(ChainInstallTest, EveryShippedDocumentInstalls) {
    for (int id : {IDR_SM2_CERTIFICATE_CHAIN, IDR_TEST_RSA_CERTIFICATE_CHAIN, IDR_TEST_SM2_CERTIFICATE_CHAIN}) {
        EXPECT_EQ(ImportCertificateChainfromResoure(id), VELA_OK) << id;
        ChainExpectation e = Expected(id);
        for (const std::string& t : e.roots) EXPECT_TRUE(Registered(t)) << id << " " << t;
        for (const std::string& t : e.intermediates) EXPECT_TRUE(StoreHas(kMachine, "CA", t)) << id << " " << t;
        for (const std::string& t : e.expired) EXPECT_FALSE(StoreHas(kMachine, "CA", t)) << id << " " << t;
    }
    EXPECT_EQ(Expected(IDR_SM2_CERTIFICATE_CHAIN).intermediates.size(), 13u);
}

TEST_F(ChainInstallTest, MissingResourceFails) { EXPECT_LT(ImportCertificateChainfromResoure(207), 0); }

TEST_F(ChainInstallTest, EditedDocuments) {
    const std::string base = DataText("rsa-test.xml");
    ChainExpectation e = Expected(IDR_TEST_RSA_CERTIFICATE_CHAIN);
    const std::string firstEntryContent = "      <Content>";
    struct Case {
        const char* what;
        std::string document;
        HRESULT status;              // < 0: any failure
        std::vector<bool> registered;  // per root
        bool intermediates;
    };
    const std::string noP7b =
        base.substr(0, base.find("  <P7bContent>")) + base.substr(base.find("</P7bContent>") + 15);
    // The first entry with only two child elements.
    std::string twoChildren = base;
    {
        size_t from = twoChildren.find(firstEntryContent);
        size_t to = twoChildren.find("</Content>", from) + 12;
        twoChildren.erase(from, to - from);
    }
    const Case cases[] = {
        {"comment inside RootCACertificate",
         ReplaceOnce(base, "<RootCACertificate>\r\n", "<RootCACertificate>\r\n    <!-- retired entries removed -->\r\n"),
         VELA_OK, {true, true, true}, true},
        {"entry with two child elements", twoChildren, VELA_OK, {false, true, true}, true},
        {"entry with four child elements", ReplaceOnce(base, "</Content>", "</Content>\r\n      <Note>extra</Note>"),
         VELA_OK, {true, true, true}, true},
        {"lower-case element name", ReplaceOnce(ReplaceOnce(base, "<RootCACertificate>", "<rootcacertificate>"),
                                                "</RootCACertificate>", "</rootcacertificate>"),
         VELA_OK, {true, true, true}, true},
        {"name containing the wanted one",
         ReplaceOnce(ReplaceOnce(base, "<RootCACertificate>", "<TrustedRootCACertificates>"),
                     "</RootCACertificate>", "</TrustedRootCACertificates>"),
         VELA_OK, {true, true, true}, true},
        {"without P7bContent", noP7b, E_INVALIDARG, {true, true, true}, false},
        {"without RootCACertificate",
         base.substr(0, base.find("  <RootCACertificate>")) + base.substr(base.find("</RootCACertificate>") + 22),
         E_INVALIDARG, {false, false, false}, false},
        {"not well-formed", base.substr(0, base.size() / 2), -1, {false, false, false}, false},
        {"no element at all", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n", -1, {false, false, false}, false},
    };
    for (const Case& c : cases) {
        CleanMachine();
        HRESULT hr = Install(c.document);
        if (c.status == -1) {
            EXPECT_LT(hr, 0) << c.what;
        } else {
            EXPECT_EQ(hr, c.status) << c.what;
        }
        for (size_t i = 0; i < e.roots.size(); ++i) EXPECT_EQ(Registered(e.roots[i]), c.registered[i]) << c.what << i;
        for (const std::string& t : e.intermediates) EXPECT_EQ(StoreHas(kMachine, "CA", t), c.intermediates) << c.what;
    }
}

TEST_F(ChainInstallTest, ChildLookup) {
    const std::string text = "<?xml version=\"1.0\"?><!-- a --><root><!-- b --><P7bContentX>x</P7bContentX></root>";
    std::unique_ptr<CXmlDocument> document;
    ASSERT_EQ(LoadXMLDom(reinterpret_cast<const BYTE*>(text.data()), (DWORD)text.size(), document), VELA_OK);
    std::unique_ptr<CXmlNode> root, child;
    ASSERT_EQ(GetXMLRootNode(document.get(), root), VELA_OK);
    WString name;
    ASSERT_EQ(root->GetNodeName(name), S_OK);
    EXPECT_EQ(name, TEXT("root"));
    long count = 0;
    ASSERT_EQ(root->GetChildCount(count), S_OK);
    EXPECT_EQ(count, 2);  // the comment is a node
    EXPECT_EQ(FindChildNode(child, root.get(), TEXT("p7bcontent")), VELA_OK);
    ASSERT_NE(child, nullptr);
    WString value;
    EXPECT_EQ(GetNodeValue(child.get(), value), VELA_OK);
    EXPECT_EQ(value, TEXT("x"));
    EXPECT_EQ(FindChildNode(child, root.get(), TEXT("RootCACertificate")), VELA_R_XML_CHILD_NOT_FOUND);
    EXPECT_EQ(child, nullptr);
    EXPECT_EQ(LoadXMLDom(nullptr, 0, document), E_INVALIDARG);
}

TEST_F(ChainInstallTest, CertificateInRegistryBlob) {
    const Bytes& der = DataFile("retired-root-rr1.der");
    const Bytes sha1(20, 0x11), md5(16, 0x22), bits = {0x00, 0x08, 0x00, 0x00};
    Bytes sixThenCert;
    for (DWORD id : {3u, 4u, 15u, 20u, 25u}) {
        Bytes r = BlobRecord(id, id == 3 || id == 20 ? sha1 : md5);
        sixThenCert.insert(sixThenCert.end(), r.begin(), r.end());
    }
    Bytes r92 = BlobRecord(92, bits);
    sixThenCert.insert(sixThenCert.end(), r92.begin(), r92.end());
    Bytes withCert = sixThenCert;
    Bytes r32 = BlobRecord(32, der);
    withCert.insert(withCert.end(), r32.begin(), r32.end());
    // Only the low 24 bits of id and length count.
    Bytes topBytes = BlobRecord(32, der);
    topBytes[3] = 0x7F;
    topBytes[11] = 0x55;
    Bytes overrun = sixThenCert;
    Bytes cut = BlobRecord(32, der);
    cut.resize(cut.size() - 1);
    overrun.insert(overrun.end(), cut.begin(), cut.end());
    Bytes shortHeader = sixThenCert;
    shortHeader.insert(shortHeader.end(), {0x20, 0, 0, 0, 1, 0});

    const struct {
        const char* what;
        Bytes blob;
        HRESULT status;
    } cases[] = {
        {"property 32 after six others", withCert, VELA_OK},
        {"top bytes of id and length ignored", topBytes, VELA_OK},
        {"without property 32", sixThenCert, E_FAIL},
        {"last record past the end", overrun, E_FAIL},
        {"record header past the end", shortHeader, E_FAIL},
    };
    for (const auto& c : cases) {
        ByteBuffer cert;
        DWORD size = 0;
        WString content = Wide(Base64Encode(c.blob));
        EXPECT_EQ(GetCertFromCertificateBlobProperties(cert, content.c_str(), size), c.status) << c.what;
        if (c.status == VELA_OK) {
            EXPECT_EQ(Bytes(cert.get(), cert.get() + size), der) << c.what;
        }
    }
}

TEST_F(ChainInstallTest, ExpiryBoundaryAtTheMachineTime) {
    // The generated roots are valid to 2049-12-31 23:59:59 UTC.
    SYSTEMTIME end = {2049, 12, 0, 31, 23, 59, 59, 0};
    FILETIME notAfter = {};
    ASSERT_TRUE(SystemTimeToFileTime(&end, &notAfter));
    unsigned long long ticks = ((unsigned long long)notAfter.dwHighDateTime << 32) | notAfter.dwLowDateTime;
    ticks += 1;  // one 100-nanosecond tick
    FILETIME oneTickLater = {(DWORD)ticks, (DWORD)(ticks >> 32)};

    const std::string base = DataText("rsa-test.xml");
    ChainExpectation e = Expected(IDR_TEST_RSA_CERTIFICATE_CHAIN);
    std::unique_ptr<CXmlDocument> document;
    ASSERT_EQ(LoadXMLDom(reinterpret_cast<const BYTE*>(base.data()), (DWORD)base.size(), document), VELA_OK);
    std::unique_ptr<CXmlNode> root, roots, entry;
    ASSERT_EQ(GetXMLRootNode(document.get(), root), VELA_OK);
    ASSERT_EQ(FindChildNode(roots, root.get(), TEXT("RootCACertificate")), VELA_OK);
    ASSERT_EQ(roots->GetChild(0, entry), S_OK);

    PCCERT_CONTEXT cert = CreateCert(DataFile("retired-root-rr1.der"));
    ASSERT_NE(cert, nullptr);
    BOOL expired = FALSE;
    EXPECT_EQ(CheckCertValidTime(&oneTickLater, expired, cert), VELA_OK);
    EXPECT_TRUE(expired);
    EXPECT_EQ(CheckCertValidTime(&notAfter, expired, cert), VELA_OK);
    EXPECT_FALSE(expired);
    EXPECT_EQ(CheckCertValidTime(nullptr, expired, cert), E_INVALIDARG);
    EXPECT_EQ(CheckCertValidTime(&notAfter, expired, nullptr), E_INVALIDARG);
    CertFreeCertificateContext(cert);

    EXPECT_EQ(ParseCertificateNode(&oneTickLater, entry.get()), VELA_OK);
    EXPECT_FALSE(Registered(e.roots[0])) << "expired: skipped";
    EXPECT_EQ(ParseCertificateNode(&notAfter, entry.get()), VELA_OK);
    EXPECT_TRUE(Registered(e.roots[0])) << "not expired at its last instant";
}

}  // namespace
