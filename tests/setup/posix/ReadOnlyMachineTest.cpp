// The installation sequence without write access to the machine's stores
// and registry: every machine step fails and is logged, the sequence goes
// on to the end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "CertificateChainDelete.h"
#include "SetupTestSupport.h"
#include "TestPlatform.h"
#include "VelaTrace.h"

using namespace setuptest;

namespace {

constexpr DWORD kMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE;
constexpr DWORD kUser = CERT_SYSTEM_STORE_CURRENT_USER;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(ReadOnlyMachineTest, EveryMachineStepFailsIsLoggedAndTheSequenceGoesOn) {
    UseTestStores();
    CleanMachine();
    const Bytes& retiredCA = DataFile("retired-ca-ri2.der");
    const Bytes& retiredRoot = DataFile("retired-root-rr2.der");
    ASSERT_TRUE(AddToStore(kMachine, "CA", retiredCA));
    ASSERT_TRUE(AddToStore(kUser, "CA", retiredCA));
    ASSERT_TRUE(WriteRootBlob(Thumbprint(retiredRoot), BlobRecord(32, retiredRoot)));

    std::string file = testsupport::MakeTemporaryDirectory() + "/trace.log";
    std::string control = "0x6," + file;
    testsupport::SetEnvironment("TESSERA_TRACE", control.c_str());
    testsupport::SetEnvironment("TESSERA_MACHINE_STORE_READONLY", "1");
    SetupTracing();
    RunInstallationSequenceForPlugin();
    TeardownTracing();
    testsupport::UnsetEnvironment("TESSERA_MACHINE_STORE_READONLY");
    testsupport::UnsetEnvironment("TESSERA_TRACE");

    // Nothing changed on the machine.
    EXPECT_TRUE(StoreHas(kMachine, "CA", Thumbprint(retiredCA)));
    Bytes blob;
    EXPECT_TRUE(ReadRootBlob(Thumbprint(retiredRoot), blob));
    for (int id = 208; id <= 211; ++id) {
        ChainExpectation e = Expected(id);
        for (const std::string& t : e.roots) EXPECT_FALSE(ReadRootBlob(t, blob)) << id;
        for (const std::string& t : e.intermediates) EXPECT_FALSE(StoreHas(kMachine, "CA", t)) << id;
    }

    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    const std::string log = text.str();
    // Each of the 13 root entries fails at the registry, each document's
    // intermediate route at the machine's "CA" store, and all four
    // documents and both tables are still reached.
    EXPECT_EQ(Count(log, "ParseCertificateNode [Reason:FAILED(hResult)]"), 13u) << log.substr(0, 4000);
    EXPECT_EQ(Count(log, "AddCACertficatetoStore [Reason:FAILED(hResult)]"), 4u);
    EXPECT_EQ(Count(log, "ImportCertificateChainfromResoure(IDR_TEST_SM2_CERTIFICATE_CHAIN) [Reason:"), 1u);
    EXPECT_EQ(Count(log, "DeleteRSADiscardCert"), 1u + Count(log, "DeleteRSADiscardCert - "));
    EXPECT_GE(Count(log, "Delete retired certificate [Reason:FAILED(hResult)]"), 7u);  // the root rows at least
    CleanMachine();
}

}  // namespace
