// The installation sequence as the deliverables run it: "tessera-host -i"
// as a process, NP_Install of the built plug-in library in the browser
// harness. Both run against planted stores: retired intermediates in both
// "CA" stores, retired roots in the trusted-root registry key, a
// look-alike with another serial that must stay.
#include <gtest/gtest.h>

#include <objbase.h>

#include "BrowserHarness.h"
#include "ChainResources.h"
#include "HostProcess.h"
#include "SetupTestSupport.h"

using namespace setuptest;

namespace {

constexpr DWORD kMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE;
constexpr DWORD kUser = CERT_SYSTEM_STORE_CURRENT_USER;
const char* const kRetiredCAs[] = {"retired-ca-ri1.der", "retired-ca-ri4.der", "retired-ca-si2.der",
                                   "retired-ca-si5.der"};
const char* const kRetiredRoots[] = {"retired-root-rr1.der", "retired-root-rr4.der", "retired-root-sr3.der"};

class DeliverableSequenceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { UseTestStores(); }
    void SetUp() override {
        CoInitialize(nullptr);
        CleanMachine();
        for (const char* name : kRetiredCAs) {
            ASSERT_TRUE(AddToStore(kMachine, "CA", DataFile(name))) << name;
            ASSERT_TRUE(AddToStore(kUser, "CA", DataFile(name))) << name;
        }
        for (const char* name : kRetiredRoots)
            ASSERT_TRUE(WriteRootBlob(Thumbprint(DataFile(name)), BlobRecord(32, DataFile(name)))) << name;
        ASSERT_TRUE(AddToStore(kMachine, "CA", DataFile("lookalike-ri1.der")));
    }
    void TearDown() override {
        CleanMachine();
        CoUninitialize();
    }
    static void ExpectState(const std::vector<int>& installed, const std::vector<int>& absent) {
        Bytes blob;
        for (const char* name : kRetiredCAs) {
            EXPECT_FALSE(StoreHas(kMachine, "CA", Thumbprint(DataFile(name)))) << name;
            EXPECT_FALSE(StoreHas(kUser, "CA", Thumbprint(DataFile(name)))) << name;
        }
        for (const char* name : kRetiredRoots) EXPECT_FALSE(ReadRootBlob(Thumbprint(DataFile(name)), blob)) << name;
        EXPECT_TRUE(StoreHas(kMachine, "CA", Thumbprint(DataFile("lookalike-ri1.der"))));
        for (int id : installed) {
            ChainExpectation e = Expected(id);
            for (const std::string& t : e.roots) {
                EXPECT_TRUE(ReadRootBlob(t, blob)) << id << " " << t;
                if (RootStoreReadsRegistry()) {
                    EXPECT_TRUE(StoreHas(kMachine, "ROOT", t)) << id << " " << t;
                }
            }
            for (const std::string& t : e.intermediates) EXPECT_TRUE(StoreHas(kMachine, "CA", t)) << id << " " << t;
        }
        for (int id : absent)
            for (const std::string& t : Expected(id).roots) EXPECT_FALSE(ReadRootBlob(t, blob)) << id << " " << t;
    }
};

TEST_F(DeliverableSequenceTest, HostInstallationModeTwice) {
    for (int run = 0; run < 2; ++run) {
        HostProcess host;
        ASSERT_TRUE(host.Start(TESSERA_HOST_PATH, {"-I"}));
        host.CloseStdin();
        EXPECT_EQ(host.Wait(), 0);
        EXPECT_EQ(host.ReadToEnd(), "");
        EXPECT_EQ(host.Stderr(), "");
        ExpectState({IDR_RSA_CERTIFICATE_CHAIN, IDR_TEST_RSA_CERTIFICATE_CHAIN},
                    {IDR_SM2_CERTIFICATE_CHAIN, IDR_TEST_SM2_CERTIFICATE_CHAIN});
    }
}

TEST_F(DeliverableSequenceTest, PluginInstallTwice) {
    CBrowserHarness harness;
    ASSERT_TRUE(harness.Start());
    for (int run = 0; run < 2; ++run) {
        harness.Install();  // COM is initialised on this thread, as its caller must
        ExpectState({IDR_RSA_CERTIFICATE_CHAIN, IDR_TEST_RSA_CERTIFICATE_CHAIN, IDR_SM2_CERTIFICATE_CHAIN,
                     IDR_TEST_SM2_CERTIFICATE_CHAIN},
                    {});
    }
    EXPECT_TRUE(harness.Finish());
}

}  // namespace
