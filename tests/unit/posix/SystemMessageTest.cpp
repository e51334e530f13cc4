// The system message texts of our platform layer for the statuses the
// system meets, with the line break the Windows table ends with: English, or
// Chinese when the user's language (or the language asked for) is Chinese.
#include <gtest/gtest.h>

#include "../TestText.h"
#include "TestPlatform.h"

namespace {

TEST(SystemMessages, EnglishTextsForCommonStatuses) {
    struct Case {
        DWORD code;
        const char* text;
    } cases[] = {
        {0x80070057, "The parameter is incorrect.\r\n"},
        {87, "The parameter is incorrect.\r\n"},
        {0x80090016, "Keyset does not exist\r\n"},
        {0x8009000F, "Object already exists.\r\n"},
        {0x80090005, "Bad Data.\r\n"},
        {0x80090006, "Invalid Signature.\r\n"},
        {0x8009000D, "Key does not exist.\r\n"},
        {0x80092004, "Cannot find object or property.\r\n"},
        {0x8009002D, "An internal consistency check failed.\r\n"},
    };
    for (const Case& c : cases) {
        WCHAR buffer[512] = {};
        DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, c.code, 0, buffer, 511, nullptr);
        EXPECT_EQ(Utf8(buffer), c.text) << std::hex << c.code;
        EXPECT_EQ(n, std::string(c.text).size());
    }
    WCHAR buffer[16] = {};
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x80091234, 0, buffer, 16, nullptr), 0u);
}

TEST(SystemMessages, LanguageFollowsTheUserOrTheRequest) {
    struct Case {
        LANGID user;
        DWORD asked;
        DWORD code;
        const char* text;
    } cases[] = {
        {2052, 0, 0x80090005, "数据错误。\r\n"},
        {2052, 0, 0x80090019, "未定义密钥集。\r\n"},
        {2052, 0, 87, "参数错误。\r\n"},
        {2052, 1033, 0x80090005, "Bad Data.\r\n"},
        {1033, 2052, 0x80090019, "未定义密钥集。\r\n"},
        {1033, 0x0404, 0x80090005, "数据错误。\r\n"},
        {1033, 0, 0x80090019, "The keyset is not defined.\r\n"},
    };
    for (const Case& c : cases) {
        testsupport::SetUserInterfaceLanguage(c.user);
        WCHAR buffer[512] = {};
        DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, c.code, c.asked, buffer, 511, nullptr);
        EXPECT_EQ(Utf8(buffer), c.text) << std::hex << c.code << " user " << c.user << " asked " << c.asked;
        EXPECT_EQ(n, std::u16string(buffer).size());
    }
    testsupport::UnsetEnvironment("LC_ALL");
}

}  // namespace
