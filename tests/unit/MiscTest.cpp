#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestPlatform.h"
#include "TestText.h"
#include "VelaFormat.h"

namespace {

std::string Encode(const std::vector<BYTE>& data) {
    CharBuffer text;
    DWORD length = 99;
    EXPECT_EQ(Base64EncodeEx((DWORD)data.size(), text, data.data(), length), VELA_OK);
    return std::string(text.get(), length);
}

std::vector<BYTE> Decode(const std::string& text, HRESULT expected = VELA_OK) {
    ByteBuffer data;
    DWORD length = 0;
    EXPECT_EQ(Base64DecodeEx((int)text.size(), data, text.c_str(), length), expected) << text;
    return expected == VELA_OK ? std::vector<BYTE>(data.get(), data.get() + length) : std::vector<BYTE>();
}

std::vector<BYTE> Bytes(size_t n) {
    std::vector<BYTE> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = BYTE(i * 7 + 3);
    return v;
}

TEST(Base64, LineLayout) {
    struct Case {
        size_t input;
        size_t length;
        std::vector<size_t> crlfAt;
    } cases[] = {
        {0, 0, {}}, {1, 4, {}}, {2, 4, {}}, {3, 4, {}}, {56, 76, {}}, {57, 78, {76}},
        {58, 82, {76}}, {114, 156, {76, 154}}, {115, 160, {76, 154}},
    };
    for (const Case& c : cases) {
        std::string text = Encode(Bytes(c.input));
        EXPECT_EQ(text.size(), c.length) << c.input;
        std::vector<size_t> crlf;
        for (size_t i = 0; i + 1 < text.size(); ++i)
            if (text[i] == '\r' && text[i + 1] == '\n') crlf.push_back(i);
        EXPECT_EQ(crlf, c.crlfAt) << c.input;
    }
    EXPECT_EQ(Encode({'M'}), "TQ==");
    EXPECT_EQ(Encode({'M', 'a'}), "TWE=");
    EXPECT_EQ(Encode({'M', 'a', 'n'}), "TWFu");
    std::string tail = Encode(Bytes(58));
    EXPECT_EQ(tail.substr(tail.size() - 2), "==");
}

TEST(Base64, DecodingToleratesNoiseAndMissingPadding) {
    struct Case {
        const char* text;
        std::vector<BYTE> bytes;
    } cases[] = {
        {"TWFu", {'M', 'a', 'n'}},
        {"TQ==", {'M'}},
        {"TQ", {'M'}},
        {"TWE", {'M', 'a'}},
        {"T\r\nW F\tu", {'M', 'a', 'n'}},
        {"T", {}},
        {"=TW=Fu=", {'M', 'a', 'n'}},
        {"TWFu,TWFu", {'M', 'a', 'n', 'M', 'a', 'n'}},
    };
    for (const Case& c : cases) EXPECT_EQ(Decode(c.text), c.bytes) << c.text;
    Decode("", E_FAIL);
    ByteBuffer data;
    DWORD length = 0;
    EXPECT_EQ(Base64DecodeEx(-3, data, "TWFu", length), E_FAIL);
}

TEST(Base64, StopsAtNulWhereAGroupWouldBegin) {
    const char text[] = "TWFu\0TWFu";
    ByteBuffer data;
    DWORD length = 0;
    ASSERT_EQ(Base64DecodeEx((int)sizeof text - 1, data, text, length), VELA_OK);
    EXPECT_EQ(length, 3u);
}

TEST(Base64, RoundTripsEveryLength) {
    for (size_t n = 0; n < 300; ++n) EXPECT_EQ(Decode(Encode(Bytes(n)) + " "), Bytes(n)) << n;
}

TEST(HexText, ReversedByteOrderBothWays) {
    const BYTE bytes[] = {0x01, 0xAB, 0x10};
    WString hex;
    ASSERT_EQ(ConvertBinaryDataToString(3, hex, bytes), VELA_OK);
    EXPECT_EQ(Utf8(hex.c_str()), "10ab01");

    struct Case {
        const char* text;
        HRESULT status;
        std::vector<BYTE> bytes;
    } cases[] = {
        {"10ab01", VELA_OK, {0x01, 0xAB, 0x10}},
        {"0a1B", VELA_OK, {0x1B, 0x0A}},
        {"12345", VELA_OK, {0x34, 0x12}},
        {"", VELA_OK, {}},
        {"8A01", VELA_OK, {0x01, 0x8A}},
        {"12g4", E_INVALIDARG, {}},
        {"12 4", E_INVALIDARG, {}},
        {"-1", E_INVALIDARG, {}},
    };
    for (const Case& c : cases) {
        DWORD length = 77;
        ByteBuffer data;
        WString text = Wide(c.text);
        ASSERT_EQ(ConvertStringToBinaryData(length, text.c_str(), data), c.status) << c.text;
        if (c.status != VELA_OK) continue;
        ASSERT_EQ(length, c.bytes.size());
        EXPECT_EQ(std::vector<BYTE>(data.get(), data.get() + length), c.bytes) << c.text;
        for (int i = 0; i < 4; ++i) EXPECT_EQ(data[length + i], 0) << "zero tail";
    }
    DWORD length = 0;
    ByteBuffer data;
    EXPECT_EQ(ConvertStringToBinaryData(length, nullptr, data), E_INVALIDARG);
}

TEST(HexText, RoundTripUpToLetterCase) {
    DWORD length = 0;
    ByteBuffer data;
    WString in = Wide("0a1B");
    ASSERT_EQ(ConvertStringToBinaryData(length, in.c_str(), data), VELA_OK);
    WString out;
    ASSERT_EQ(ConvertBinaryDataToString(length, out, data.get()), VELA_OK);
    EXPECT_EQ(Utf8(out.c_str()), "0a1b");
}

TEST(SplitStrings, StopsAtTheFirstEmptyItem) {
    struct Case {
        const char* text;
        std::vector<std::string> items;
    } cases[] = {
        {"a||b", {"a", "b"}}, {"a||", {"a"}},  {"a||||b", {"a"}}, {"||a", {}}, {"", {}},
        {"a|b", {"a|b"}},     {"a|||b", {"a", "|b"}}, {"one", {"one"}},
    };
    for (const Case& c : cases) {
        std::vector<WString> list;
        SplitStrings(Wide(c.text).c_str(), list);
        std::vector<std::string> got;
        for (const WString& s : list) got.push_back(Utf8(s.c_str()));
        EXPECT_EQ(got, c.items) << c.text;
    }
    std::vector<WString> list;
    SplitStrings(nullptr, list);
    EXPECT_TRUE(list.empty());
}

TEST(Utf, ConversionsAndAbsentInput) {
    CharBuffer narrow;
    WideBuffer wide;
    DWORD length = 5;
    EXPECT_EQ(UTF8ToUTF16(nullptr, wide, length), E_POINTER);
    EXPECT_EQ(UTF16ToUTF8(nullptr, narrow, length), E_POINTER);
    ASSERT_EQ(UTF8ToUTF16("", wide, length), VELA_OK);
    EXPECT_EQ(length, 0u);
    ASSERT_NE(wide.get(), nullptr);
    EXPECT_EQ(wide[0], 0);
    ASSERT_EQ(UTF8ToUTF16("\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x94\x91", wide, length), VELA_OK);
    EXPECT_EQ(length, 5u);  // two CJK characters, a space, one surrogate pair
    ASSERT_EQ(UTF16ToUTF8(wide.get(), narrow, length), VELA_OK);
    EXPECT_EQ(std::string(narrow.get(), length), "\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x94\x91");
    // Malformed input is replaced, not refused.
    EXPECT_EQ(UTF8ToUTF16("a\xFF" "b", wide, length), VELA_OK);
}

TEST(Guid, RegistryFormAndUniqueness) {
    WString a, b;
    ASSERT_EQ(CreateGUIDStr(a), VELA_OK);
    ASSERT_EQ(CreateGUIDStr(b), VELA_OK);
    ASSERT_EQ(a.size(), 38u);
    EXPECT_NE(a, b);
    std::string s = Utf8(a.c_str());
    EXPECT_EQ(s.front(), '{');
    EXPECT_EQ(s.back(), '}');
    for (size_t i : {9u, 14u, 19u, 24u}) EXPECT_EQ(s[i], '-');
    for (char c : s) EXPECT_FALSE(c >= 'a' && c <= 'f') << s;
}

TEST(TempFile, DumpWritesTheDataUnderAGuidName) {
    const BYTE data[] = {0x30, 0x03, 0x02, 0x01, 0x05};
    WString path;
    DumpDatatoTempFile(path, data, sizeof data);
    ASSERT_FALSE(path.empty());
    WString dir;
    ASSERT_EQ(GetTempDirPath(dir), VELA_OK);
    EXPECT_EQ(path.compare(0, dir.size(), dir), 0);
    EXPECT_EQ(path.size(), dir.size() + 38 + 5);
    EXPECT_EQ(Utf8(path.c_str() + path.size() - 5), ".VELA");
    std::vector<unsigned char> back;
    ASSERT_TRUE(testsupport::ReadFile(testsupport::NarrowPath(path.c_str()), back));
    EXPECT_EQ(back, std::vector<unsigned char>(data, data + sizeof data));
    DeleteFileW(path.c_str());
}

TEST(ByteOrder, SwapsInPlace) {
    std::vector<BYTE> v = {1, 2, 3, 4, 5};
    SwapByteOrder(v.data(), 5);
    EXPECT_EQ(v, (std::vector<BYTE>{5, 4, 3, 2, 1}));
    SwapByteOrder(v.data(), 4);
    EXPECT_EQ(v, (std::vector<BYTE>{2, 3, 4, 5, 1}));
    SwapByteOrder(v.data(), 0);
}

TEST(WideFormat, ConversionsMatchTheTraceFormats) {
    WCHAR out[64];
    FormatWide(out, 64, TEXT("%ws|%s|%d|%08x|%02x|%04d|%u|%X"), TEXT("w"), "n", -12, 0xABCu, 5u, 7, 4000000000u, 255u);
    EXPECT_EQ(Utf8(out), "w|n|-12|00000abc|05|0007|4000000000|FF");
    FormatWide(out, 5, TEXT("%ws"), TEXT("truncated"));
    EXPECT_EQ(Utf8(out), "trun");
    FormatWide(out, 64, TEXT("%ws %s"), (const WCHAR*)nullptr, (const char*)nullptr);
    EXPECT_EQ(Utf8(out), "(null) (null)");
}

}  // namespace
