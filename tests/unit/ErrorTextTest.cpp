#include <gtest/gtest.h>

#include "TestPlatform.h"
#include "TestText.h"
#include "VelaStatus.h"

namespace {

struct TextRow {
    HRESULT status;
    const char* english;
    const char* chinese;
};

#define VELA_ERROR_TEXT(id, name, en, zh) {name, en, zh},
const TextRow kRows[] = {
#include "ErrorText.def"
};
#undef VELA_ERROR_TEXT

HINSTANCE Module() { return GetModuleHandleW(nullptr); }

std::string Describe(HRESULT status) {
    BSTR text = BuildErrorDescription(Module(), status);
    std::string s = Utf8(text);
    SysFreeString(text);
    return s;
}

std::string Suffix(HRESULT status) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "\n(0x%08x)", (unsigned)status);
    return buffer;
}

TEST(ErrorText, EveryOwnStatusInEnglishAndChinese) {
    ASSERT_EQ(sizeof kRows / sizeof kRows[0], 32u);
    testsupport::SetUserInterfaceLanguage(1033);
    for (const TextRow& row : kRows) EXPECT_EQ(Describe(row.status), row.english + Suffix(row.status));
    testsupport::SetUserInterfaceLanguage(2052);
    for (const TextRow& row : kRows) EXPECT_EQ(Describe(row.status), row.chinese + Suffix(row.status));
    EXPECT_EQ(Describe(VELA_E_INVALID_KEY_ALGORITHM), "无效的密钥算法\n(0xa0072401)");
    testsupport::SetUserInterfaceLanguage(1033);
}

TEST(ErrorText, StatusesWithoutTextGiveOnlyTheSuffix) {
    testsupport::SetUserInterfaceLanguage(1033);
    EXPECT_EQ(Describe(VELA_E_JSON_PARAM_TYPE), "\n(0xa0073204)");
    EXPECT_EQ(Describe(VELA_E_JSON_CREATE), "\n(0xa0073202)");
    // Application-defined result values carry the customer bit too.
    EXPECT_EQ(Describe(VELA_R_ASN1_DECODE), "ASN1 decode failed.\n(0x20001041)");
}

TEST(ErrorText, PlatformStatusesUseTheSystemMessage) {
    // Every system has texts for these; the wording is the system's own.
    const HRESULT common[] = {E_INVALIDARG, E_OUTOFMEMORY, E_ACCESSDENIED};
    for (HRESULT status : common) {
        std::string text = Describe(status);
        ASSERT_GT(text.size(), Suffix(status).size()) << std::hex << status;
        EXPECT_EQ(text.substr(text.size() - Suffix(status).size()), Suffix(status));
    }
    // Whether a text exists or not, the suffix identifies the status.
    const HRESULT crypto[] = {NTE_BAD_KEYSET, NTE_EXISTS, NTE_BAD_DATA, NTE_BAD_SIGNATURE, CRYPT_E_NOT_FOUND};
    for (HRESULT status : crypto) {
        std::string text = Describe(status);
        ASSERT_GE(text.size(), Suffix(status).size());
        EXPECT_EQ(text.substr(text.size() - Suffix(status).size()), Suffix(status));
    }
}

TEST(ErrorText, SuffixAlwaysFitsTheBuffer) {
    struct Case {
        size_t textLength;
        size_t expectedKept;
    } cases[] = {{0, 0}, {10, 10}, {498, 498}, {499, 498}, {511, 498}};
    for (const Case& c : cases) {
        WCHAR buffer[512];
        for (size_t i = 0; i < c.textLength; ++i) buffer[i] = TEXT('x');
        buffer[c.textLength] = 0;
        AppendStatusSuffix(buffer, 512, E_FAIL);
        std::string s = Utf8(buffer);
        ASSERT_LE(s.size(), 511u);
        EXPECT_EQ(s, std::string(c.expectedKept, 'x') + "\n(0x80004005)") << c.textLength;
    }
}

}  // namespace
