// Certificate filters over certificates made with the OpenSSL command line
// (tests/setup/data): leafds (key usage 0xC0, serial 8A01, sha256RSA),
// leafke (key usage 0x20, serial 7B02), leafplain (no key usage, SM2 with
// SM3), the first retired RSA intermediate and its look-alike.
#include <gtest/gtest.h>

#include <cstring>

#include "CertificateFilter.h"
#include "SetupTestSupport.h"

using namespace setuptest;

namespace {

class FilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        store_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        ASSERT_NE(store_, nullptr);
        for (const char* name : kNames) {
            const Bytes& der = DataFile(name);
            PCCERT_CONTEXT added = nullptr;
            ASSERT_TRUE(CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING, der.data(), (DWORD)der.size(),
                                                         CERT_STORE_ADD_ALWAYS, &added));
            input_.push_back(added);
        }
    }
    void TearDown() override {
        for (PCCERT_CONTEXT c : input_) CertFreeCertificateContext(c);
        if (store_) CertCloseStore(store_, 0);
    }
    // Names of the selected certificates, in output order.
    std::vector<std::string> Select(const CertificateFilter* filter, HRESULT expected = VELA_OK) {
        CertificateList out;
        EXPECT_EQ(FilterCertificates(filter, out, input_), expected);
        std::vector<std::string> names;
        for (PCCERT_CONTEXT c : out.Items())
            for (size_t i = 0; i < input_.size(); ++i)
                if (c->cbCertEncoded == input_[i]->cbCertEncoded &&
                    std::memcmp(c->pbCertEncoded, input_[i]->pbCertEncoded, c->cbCertEncoded) == 0)
                    names.push_back(kNames[i]);
        return names;
    }

    static constexpr const char* kNames[] = {"leafds.der", "leafke.der", "leafplain.der", "retired-ca-ri1.der",
                                             "lookalike-ri1.der"};
    HCERTSTORE store_ = nullptr;
    std::vector<PCCERT_CONTEXT> input_;
};

using Names = std::vector<std::string>;
const Names kAll = {"leafds.der", "leafke.der", "leafplain.der", "retired-ca-ri1.der", "lookalike-ri1.der"};

TEST(ParseFiltersTest, SplitsAtHashKeepingEmptyAlternatives) {
    const struct {
        const WCHAR* text;
        std::vector<WString> expected;
    } cases[] = {
        {nullptr, {}},
        {TEXT(""), {TEXT("")}},
        {TEXT("#"), {TEXT(""), TEXT("")}},
        {TEXT("CN=A#O=B"), {TEXT("CN=A"), TEXT("O=B")}},
        {TEXT("CN=A#"), {TEXT("CN=A"), TEXT("")}},
        {TEXT("#x##"), {TEXT(""), TEXT("x"), TEXT(""), TEXT("")}},
    };
    for (const auto& c : cases) {
        FilterList list;
        ParseFilters(c.text, list);
        EXPECT_EQ(list, c.expected);
    }
    WString longText(300, TEXT('a'));
    longText += TEXT("#b");
    FilterList list;
    ParseFilters(longText.c_str(), list);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], WString(255, TEXT('a')));
    EXPECT_EQ(list[1], TEXT("b"));
}

TEST_F(FilterTest, UnsetCriteriaPassEveryCertificateInInputOrder) {
    EXPECT_EQ(Select(nullptr), kAll);
    CertificateFilter none = {};
    EXPECT_EQ(Select(&none), kAll);
    CertificateFilter hashOnly = {};
    hashOnly.subjectFilters = TEXT("#");  // two empty alternatives
    EXPECT_EQ(Select(&hashOnly), kAll);
    CertificateFilter notRequired = {};
    notRequired.requirePrivateKey = 2;  // only 1 sets the criterion
    EXPECT_EQ(Select(&notRequired), kAll);
}

TEST_F(FilterTest, EachCriterionSelects) {
    const WString ri1Issuer = TEXT("CN=Tessera Retired RSA Root CA 1, OU=Retired, O=Tessera Test Bank, C=CN");
    FILETIME in2030 = {}, in2020 = {};
    SYSTEMTIME t2030 = {2030, 6, 0, 1, 0, 0, 0, 0}, t2020 = {2020, 6, 0, 1, 0, 0, 0, 0};
    SystemTimeToFileTime(&t2030, &in2030);
    SystemTimeToFileTime(&t2020, &in2020);
    Bytes ski = HexToBytes(DataText("leafds-ski.txt"));
    Bytes shortSki(ski.begin(), ski.end() - 1);

    struct Case {
        const char* what;
        CertificateFilter filter;
        Names expected;
    };
    auto make = [](auto fill) {
        CertificateFilter f = {};
        fill(f);
        return f;
    };
    const Case cases[] = {
        {"subject alternatives, other letter case",
         make([](CertificateFilter& f) { f.subjectFilters = TEXT("CN=Nobody#tessera ENCRYPTION leaf"); }),
         {"leafke.der"}},
        {"subject matching none", make([](CertificateFilter& f) { f.subjectFilters = TEXT("CN=Nobody#O=Elsewhere"); }),
         {}},
        {"issuer", make([&](CertificateFilter& f) { f.issuerFilters = ri1Issuer.c_str(); }),
         {"retired-ca-ri1.der", "lookalike-ri1.der"}},
        {"digital signature bit", make([](CertificateFilter& f) { f.keyUsage = 0x80; }), {"leafds.der"}},
        {"certificate signing bit", make([](CertificateFilter& f) { f.keyUsage = 0x04 | 0x01; }),
         {"retired-ca-ri1.der", "lookalike-ri1.der"}},
        {"RSA signature arc", make([](CertificateFilter& f) { f.signatureAlgorithm = "1.2.840.113549.1.1"; }),
         {"leafds.der", "leafke.der", "retired-ca-ri1.der", "lookalike-ri1.der"}},
        {"ECDSA arc", make([](CertificateFilter& f) { f.signatureAlgorithm = "1.2.840.10045"; }), {}},
        {"SM2 arc", make([](CertificateFilter& f) { f.signatureAlgorithm = "1.2.156.10197"; }), {"leafplain.der"}},
        {"valid in 2030", make([&](CertificateFilter& f) { f.validAt = &in2030; }), kAll},
        {"valid in 2020", make([&](CertificateFilter& f) { f.validAt = &in2020; }), {}},
        {"subject key id", make([&](CertificateFilter& f) {
             f.subjectKeyId = ski.data();
             f.subjectKeyIdLength = (DWORD)ski.size();
         }),
         {"leafds.der"}},
        {"subject key id one byte short", make([&](CertificateFilter& f) {
             f.subjectKeyId = shortSki.data();
             f.subjectKeyIdLength = (DWORD)shortSki.size();
         }),
         {}},
    };
    for (const Case& c : cases) EXPECT_EQ(Select(&c.filter), c.expected) << c.what;
}

TEST_F(FilterTest, SerialFromHexTextMatchesDespiteTheDerSignByte) {
    // Serial 0x8A01 is the DER integer 00 8A 01, stored 01 8A 00.
    ByteBuffer serial;
    DWORD length = 0;
    ASSERT_EQ(ConvertStringToBinaryData(length, TEXT("8A01"), serial), VELA_OK);
    CertificateFilter f = {};
    f.serialNumber = serial.get();
    f.serialNumberLength = length;
    EXPECT_EQ(Select(&f), Names{"leafds.der"});
}

TEST(CheckCertSerialNumberTest, ComparesOverTheCertificatesLength) {
    const BYTE filter[] = {0x01, 0x8A};
    const struct {
        std::vector<BYTE> stored;
        bool passes;
    } cases[] = {
        {{0x01, 0x8A, 0x00}, true},
        {{0x01, 0x8A}, true},
        {{0x01, 0x8A, 0x00, 0x00, 0x00, 0x00}, true},         // filter plus four zero bytes
        {{0x01, 0x8A, 0x00, 0x00, 0x00, 0x00, 0x00}, false},  // five more
        {{0x01, 0x8B}, false},
        {{0x01}, true},  // a shorter serial is compared over its own length
    };
    for (const auto& c : cases) {
        CERT_INFO info = {};
        info.SerialNumber.cbData = (DWORD)c.stored.size();
        info.SerialNumber.pbData = const_cast<BYTE*>(c.stored.data());
        CERT_CONTEXT context = {};
        context.pCertInfo = &info;
        EXPECT_EQ(CheckCertSerialNumber(&context, filter, sizeof filter) == VELA_OK, c.passes)
            << c.stored.size() << " bytes";
    }
}

TEST_F(FilterTest, RetiredRowSelectsOnlyItsSerial) {
    // The first RSA row: the look-alike has the same names, another serial.
    ByteBuffer serial;
    DWORD length = 0;
    const Bytes& der = DataFile("retired-ca-ri1.der");
    PCCERT_CONTEXT ri1 = CreateCert(der);
    ASSERT_NE(ri1, nullptr);
    WString hex;
    const CRYPT_INTEGER_BLOB& s = ri1->pCertInfo->SerialNumber;
    ASSERT_EQ(ConvertBinaryDataToString(s.cbData, hex, s.pbData), VELA_OK);
    CertFreeCertificateContext(ri1);
    ASSERT_EQ(ConvertStringToBinaryData(length, hex.c_str(), serial), VELA_OK);
    CertificateFilter f = {};
    f.subjectFilters = TEXT("CN=Tessera Retired RSA CA 1, OU=Retired");
    f.issuerFilters = TEXT("cn=tessera retired rsa root ca 1");
    f.serialNumber = serial.get();
    f.serialNumberLength = length;
    EXPECT_EQ(Select(&f), Names{"retired-ca-ri1.der"});
}

TEST_F(FilterTest, KeyUsageAndSubjectKeyIdFailures) {
    EXPECT_EQ(CheckCertKeyUsage(0x80, input_[1]), VELA_E_INVALID_CERT_USAGE);  // keyEncipherment only
    EXPECT_EQ(CheckCertKeyUsage(0x80, input_[2]), VELA_E_NO_KEY_USAGE);
    EXPECT_EQ(CheckCertKeyUsage(0x40, input_[0]), VELA_OK);
    EXPECT_EQ(CheckCertKeyUsage(0, input_[2]), VELA_OK);
    const BYTE any[20] = {};
    EXPECT_EQ(CheckCertSubjectKeyID(any, sizeof any, input_[2]), VELA_E_NO_SUBJECT_KEY_ID);
    EXPECT_EQ(CheckCertSubjectKeyID(any, sizeof any, input_[0]), E_FAIL);
}

TEST_F(FilterTest, ProviderNameAlternatives) {
    CRYPT_KEY_PROV_INFO info = {};
    WCHAR container[] = TEXT("c1");
    WCHAR provider[] = TEXT("Tessera Test Cryptographic Provider");
    info.pwszContainerName = container;
    info.pwszProvName = provider;
    info.dwProvType = 1;
    info.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(input_[0], CERT_KEY_PROV_INFO_PROP_ID, 0, &info));

    CertificateFilter f = {};
    f.cspNameFilters = TEXT("Other CSP||tessera test");
    EXPECT_EQ(Select(&f), Names{"leafds.der"});  // the others have no key-provider property
    f.cspNameFilters = TEXT("Other CSP||||tessera test");  // splitting stops at the empty piece
    EXPECT_EQ(Select(&f), Names{});
    f.cspNameFilters = TEXT("||tessera");  // an empty list: not set
    EXPECT_EQ(Select(&f), kAll);
}

TEST(ExtractCertificatesTest, NullAndEmptyStores) {
    CertificateList list;
    EXPECT_EQ(ExtractCertificatesFromStore(nullptr, list), E_INVALIDARG);
    EXPECT_TRUE(list.Empty());
    HCERTSTORE empty = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(ExtractCertificatesFromStore(empty, list), VELA_OK);
    EXPECT_TRUE(list.Empty());
    CertificateList out;
    EXPECT_EQ(FilterCertificates(nullptr, out, list.Items()), VELA_OK);
    EXPECT_TRUE(out.Empty());
    CertCloseStore(empty, 0);
}

}  // namespace
