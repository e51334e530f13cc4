// The scriptable object and its method bridge, called as page script
// calls it: identifiers from the browser, arguments as variants, results
// in browser memory.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

#include "BrowserHarness.h"

namespace {

const char* const kMethods[] = {
    "VELA_GetCSPInfo",        "VELA_GetAllCertInfo",        "VELA_SetCSPInfo",
    "VELA_SetKeyAlgorithm",   "VELA_GetContainer",          "VELA_ImportSignCert",
    "VELA_PKCS10CertRequisition", "VELA_HavePermissiontoGenerateKeyPair", "VELA_ImportEncryptCert",
    "VELA_GetVersion",        "GetLastErrorDesc",
};

const char kBaseCSP[] = "Microsoft Base Cryptographic Provider v1.0";
const char kEnhancedCSP[] = "Microsoft Enhanced Cryptographic Provider v1.0";

// The status an error text ends with: "\n(0x%08x)".
std::string StatusSuffix(uint32_t status) {
    char text[16];
    std::snprintf(text, sizeof text, "\n(0x%08x)", status);
    return text;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class ScriptableObjectTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        object = NewScriptableObject();
        ASSERT_NE(object, nullptr);
    }
    std::string LastErrorDesc(NPObject* target = nullptr) {
        ScriptResult r = Call(target ? target : object, "GetLastErrorDesc");
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.type, NPVariantType_String);
        return r.text;
    }
    NPObject* object = nullptr;
};

TEST_F(ScriptableObjectTest, HasExactlyTheElevenMethods) {
    for (const char* name : kMethods) EXPECT_TRUE(harness.Browser().HasMethod(object, name)) << name;
    for (const char* name : {"vela_getversion", "VELA_GETVERSION", "getLastErrorDesc", "VELA_GetVersion ",
                             "VELA_GetLastErrorDesc", "", "toString"})
        EXPECT_FALSE(harness.Browser().HasMethod(object, name)) << name;
}

TEST_F(ScriptableObjectTest, CaseDifferentNameIsNotInvoked) {
    ScriptResult r = Call(object, "vela_GetVersion");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.type, NPVariantType_Void) << "result must stay untouched";
}

TEST_F(ScriptableObjectTest, VersionIsAnsweredBeforeAnyOtherCall) {
    ScriptResult r = Call(object, "VELA_GetVersion");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.type, NPVariantType_String);
    EXPECT_EQ(r.text, "3.2.0.3");
    // The version does not touch the last error: it still describes status 0.
    EXPECT_TRUE(EndsWith(LastErrorDesc(), StatusSuffix(0)));
}

TEST_F(ScriptableObjectTest, HasNoPropertiesAndADefaultMethod) {
    NPClass* c = object->_class;
    NPIdentifier name = harness.Browser().Identifier("VELA_Version");
    NPVariant value = Int(1);
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    EXPECT_FALSE(c->hasProperty(object, name));
    EXPECT_FALSE(c->getProperty(object, name, &result));
    EXPECT_EQ(result.type, NPVariantType_Void);
    EXPECT_FALSE(c->setProperty(object, name, &value));
    EXPECT_FALSE(c->removeProperty(object, name));
    NPIdentifier* ids = nullptr;
    uint32_t count = 0;
    EXPECT_FALSE(c->enumerate(object, &ids, &count));
    EXPECT_FALSE(c->construct(object, nullptr, 0, &result));
    c->invalidate(object);

    ScriptResult r = harness.Browser().InvokeDefault(object, {Int(1), Text("x")});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.text, "default method return val");
    harness.Browser().FailAllocations(1);
    EXPECT_FALSE(harness.Browser().InvokeDefault(object, {}).ok);
}

TEST_F(ScriptableObjectTest, ClassRecordIsVersionThree) {
    ASSERT_NE(object->_class, nullptr);
    EXPECT_EQ(object->_class->structVersion, 3u);
    EXPECT_NE(object->_class->allocate, nullptr);
    EXPECT_NE(object->_class->deallocate, nullptr);
    EXPECT_NE(object->_class->construct, nullptr);
}

// Doubles are truncated toward zero; the agent's key-length rule shows the
// value it received: a Microsoft base CSP takes 512 or 1024, a Microsoft
// enhanced CSP 512, 1024, 2048 or 4096, any other CSP everything.
TEST_F(ScriptableObjectTest, KeyLengthNumbersReachTheAgentTruncated) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        NPVariant length;
        const char* csp;
        bool accepted;
    } cases[] = {
        {Int(1024), kBaseCSP, true},
        {Int(2048), kBaseCSP, false},
        {Dbl(2048.9), kEnhancedCSP, true},
        {Dbl(2047.9), kEnhancedCSP, false},
        {Dbl(1024.999), kBaseCSP, true},
        {Dbl(-1.5), "Vendor CSP", true},
        {Dbl(-1.5), kEnhancedCSP, false},
        {Dbl(nan), kEnhancedCSP, false},
        {Dbl(4294969344.0), kEnhancedCSP, false},  // 2^32 + 2048 must not wrap to 2048
        {Dbl(-4294966272.0), kBaseCSP, false},     // -2^32 + 1024 must not wrap to 1024
        {Dbl(nan), "Vendor CSP", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.csp << " " << (c.length.type == NPVariantType_Double
                                                                  ? c.length.value.doubleValue
                                                                  : double(c.length.value.intValue)));
        ScriptResult r = Call(object, "VELA_SetCSPInfo", {c.length, Text(c.csp)});
        EXPECT_EQ(r.ok, c.accepted);
        EXPECT_EQ(r.type, NPVariantType_Bool);
        EXPECT_EQ(r.flag, c.accepted);
        if (!c.accepted) {
            EXPECT_TRUE(EndsWith(LastErrorDesc(), StatusSuffix(0xA0072400)));
        }
    }
}

// Browser strings carry a length and no terminator: only that many bytes count.
TEST_F(ScriptableObjectTest, StringArgumentsUseTheirLengthOnly) {
    EXPECT_TRUE(Call(object, "VELA_SetKeyAlgorithm", {Text("RSAxyz", 3)}).ok);
    EXPECT_FALSE(Call(object, "VELA_SetKeyAlgorithm", {Text("RSA", 2)}).ok);
    EXPECT_TRUE(EndsWith(LastErrorDesc(), StatusSuffix(0xA0072401)));
    EXPECT_FALSE(Call(object, "VELA_SetKeyAlgorithm", {Text("RSA", 0)}).ok);
    EXPECT_TRUE(EndsWith(LastErrorDesc(), StatusSuffix(0x80070057)));
    EXPECT_TRUE(Call(object, "VELA_SetCSPInfo", {Int(2048), Text("Vendor \xE5\x9B\xBD\xE5\xAF\x86 CSP")}).ok);
}

// Every rejected call fails the way its method fails and never reaches the
// agent, so the last error still describes the call before.
TEST_F(ScriptableObjectTest, WrongArgumentsFailAndLeaveTheLastErrorAlone) {
    ASSERT_FALSE(Call(object, "VELA_SetCSPInfo", {Int(2048), Text(kBaseCSP)}).ok);
    const std::string before = LastErrorDesc();
    ASSERT_TRUE(EndsWith(before, StatusSuffix(0xA0072400)));

    enum Kind { String, Boolean };
    struct Case {
        const char* method;
        std::vector<NPVariant> args;
        Kind kind;
    } cases[] = {
        {"VELA_SetCSPInfo", {Text("2048"), Text(kEnhancedCSP)}, Boolean},
        {"VELA_SetCSPInfo", {Int(2048)}, Boolean},
        {"VELA_SetCSPInfo", {Int(2048), Text(kEnhancedCSP), Int(0)}, Boolean},
        {"VELA_SetCSPInfo", {Bool(true), Text(kEnhancedCSP)}, Boolean},
        {"VELA_SetCSPInfo", {Int(2048), Null()}, Boolean},
        {"VELA_SetKeyAlgorithm", {}, Boolean},
        {"VELA_SetKeyAlgorithm", {Int(1)}, Boolean},
        {"VELA_ImportSignCert", {Text("1"), Text("cert"), Text("container")}, Boolean},
        {"VELA_ImportSignCert", {Int(1), Text("cert")}, Boolean},
        {"VELA_ImportEncryptCert", {Text("key"), Text("cert"), Text("container"), Null()}, Boolean},
        {"VELA_ImportEncryptCert", {Text("key"), Int(1), Text("container"), Int(0)}, Boolean},
        {"VELA_HavePermissiontoGenerateKeyPair", {Int(0)}, Boolean},
        {"VELA_PKCS10CertRequisition", {Text("CN=a"), Text("1"), Int(0)}, String},
        {"VELA_PKCS10CertRequisition", {Int(1), Int(1), Int(0)}, String},
        {"VELA_PKCS10CertRequisition", {Text("CN=a"), Int(1)}, String},
        {"VELA_GetCSPInfo", {Int(1)}, String},
        {"VELA_GetAllCertInfo", {Null()}, String},
        {"VELA_GetContainer", {Bool(false)}, String},
        {"VELA_GetVersion", {Int(1)}, String},
        {"GetLastErrorDesc", {Text("x")}, String},
        // A string holding U+0000 is no text: the agent would see it cut at the NUL.
        {"VELA_SetKeyAlgorithm", {Text("RSA\0garbage", 11)}, Boolean},
        {"VELA_SetKeyAlgorithm", {Text("RSA\0", 4)}, Boolean},
        {"VELA_SetCSPInfo", {Int(1024), Text("Vendor CSP\0x", 12)}, Boolean},
        {"VELA_ImportSignCert", {Int(1), Text("cert"), Text("container\0", 10)}, Boolean},
        {"VELA_ImportEncryptCert", {Text("\0key", 4), Text("cert"), Text("container"), Int(0)}, Boolean},
        {"VELA_PKCS10CertRequisition", {Text("CN=a\0,O=b", 9), Int(1), Int(0)}, String},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.method << " with " << c.args.size() << " arguments");
        ScriptResult r = Call(object, c.method, c.args);
        EXPECT_FALSE(r.ok);
        if (c.kind == String) {
            EXPECT_EQ(r.type, NPVariantType_Null);
        } else {
            EXPECT_EQ(r.type, NPVariantType_Bool);
            EXPECT_FALSE(r.flag);
        }
        EXPECT_EQ(LastErrorDesc(), before);
    }
}

TEST_F(ScriptableObjectTest, LastErrorDescribesAFailedRequest) {
    ASSERT_TRUE(Call(object, "VELA_GetContainer").ok);
    const std::string success = LastErrorDesc();
    ASSERT_TRUE(EndsWith(success, StatusSuffix(0)));
    // No CSP was chosen: the request cannot succeed.
    ScriptResult r = Call(object, "VELA_PKCS10CertRequisition", {Text("CN=Test"), Int(1), Int(0)});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.type, NPVariantType_Null);
    std::string failure = LastErrorDesc();
    EXPECT_NE(failure, success);
    size_t open = failure.rfind("\n(0x");
    ASSERT_NE(open, std::string::npos) << failure;
    EXPECT_GE(failure[open + 4], '8') << "the text describes a failure status: " << failure;
    EXPECT_EQ(LastErrorDesc(), failure) << "GetLastErrorDesc keeps the last error";
}

TEST_F(ScriptableObjectTest, ContainerIsEmptyAfterConstruction) {
    ScriptResult r = Call(object, "VELA_GetContainer");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.type, NPVariantType_String);
    EXPECT_EQ(r.text, "");
}

TEST_F(ScriptableObjectTest, TwoInstancesKeepSeparateSettings) {
    NPObject* other = NewScriptableObject();
    ASSERT_NE(other, nullptr);
    ASSERT_NE(other, object);
    EXPECT_FALSE(Call(object, "VELA_SetCSPInfo", {Int(2048), Text(kBaseCSP)}).ok);
    EXPECT_TRUE(EndsWith(LastErrorDesc(object), StatusSuffix(0xA0072400)));
    EXPECT_TRUE(EndsWith(LastErrorDesc(other), StatusSuffix(0)));
    EXPECT_FALSE(Call(other, "VELA_SetKeyAlgorithm", {Text("DSA")}).ok);
    EXPECT_TRUE(EndsWith(LastErrorDesc(other), StatusSuffix(0xA0072401)));
    EXPECT_TRUE(EndsWith(LastErrorDesc(object), StatusSuffix(0xA0072400)));
}

// A result string that cannot be allocated after the agent succeeded: the
// call still counts as done, with a null result, and nothing leaks.
TEST_F(ScriptableObjectTest, UnallocatableResultIsNullButTheCallSucceeds) {
    harness.Browser().FailAllocations(1);
    ScriptResult r = Call(object, "VELA_GetContainer");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.type, NPVariantType_Null);
}

// With a trace session, the plug-in logs rejected calls with the check as
// the reason and the names it looked up, and still hands every name back.
TEST(ScriptableObjectTracing, RejectedCallsAndUnknownNamesAreLogged) {
    const char* root = std::getenv("TESSERA_TEST_ROOT");
    std::string file = std::string(root ? root : ".") + "/plugin-trace.log";
    std::remove(file.c_str());
    if (!CPluginLibrary::StartTraceSession(file)) GTEST_SKIP() << "no test trace session on this platform";
    {
        CBrowserHarness harness;
        ASSERT_TRUE(harness.Start());
        NPP instance = harness.NewInstance();
        NPObject* object = harness.ScriptableObject(instance);
        ASSERT_NE(object, nullptr);
        EXPECT_FALSE(harness.Browser().Invoke(object, "VELA_SetCSPInfo", {Text("2048"), Text("x")}).ok);
        EXPECT_TRUE(harness.Browser().Invoke(object, "VELA_SetCSPInfo", {Dbl(2048.5), Text("x")}).ok);
        EXPECT_FALSE(harness.Browser().HasMethod(object, "NoSuchMethod"));
        EXPECT_FALSE(harness.Browser().Invoke(object, "AnotherMissingMethod", {}).ok);
        EXPECT_GT(harness.Browser().IdentifierTextsHandedOut(), 0u);
        harness.Browser().Release(object);
        EXPECT_TRUE(harness.Finish());
    }
    CPluginLibrary::StopTraceSession();
    std::ifstream in(file);
    std::stringstream log;
    log << in.rdbuf();
    const std::string text = log.str();
    EXPECT_NE(text.find("CScriptablePluginObject::npVELA_SetCSPInfo - Check parameters [Reason:(argCount != 2 || "
                        "(args[0].type != NPVariantType_Int32 && args[0].type != NPVariantType_Double) || "
                        "args[1].type != NPVariantType_String)]"),
              std::string::npos);
    EXPECT_NE(text.find("args[0]: Double 2048.5"), std::string::npos);
    EXPECT_NE(text.find("NoSuchMethod"), std::string::npos);
    EXPECT_NE(text.find("AnotherMissingMethod"), std::string::npos);
    std::remove(file.c_str());
}

}  // namespace
