// Retired CA removal and the two installation sequences, against planted
// stores: the retired intermediates in both "CA" stores, a retired root in
// the machine's "CA" store, every retired root in the trusted-root registry
// key, and a look-alike (names of a retired intermediate, other serial).
#include <gtest/gtest.h>

#include <objbase.h>

#include "CertificateChainDelete.h"
#include "CertificateChainInstall.h"
#include "SetupTestSupport.h"

using namespace setuptest;

namespace {

constexpr DWORD kMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE;
constexpr DWORD kUser = CERT_SYSTEM_STORE_CURRENT_USER;

const char* const kRetiredCAs[] = {"retired-ca-ri1.der", "retired-ca-ri2.der", "retired-ca-ri3.der",
                                   "retired-ca-ri4.der", "retired-ca-ri5.der", "retired-ca-si1.der",
                                   "retired-ca-si2.der", "retired-ca-si3.der", "retired-ca-si4.der",
                                   "retired-ca-si5.der"};
const char* const kRetiredRoots[] = {"retired-root-rr1.der", "retired-root-rr2.der", "retired-root-rr3.der",
                                     "retired-root-rr4.der", "retired-root-sr1.der", "retired-root-sr2.der",
                                     "retired-root-sr3.der"};

class InstallationSequenceTest : public ::testing::Test {
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
    static void Plant() {
        for (const char* name : kRetiredCAs) {
            ASSERT_TRUE(AddToStore(kMachine, "CA", DataFile(name))) << name;
            ASSERT_TRUE(AddToStore(kUser, "CA", DataFile(name))) << name;
        }
        for (const char* name : kRetiredRoots)
            ASSERT_TRUE(WriteRootBlob(Thumbprint(DataFile(name)), BlobRecord(32, DataFile(name)))) << name;
        ASSERT_TRUE(AddToStore(kMachine, "CA", DataFile("retired-root-rr1.der")));
        ASSERT_TRUE(AddToStore(kMachine, "CA", DataFile("lookalike-ri1.der")));
        ASSERT_TRUE(AddToStore(kUser, "CA", DataFile("lookalike-ri1.der")));
    }
    static void ExpectRetiredGone() {
        for (const char* name : kRetiredCAs) {
            std::string t = Thumbprint(DataFile(name));
            EXPECT_FALSE(StoreHas(kMachine, "CA", t)) << name;
            EXPECT_FALSE(StoreHas(kUser, "CA", t)) << name;
        }
        Bytes blob;
        for (const char* name : kRetiredRoots) EXPECT_FALSE(ReadRootBlob(Thumbprint(DataFile(name)), blob)) << name;
        EXPECT_FALSE(StoreHas(kMachine, "CA", Thumbprint(DataFile("retired-root-rr1.der"))));
        std::string lookalike = Thumbprint(DataFile("lookalike-ri1.der"));
        EXPECT_TRUE(StoreHas(kMachine, "CA", lookalike)) << "another serial: not retired";
        EXPECT_TRUE(StoreHas(kUser, "CA", lookalike));
    }
    static void ExpectInstalled(int id, bool installed) {
        ChainExpectation e = Expected(id);
        Bytes blob;
        for (const std::string& t : e.roots) {
            EXPECT_EQ(ReadRootBlob(t, blob), installed) << id << " " << t;
            if (RootStoreReadsRegistry()) {
                EXPECT_EQ(StoreHas(kMachine, "ROOT", t), installed) << id << " " << t;
            }
        }
        for (const std::string& t : e.intermediates) EXPECT_EQ(StoreHas(kMachine, "CA", t), installed) << id << " " << t;
    }
};

TEST_F(InstallationSequenceTest, TablesHaveTheirRowPatterns) {
    size_t rsa = 0, sm2 = 0;
    const RetiredCertificate* rsaRows = RetiredRSACertificates(rsa);
    const RetiredCertificate* sm2Rows = RetiredSM2Certificates(sm2);
    std::string rsaPattern, sm2Pattern;
    for (size_t i = 0; i < rsa; ++i) rsaPattern += rsaRows[i].pwszThumbprint ? 'R' : 'I';
    for (size_t i = 0; i < sm2; ++i) sm2Pattern += sm2Rows[i].pwszThumbprint ? 'R' : 'I';
    EXPECT_EQ(rsaPattern, "IRIRIRIIR");
    EXPECT_EQ(sm2Pattern, "IIRIRIIR");
}

TEST_F(InstallationSequenceTest, PluginSequenceRemovesRetiredAndInstallsAllChainsRepeatably) {
    Plant();
    RunInstallationSequenceForPlugin();
    ExpectRetiredGone();
    for (int id = 208; id <= 211; ++id) ExpectInstalled(id, true);

    // A second run finds nothing to remove and nothing new to add.
    RunInstallationSequenceForPlugin();
    ExpectRetiredGone();
    for (int id = 208; id <= 211; ++id) ExpectInstalled(id, true);
}

TEST_F(InstallationSequenceTest, HostSequenceInstallsOnlyTheRSAChains) {
    Plant();
    RunInstallationSequenceForHost();
    ExpectRetiredGone();
    ExpectInstalled(IDR_RSA_CERTIFICATE_CHAIN, true);
    ExpectInstalled(IDR_TEST_RSA_CERTIFICATE_CHAIN, true);
    ExpectInstalled(IDR_SM2_CERTIFICATE_CHAIN, false);
    ExpectInstalled(IDR_TEST_SM2_CERTIFICATE_CHAIN, false);
}

TEST_F(InstallationSequenceTest, RowOutcomes) {
    const WString issuer = TEXT("CN=Tessera Retired RSA Root CA 1");
    // Nothing planted: intermediate rows select nothing; root rows fail at the registry.
    EXPECT_EQ(DeleteIntermediateCert(issuer.c_str(), TEXT("0102"), TEXT("CN=Nobody")), VELA_OK);
    EXPECT_EQ(DeleteTrustedRootCert(issuer.c_str(), TEXT("0000000000000000000000000000000000000000"), TEXT("0102"),
                                    issuer.c_str()),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(DeleteIntermediateCert(issuer.c_str(), TEXT("01G2"), TEXT("CN=Nobody")), E_INVALIDARG);
    EXPECT_EQ(DeleteTrustedRootCert(issuer.c_str(), TEXT("00"), TEXT("zz"), issuer.c_str()), E_INVALIDARG);
    for (DWORD location : {0u, 0x30000u, 0x40000u, 0x20001u})
        EXPECT_EQ(DeleteCertificateFromStore(location, nullptr), E_INVALIDARG) << location;
    EXPECT_EQ(DeleteRegistryKey(TEXT("")), E_INVALIDARG);
    EXPECT_EQ(DeleteRSADiscardCert(), VELA_OK);
    EXPECT_EQ(DeleteSM2DiscardCert(), VELA_OK);
}

TEST_F(InstallationSequenceTest, RootRowRemovesTheRegistryEntryWrittenByTheChainInstall) {
    ASSERT_EQ(ImportCertificateChainfromResoure(IDR_TEST_RSA_CERTIFICATE_CHAIN), VELA_OK);
    ChainExpectation e = Expected(IDR_TEST_RSA_CERTIFICATE_CHAIN);
    Bytes blob;
    ASSERT_TRUE(ReadRootBlob(e.roots[0], blob));
    EXPECT_EQ(DeleteRegistryKey(Wide(e.roots[0]).c_str()), VELA_OK);
    EXPECT_FALSE(ReadRootBlob(e.roots[0], blob));
    if (RootStoreReadsRegistry()) {
        EXPECT_FALSE(StoreHas(kMachine, "ROOT", e.roots[0]));
    }
    EXPECT_TRUE(ReadRootBlob(e.roots[1], blob));
}

}  // namespace
