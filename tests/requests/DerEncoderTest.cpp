#include <gtest/gtest.h>

#include "ASN1Engine.h"
#include "PKCS10Request.h"
#include "TestBytes.h"

using testbytes::Bytes;
using testbytes::Hex;
using testbytes::ToBytes;
using testbytes::ToHex;

namespace {

TEST(ASN1Encode, WritesMinimalLengthOctets) {
    const struct {
        DWORD content;
        const char* header;
    } cases[] = {
        {1, "04 01"},          {127, "04 7F"},          {128, "04 81 80"},
        {255, "04 81 FF"},     {256, "04 82 01 00"},    {65535, "04 82 FF FF"},
        {65536, "04 83 01 00 00"}, {16777216, "04 84 01 00 00 00"},
    };
    for (const auto& c : cases) {
        Bytes content(c.content, 0xA5);
        ByteBuffer encoded;
        DWORD cb = 0;
        ASSERT_EQ(ASN1Encode(0x04, content.data(), c.content, encoded, cb), VELA_OK) << c.content;
        Bytes header = Hex(c.header);
        ASSERT_EQ(cb, header.size() + c.content);
        EXPECT_EQ(ToHex(encoded.get(), header.size()), ToHex(header));
        EXPECT_EQ(encoded[cb - 1], 0xA5);

        ByteBuffer octets;
        DWORD cbOctets = 0;
        ASSERT_EQ(CalculateASNValueLength(c.content, octets, cbOctets), VELA_OK);
        EXPECT_EQ(ToHex(octets.get(), cbOctets), ToHex(header.data() + 1, header.size() - 1));
    }
    ByteBuffer octets;
    DWORD cbOctets = 0;
    EXPECT_EQ(CalculateASNValueLength(0, octets, cbOctets), E_FAIL);
}

TEST(ASN1Encode, AcceptsOnlyItsTags) {
    const BYTE content[] = {0x01};
    for (int tag = 0; tag < 256; ++tag) {
        bool allowed = tag == 0x02 || tag == 0x04 || tag == 0x06 || tag == 0x0C || tag == 0x13 || tag == 0x16 ||
                       tag == 0x1E || tag == 0x30 || tag == 0x31 || tag == 0x80 || tag == 0xA0;
        ByteBuffer encoded;
        DWORD cb = 0;
        HRESULT hr = ASN1Encode((BYTE)tag, content, 1, encoded, cb);
        EXPECT_EQ(hr, allowed ? VELA_OK : E_FAIL) << tag;
        if (allowed) {
            EXPECT_EQ(ToHex(encoded.get(), cb), ToHex(Bytes{(BYTE)tag, 0x01, 0x01}));
        }
    }
    ByteBuffer encoded;
    DWORD cb = 0;
    EXPECT_EQ(ASN1Encode(0x30, content, 0, encoded, cb), E_FAIL);
    EXPECT_FALSE(encoded);
}

TEST(EncodeObjectIdentifier, EncodesArcsInBase128) {
    const struct {
        const char* oid;
        const char* content;
    } good[] = {
        {"1.2.840.113549.1.1.1", "2A 86 48 86 F7 0D 01 01 01"},
        {"1.2.840.10045.2.1", "2A 86 48 CE 3D 02 01"},
        {"1.2.156.10197.1.301", "2A 81 1C CF 55 01 82 2D"},
        {"1.2.156.10197.1.501", "2A 81 1C CF 55 01 83 75"},
        {"1.3.6.1.4.1.311.60.2.1.3", "2B 06 01 04 01 82 37 3C 02 01 03"},
        {"2.5.4.3", "55 04 03"},
        {"0.0", "00"},
        {"2.999.3", "88 37 03"},
        {"1.2.18446744073709551615", "2A 81 FF FF FF FF FF FF FF FF 7F"},
    };
    for (const auto& c : good) {
        ByteBuffer content;
        DWORD cb = 0;
        ASSERT_EQ(EncodeObjectIdentifier(c.oid, content, cb), VELA_OK) << c.oid;
        EXPECT_EQ(ToHex(content.get(), cb), ToHex(Hex(c.content))) << c.oid;
    }
    for (const char* bad : {"", "1", "3.1", "1.40", "1..2", "1.2.", ".1.2", "1.2a", "1.2.99999999999999999999",
                            " 1.2", "1.-2"}) {
        ByteBuffer content;
        DWORD cb = 0;
        EXPECT_EQ(EncodeObjectIdentifier(bad, content, cb), E_FAIL) << bad;
    }
}

TEST(ComposeSpecialAttribute, BuildsTheSetLessForms) {
    const struct {
        const char* oid;
        const char* value;  // nullptr: no value
        const char* expected;
    } cases[] = {
        {"1.2.840.113549.1.1.1", nullptr, "30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 05 00"},
        {"1.2.840.10045.2.1", "06 08 2A 81 1C CF 55 01 82 2D",
         "30 13 06 07 2A 86 48 CE 3D 02 01 06 08 2A 81 1C CF 55 01 82 2D"},
        {"1.2.840.113549.1.9.7", "13 06 35 32 30 39 31 33",
         "30 13 06 09 2A 86 48 86 F7 0D 01 09 07 13 06 35 32 30 39 31 33"},
        // A value with a non-minimal length comes out minimal.
        {"2.5.4.3", "0C 81 03 61 62 63", "30 0A 06 03 55 04 03 0C 03 61 62 63"},
    };
    for (const auto& c : cases) {
        Bytes value = c.value ? Hex(c.value) : Bytes();
        ByteBuffer encoded;
        DWORD cb = 0;
        ASSERT_EQ(ComposeSpecialAttribute(c.oid, c.value ? value.data() : nullptr, (DWORD)value.size(), encoded, cb),
                  VELA_OK)
            << c.oid;
        EXPECT_EQ(ToHex(encoded.get(), cb), ToHex(Hex(c.expected)));
    }
}

TEST(ComposeSpecialAttribute, RefusesWhatCannotBeEncoded) {
    const struct {
        const char* oid;
        const char* value;
    } cases[] = {
        {"2.5.4.3", "0C 00"},           // empty UTF8String
        {"2.5.4.3", "03 02 00 01"},     // BIT STRING is not re-encoded
        {"2.5.4.3", "05 00"},           // NULL
        {"2.5.4.3", "0C 05 61"},        // truncated value
        {"2.5.4.3", "0C"},              // no length
        {"", "0C 01 61"},               // empty OID (unknown attribute name)
        {"1.50", "0C 01 61"},           // invalid OID
    };
    for (const auto& c : cases) {
        Bytes value = Hex(c.value);
        ByteBuffer encoded;
        DWORD cb = 0;
        HRESULT hr = ComposeSpecialAttribute(c.oid, value.data(), (DWORD)value.size(), encoded, cb);
        EXPECT_LT(hr, 0) << c.oid << " " << c.value;
        EXPECT_FALSE(encoded);
    }
    ByteBuffer encoded;
    DWORD cb = 0;
    EXPECT_LT(ComposeSpecialAttribute("", nullptr, 0, encoded, cb), 0);
}

TEST(ComposeStandardAttribute, WrapsTheValueInASet) {
    Bytes value = Hex("13 06 35 32 30 39 31 33");
    ByteBuffer encoded;
    DWORD cb = 0;
    ASSERT_EQ(ComposeStandardAttribute("1.2.840.113549.1.9.7", value.data(), (DWORD)value.size(), encoded, cb),
              VELA_OK);
    EXPECT_EQ(ToHex(encoded.get(), cb), ToHex(Hex("30 15 06 09 2A 86 48 86 F7 0D 01 09 07 31 08 13 06 35 32 30 39 31 33")));
}

TEST(ComposeLeafStrings, EncodeEveryValueType) {
    const WCHAR chinese[] = {0x4E2D, 0x6587};           // two CJK characters
    const WCHAR emoji[] = {0xD83D, 0xDE00};             // U+1F600
    const WCHAR lone[] = {0x0041, 0xDC00, 0x0042};      // unpaired low surrogate
    const BYTE raw[] = {0x00, 0xFF, 0x41};
    const struct {
        DWORD type;
        const void* value;
        DWORD length;
        const char* expected;
    } cases[] = {
        {VELA_VALUE_OCTET_STRING, raw, 3, "04 03 00 FF 41"},
        {VELA_VALUE_PRINTABLE_STRING, "CN", 2, "13 02 43 4E"},
        {VELA_VALUE_IA5_STRING, "a@b", 3, "16 03 61 40 62"},
        {VELA_VALUE_UTF8_STRING, chinese, sizeof chinese, "0C 06 E4 B8 AD E6 96 87"},
        {VELA_VALUE_UTF8_STRING, emoji, sizeof emoji, "0C 04 F0 9F 98 80"},
        {VELA_VALUE_UTF8_STRING, lone, sizeof lone, "0C 05 41 EF BF BD 42"},
        {VELA_VALUE_UTF8_STRING, nullptr, 0, "0C 00"},
        {VELA_VALUE_OCTET_STRING, nullptr, 0, "04 00"},
    };
    for (const auto& c : cases) {
        ByteBuffer encoded;
        DWORD cb = 0;
        ASSERT_EQ(ComposeAnyString(c.length, c.type, static_cast<const BYTE*>(c.value), encoded, cb), VELA_OK)
            << c.expected;
        EXPECT_EQ(ToHex(encoded.get(), cb), ToHex(Hex(c.expected)));
    }
    ByteBuffer encoded;
    DWORD cb = 0;
    EXPECT_LT(ComposeAnyString(2, 5, raw, encoded, cb), 0);

    ASSERT_EQ(ComposeBITString(3, raw, encoded, cb), VELA_OK);
    EXPECT_EQ(ToHex(encoded.get(), cb), "03 04 00 00 FF 41");
    ASSERT_EQ(ComposeBITString(0, nullptr, encoded, cb), VELA_OK);
    EXPECT_EQ(ToHex(encoded.get(), cb), "03 01 00");
    Bytes big(300, 0x11);
    ASSERT_EQ(ComposeBITString(300, big.data(), encoded, cb), VELA_OK);
    EXPECT_EQ(ToHex(encoded.get(), 5), "03 82 01 2D 00");
}

// The value of a DER INTEGER's content, most significant byte first, with
// the minimal-form rule checked on the way.
Bytes IntegerMagnitude(const ASN1Node* node) {
    EXPECT_EQ(node->bTag, 0x02);
    const BYTE* p = node->Content();
    DWORD n = node->dwLength;
    EXPECT_GE(n, 1u);
    EXPECT_LT(p[0], 0x80) << "negative INTEGER";
    if (n > 1) {
        EXPECT_FALSE(p[0] == 0x00 && p[1] < 0x80) << "non-minimal INTEGER";
    }
    Bytes value(p, p + n);
    while (value.size() > 1 && value[0] == 0) value.erase(value.begin());
    return value;
}

Bytes Trimmed(const BYTE* p, size_t n) {
    Bytes value(p, p + n);
    while (value.size() > 1 && value[0] == 0) value.erase(value.begin());
    return value;
}

TEST(SM2EncodeRawSignature, EmitsMinimalIntegers) {
    const struct {
        const char* name;
        BYTE r0, r1, s0, s1;
        size_t total;
        const char* prefix;
    } cases[] = {
        {"both below 0x80", 0x12, 0x34, 0x56, 0x78, 70, "30 44 02 20 12 34"},
        {"r high", 0x80, 0x01, 0x12, 0x00, 71, "30 45 02 21 00 80 01"},
        {"both high", 0xFF, 0x00, 0x90, 0x00, 72, "30 46 02 21 00 FF"},
        {"r high, s 00 then high", 0x80, 0x00, 0x00, 0x90, 71, "30 45 02 21 00 80"},
        {"r 00 then low", 0x00, 0x12, 0x40, 0x00, 69, "30 43 02 1F 12"},
        {"s 00 then low", 0x40, 0x00, 0x00, 0x7F, 69, "30 43 02 20 40"},
        {"r 00 00 then high", 0x00, 0x00, 0x40, 0x00, 69, "30 43 02 1F 00"},
        {"both 00 then low", 0x00, 0x01, 0x00, 0x02, 68, "30 42 02 1F 01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes raw(64);
        for (int i = 0; i < 64; ++i) raw[i] = (BYTE)(0x21 + i);
        raw[0] = c.r0, raw[1] = c.r1, raw[32] = c.s0, raw[33] = c.s1;
        if (std::string(c.name) == "r 00 00 then high") raw[2] = 0x90;
        ByteBuffer der;
        DWORD cb = 0;
        ASSERT_EQ(SM2EncodeRawSignature(der, cb, raw.data(), 64), VELA_OK);
        EXPECT_EQ(cb, c.total);
        Bytes prefix = Hex(c.prefix);
        EXPECT_EQ(ToHex(der.get(), prefix.size()), ToHex(prefix));
        ASN1NodePtr root;
        ASSERT_EQ(DecodeASN1Memory(root, der.get(), cb), 0);
        ASSERT_EQ(root->ChildCount(), 2u);
        EXPECT_EQ(root->dwTotalLength, cb);
        EXPECT_EQ(IntegerMagnitude(root->Child(0)), Trimmed(raw.data(), 32));
        EXPECT_EQ(IntegerMagnitude(root->Child(1)), Trimmed(raw.data() + 32, 32));
    }
    Bytes zero(64, 0);
    ByteBuffer der;
    DWORD cb = 0;
    ASSERT_EQ(SM2EncodeRawSignature(der, cb, zero.data(), 64), VELA_OK);
    EXPECT_EQ(ToHex(der.get(), cb), "30 06 02 01 00 02 01 00");
    for (DWORD bad : {0u, 63u, 65u, 128u}) {
        Bytes raw(bad + 1, 1);
        ByteBuffer out;
        EXPECT_EQ(SM2EncodeRawSignature(out, cb, raw.data(), bad), (HRESULT)0x8007000D) << bad;
        EXPECT_FALSE(out);
    }
}

}  // namespace
