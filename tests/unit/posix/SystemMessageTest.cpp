// The system message texts of our platform layer for the statuses the
// system meets: English, with the line break the Windows table ends with.
#include <gtest/gtest.h>

#include "../TestText.h"

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

}  // namespace
