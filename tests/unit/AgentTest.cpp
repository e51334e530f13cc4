#include <gtest/gtest.h>

#include "CryptoAgent.h"
#include "TestPlatform.h"
#include "TestText.h"

namespace {

struct CspCase {
    LONG keyLength;
    const char* name;
    HRESULT expected;
    const char* stored;  // expected stored name when the call succeeds
};

TEST(AgentSetCSPInfo, KeyLengthRulesAndNameHandling) {
    const CspCase cases[] = {
        {2048, "Microsoft Base Cryptographic Provider v1.0", VELA_E_KEY_LENGTH_NOT_SUPPORTED, nullptr},
        {1024, "Microsoft Base Cryptographic Provider v1.0", VELA_OK, "Microsoft Base Cryptographic Provider v1.0"},
        {512, "Microsoft Base Cryptographic Provider v1.0", VELA_OK, "Microsoft Base Cryptographic Provider v1.0"},
        {2048, "Microsoft Enhanced Cryptographic Provider v1.0", VELA_OK,
         "Microsoft Enhanced Cryptographic Provider v1.0"},
        {4096, "Microsoft Enhanced RSA and AES Cryptographic Provider", VELA_OK,
         "Microsoft Enhanced RSA and AES Cryptographic Provider"},
        {3072, "Microsoft Enhanced Cryptographic Provider v1.0", VELA_E_KEY_LENGTH_NOT_SUPPORTED, nullptr},
        {0, "Microsoft Strong Cryptographic Provider", VELA_E_KEY_LENGTH_NOT_SUPPORTED, nullptr},
        {3072, "Tessera RSA Software CSP", VELA_OK, "Tessera RSA Software CSP"},
        {-7, "Tessera SM2 Software CSP", VELA_OK, "Tessera SM2 Software CSP"},
        {1024, "  Padded CSP  ", VELA_OK, "Padded CSP"},
        {1024, "\tTabbed CSP ", VELA_OK, "\tTabbed CSP"},
        {1024, "   ", E_INVALIDARG, nullptr},
        {1024, "", E_INVALIDARG, nullptr},
        {1024, "A &amp; B &amp; C", VELA_OK, "A & B &amp; C"},
        // "base" in lower case is not the Base provider's marker
        {2048, "Microsoft base-like Provider", VELA_OK, "Microsoft base-like Provider"},
    };
    for (const CspCase& c : cases) {
        CCryptoAgent agent;
        Bstr name(c.name);
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(agent.VELA_SetCSPInfo(c.keyLength, name, &ok), c.expected) << c.name << " " << c.keyLength;
        EXPECT_EQ(agent.LastError(), c.expected);
        if (c.expected == VELA_OK) {
            EXPECT_EQ(ok, VARIANT_TRUE);
            EXPECT_EQ(Utf8(agent.CSPName().c_str()), c.stored);
            EXPECT_EQ(agent.KeyLength(), c.keyLength);
        } else {
            EXPECT_EQ(ok, VARIANT_FALSE);
            EXPECT_TRUE(agent.CSPName().empty());
            EXPECT_EQ(agent.KeyLength(), 0);
        }
    }
}

TEST(AgentSetCSPInfo, FailureKeepsEarlierSettings) {
    CCryptoAgent agent;
    Bstr good("Microsoft Enhanced Cryptographic Provider v1.0"), bad("Microsoft Base Cryptographic Provider v1.0");
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(agent.VELA_SetCSPInfo(2048, good, &ok), VELA_OK);
    EXPECT_EQ(agent.VELA_SetCSPInfo(2048, bad, &ok), VELA_E_KEY_LENGTH_NOT_SUPPORTED);
    EXPECT_EQ(Utf8(agent.CSPName().c_str()), "Microsoft Enhanced Cryptographic Provider v1.0");
    EXPECT_EQ(agent.KeyLength(), 2048);
    EXPECT_EQ(agent.VELA_SetCSPInfo(1024, nullptr, &ok), E_INVALIDARG);
}

TEST(AgentSetKeyAlgorithm, AcceptsRsaAndSm2InAnyCase) {
    struct Case {
        const char* input;
        HRESULT expected;
        const char* stored;
    } cases[] = {
        {"RSA", VELA_OK, "RSA"},       {"rsa", VELA_OK, "rsa"},   {"Sm2", VELA_OK, "Sm2"},
        {"  SM2 ", VELA_OK, "SM2"},    {"", E_INVALIDARG, ""},    {"   ", VELA_E_INVALID_KEY_ALGORITHM, ""},
        {"DSA", VELA_E_INVALID_KEY_ALGORITHM, ""}, {"RSA2", VELA_E_INVALID_KEY_ALGORITHM, ""},
        {"\tRSA", VELA_E_INVALID_KEY_ALGORITHM, ""},
    };
    for (const Case& c : cases) {
        CCryptoAgent agent;
        Bstr algorithm(c.input);
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(agent.VELA_SetKeyAlgorithm(algorithm, &ok), c.expected) << c.input;
        EXPECT_EQ(agent.LastError(), c.expected);
        EXPECT_EQ(Utf8(agent.KeyAlgorithm().c_str()), c.stored);
        EXPECT_EQ(ok, c.expected == VELA_OK ? VARIANT_TRUE : VARIANT_FALSE);
    }
    CCryptoAgent agent;
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(agent.VELA_SetKeyAlgorithm(nullptr, &ok), E_INVALIDARG);
}

TEST(AgentState, ContainerVersionAndLastErrorRecording) {
    CCryptoAgent agent;
    Bstr bad("DSA");
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(agent.VELA_SetKeyAlgorithm(bad, &ok), VELA_E_INVALID_KEY_ALGORITHM);

    Bstr version;
    EXPECT_EQ(agent.VELA_GetVersion(&version), VELA_OK);
    EXPECT_EQ(version.value, nullptr);
    EXPECT_EQ(agent.LastError(), VELA_E_INVALID_KEY_ALGORITHM);  // version leaves it alone

    Bstr first, second;
    EXPECT_EQ(agent.GetLastErrorDesc(&first), VELA_OK);
    EXPECT_EQ(agent.GetLastErrorDesc(&second), VELA_OK);
    EXPECT_EQ(Utf8(first), Utf8(second));

    Bstr container;
    EXPECT_EQ(agent.VELA_GetContainer(&container), VELA_OK);
    ASSERT_NE(container.value, nullptr);
    EXPECT_EQ(Utf8(container), "");
    EXPECT_EQ(agent.LastError(), VELA_OK);  // the container query records success
}

TEST(AgentErrorText, DescribesOwnAndPlatformStatuses) {
    testsupport::SetUserInterfaceLanguage(1033);
    CCryptoAgent agent;
    Bstr name("Microsoft Base Cryptographic Provider v1.0");
    VARIANT_BOOL ok = VARIANT_FALSE;
    agent.VELA_SetCSPInfo(4096, name, &ok);
    Bstr text;
    agent.GetLastErrorDesc(&text);
    EXPECT_EQ(Utf8(text), "Key length is not supported.\n(0xa0072400)");

    agent.VELA_SetCSPInfo(4096, nullptr, &ok);
    Bstr platform;
    agent.GetLastErrorDesc(&platform);
    std::string s = Utf8(platform);
    ASSERT_GT(s.size(), 13u) << s;  // the system's text for invalid parameters, then the status
    EXPECT_EQ(s.substr(s.size() - 13), "\n(0x80070057)");
}

}  // namespace
