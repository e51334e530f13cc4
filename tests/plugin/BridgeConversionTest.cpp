// The bridge's conversion helpers on the plug-in's own objects, with the
// test browser's allocator behind the plug-in's copy of the browser table.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "Browser.h"
#include "BrowserServices.h"
#include "ScriptablePluginObject.h"

namespace {

TEST(NPVariantToLong, ConvertsNumbersAndRejectsOtherTypes) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        NPVariant variant;
        LONG expected;
    } cases[] = {
        {Int(7), 7},
        {Int(INT32_MIN), INT32_MIN},
        {Dbl(2048.9), 2048},
        {Dbl(-1.5), -1},
        {Dbl(-0.99), 0},
        {Dbl(2147483647.9), INT32_MAX},
        {Dbl(-2147483648.9), INT32_MIN},
        {Dbl(2147483648.0), INT32_MIN},
        {Dbl(-2147483649.0), INT32_MIN},
        {Dbl(1e300), INT32_MIN},
        {Dbl(inf), INT32_MIN},
        {Dbl(-inf), INT32_MIN},
        {Dbl(nan), INT32_MIN},
        {Bool(true), -1},
        {Text("12"), -1},
        {Null(), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.variant.type);
        EXPECT_EQ(NPVariantToLong(c.variant), c.expected);
    }
}

TEST(ConverNPStringtoNULLEndString, CopiesExactlyTheGivenBytes) {
    struct Case {
        const char* chars;
        uint32_t length;
        const char* expected;
    } cases[] = {
        {"abcdef", 3, "abc"},
        {"abc", 3, "abc"},
        {"", 0, ""},
        {nullptr, 0, ""},
        {"a\0b", 3, "a"},
    };
    for (const Case& c : cases) {
        CharBuffer text;
        ASSERT_EQ(ConverNPStringtoNULLEndString(text, c.chars, c.length), VELA_OK);
        ASSERT_NE(text.get(), nullptr);
        EXPECT_STREQ(text.get(), c.expected);
    }
    CharBuffer text;
    EXPECT_EQ(ConverNPStringtoNULLEndString(text, nullptr, 5), E_POINTER);
    EXPECT_EQ(text.get(), nullptr);
    // A length whose terminator would not fit the 32-bit count is refused.
    EXPECT_EQ(ConverNPStringtoNULLEndString(text, "x", UINT32_MAX), E_OUTOFMEMORY);
}

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = g_NPNFuncs;
        g_NPNFuncs = browser.Functions();
    }
    void TearDown() override {
        g_NPNFuncs = saved;
        EXPECT_EQ(browser.OutstandingAllocations(), 0u);
    }
    CBrowser browser;
    NPNetscapeFuncs saved = {};
};

TEST_F(BridgeTest, PlacesTheTextInBrowserMemory) {
    for (const char* text : {"", "3.2.0.3", "\xE8\xAF\x81\xE4\xB9\xA6"}) {
        NPVariant v;
        VOID_TO_NPVARIANT(v);
        ASSERT_TRUE(ConvertStringToNPVariant(text, &v));
        ScriptResult r = browser.Collect(true, v);
        EXPECT_EQ(r.type, NPVariantType_String);
        EXPECT_EQ(r.text, text);
        EXPECT_EQ(browser.BadCalls(), 0u);
    }
}

TEST_F(BridgeTest, FailureLeavesTheVariantUnchanged) {
    NPVariant v = Int(42);
    EXPECT_FALSE(ConvertStringToNPVariant(nullptr, &v));
    EXPECT_EQ(v.type, NPVariantType_Int32);
    browser.FailAllocations(1);
    EXPECT_FALSE(ConvertStringToNPVariant("text", &v));
    EXPECT_EQ(v.type, NPVariantType_Int32);
    EXPECT_EQ(v.value.intValue, 42);
}

// The plug-in's internal objects as the browser meets them: the header
// pointer it gets back converts to the object and back again.
TEST_F(BridgeTest, ObjectsConvertBetweenHeaderAndObject) {
    NPObject* object = CBrowser::CreateObject(nullptr, GetScriptablePluginClass());
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->referenceCount, 1u);
    EXPECT_TRUE(browser.HasMethod(object, "VELA_GetVersion"));
    ScriptResult r = browser.Invoke(object, "VELA_GetVersion", {});
    EXPECT_EQ(r.text, "3.2.0.3");
    browser.Release(object);
    EXPECT_EQ(browser.LiveObjects(), 0u);
}

}  // namespace
