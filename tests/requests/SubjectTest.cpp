#include <gtest/gtest.h>

#include "ASN1Engine.h"
#include "PKCS10Request.h"
#include "TestBytes.h"

using testbytes::Bytes;
using testbytes::Hex;
using testbytes::ToHex;
using testbytes::W;

namespace {

struct Rdn {
    std::string oidHex;  // content of the OID element
    BYTE valueTag;
    std::string value;   // content bytes of the value
};

// Reads a Name back through the decoder: one attribute per RDN SET.
std::vector<Rdn> ReadName(const ByteBuffer& name, DWORD cb) {
    std::vector<Rdn> rdns;
    ASN1NodePtr root;
    EXPECT_EQ(DecodeASN1Memory(root, name.get(), cb), 0);
    if (!root) return rdns;
    EXPECT_EQ(root->bTag, 0x30);
    EXPECT_EQ(root->dwTotalLength, cb);
    for (const ASN1Node* set : root->Children()) {
        EXPECT_EQ(set->bTag, 0x31);
        EXPECT_EQ(set->ChildCount(), 1u);
        const ASN1Node* attribute = set->Child(0);
        EXPECT_EQ(attribute->ChildCount(), 2u);
        const ASN1Node* oid = attribute->Child(0);
        const ASN1Node* value = attribute->Child(1);
        EXPECT_EQ(oid->bTag, 0x06);
        rdns.push_back({ToHex(oid->Content(), oid->dwLength), value->bTag,
                        std::string(reinterpret_cast<const char*>(value->Content()), value->dwLength)});
    }
    return rdns;
}

TEST(ComposeSubject, EncodesTheExampleByteForByte) {
    ByteBuffer name;
    DWORD cb = 0;
    ASSERT_EQ(ComposeSubject(TEXT("CN=test,C=CN"), name, cb), VELA_OK);
    EXPECT_EQ(ToHex(name.get(), cb),
              ToHex(Hex("30 1C 31 0B 30 09 06 03 55 04 06 13 02 43 4E 31 0D 30 0B 06 03 55 04 03 0C 04 74 65 73 74")));
}

// Every attribute name of the syntax, in several letter cases, with the
// OID and the string type it must produce.
TEST(ComposeSubject, MapsEveryAttributeName) {
    const struct {
        const char* name;
        const char* oidHex;
        BYTE tag;
    } names[] = {
        {"CN", "55 04 03", 0x0C},
        {"cn", "55 04 03", 0x0C},
        {"Cn", "55 04 03", 0x0C},
        {"SERIALNUMBER", "55 04 05", 0x13},
        {"serialNumber", "55 04 05", 0x13},
        {"C", "55 04 06", 0x13},
        {"L", "55 04 07", 0x0C},
        {"S", "55 04 08", 0x0C},
        {"ST", "55 04 08", 0x0C},
        {"STREET", "55 04 09", 0x0C},
        {"O", "55 04 0A", 0x0C},
        {"OU", "55 04 0B", 0x0C},
        {"businessCategory", "55 04 0F", 0x0C},
        {"BUSINESSCATEGORY", "55 04 0F", 0x0C},
        {"PostalCode", "55 04 11", 0x0C},
        {"E", "2A 86 48 86 F7 0D 01 09 01", 0x16},
        {"e", "2A 86 48 86 F7 0D 01 09 01", 0x16},
        {"Email", "2A 86 48 86 F7 0D 01 09 01", 0x16},
        {"EMAIL", "2A 86 48 86 F7 0D 01 09 01", 0x16},
        {"jurisdictionOfIncorporationLocalityName", "2B 06 01 04 01 82 37 3C 02 01 01", 0x0C},
        {"jurisdictionOfIncorporationStateOrProvinceName", "2B 06 01 04 01 82 37 3C 02 01 02", 0x0C},
        {"jurisdictionOfIncorporationCountryName", "2B 06 01 04 01 82 37 3C 02 01 03", 0x13},
    };
    for (const auto& n : names) {
        WString subject = W(n.name) + TEXT("=v1");
        ByteBuffer name;
        DWORD cb = 0;
        ASSERT_EQ(ComposeSubject(subject.c_str(), name, cb), VELA_OK) << n.name;
        std::vector<Rdn> rdns = ReadName(name, cb);
        ASSERT_EQ(rdns.size(), 1u);
        EXPECT_EQ(rdns[0].oidHex, ToHex(Hex(n.oidHex))) << n.name;
        EXPECT_EQ(rdns[0].valueTag, n.tag) << n.name;
        EXPECT_EQ(rdns[0].value, "v1");
    }
}

TEST(ComposeSubject, ReversesTheOrderAndKeepsValuesAsWritten) {
    const struct {
        const char* subject;
        std::vector<std::pair<BYTE, std::string>> rdns;  // value tag and bytes, in DER order
    } cases[] = {
        {"CN=a,O=b,C=CN", {{0x13, "CN"}, {0x0C, "b"}, {0x0C, "a"}}},
        {"CN=a, O=b", {{0x0C, "b"}, {0x0C, "a"}}},
        {" C N = a", {{0x0C, " a"}}},
        {"CN=a+b", {{0x0C, "a+b"}}},
        {"CN=a ", {{0x0C, "a "}}},
        {"CN=\xE5\xBC\xA0\xE4\xB8\x89,O=\xE4\xB8\xAD\xE5\x9B\xBD\xE9\x93\xB6\xE8\xA1\x8C",
         {{0x0C, "\xE4\xB8\xAD\xE5\x9B\xBD\xE9\x93\xB6\xE8\xA1\x8C"}, {0x0C, "\xE5\xBC\xA0\xE4\xB8\x89"}}},
        // Country and serial number take every PrintableString character,
        // e-mail every IA5String (ASCII) character.
        {"C=CN,SERIALNUMBER=Az09 '()+-./:?,E=a_b~!#\x7F@x",
         {{0x16, "a_b~!#\x7F@x"}, {0x13, "Az09 '()+-./:?"}, {0x13, "CN"}}},
    };
    for (const auto& c : cases) {
        ByteBuffer name;
        DWORD cb = 0;
        ASSERT_EQ(ComposeSubject(W(c.subject).c_str(), name, cb), VELA_OK) << c.subject;
        std::vector<Rdn> rdns = ReadName(name, cb);
        ASSERT_EQ(rdns.size(), c.rdns.size()) << c.subject;
        for (size_t i = 0; i < rdns.size(); ++i) {
            EXPECT_EQ(rdns[i].valueTag, c.rdns[i].first) << c.subject;
            EXPECT_EQ(rdns[i].value, c.rdns[i].second) << c.subject;
        }
    }
}

TEST(ComposeSubject, RefusesMalformedText) {
    const struct {
        const WCHAR* subject;
        HRESULT status;  // 0: any failure
    } cases[] = {
        {TEXT("CN=a=b"), NTE_BAD_DATA},  {TEXT("CN=a,"), NTE_BAD_DATA},   {TEXT("CN=a,,O=b"), NTE_BAD_DATA},
        {TEXT(",CN=a"), NTE_BAD_DATA},   {TEXT("CN"), NTE_BAD_DATA},      {TEXT("CN=a+OU=b"), NTE_BAD_DATA},
        {TEXT(""), E_FAIL},              {nullptr, E_FAIL},               {TEXT("CN="), E_FAIL},
        {TEXT("C="), E_FAIL},            {TEXT("X=1"), 0},                {TEXT("\tCN=a"), 0},
        {TEXT("CN=a,Title=b"), 0},
    };
    for (const auto& c : cases) {
        ByteBuffer name;
        DWORD cb = 0;
        HRESULT hr = ComposeSubject(c.subject, name, cb);
        if (c.status) {
            EXPECT_EQ(hr, c.status);
        } else {
            EXPECT_LT(hr, 0);
        }
        EXPECT_FALSE(name);
    }
}

// A value outside its string type's character set is refused, not
// encoded as a string of that type.
TEST(ComposeSubject, RefusesValuesOutsideTheirStringType) {
    for (const char* subject : {
             "C=\xE4\xB8\xAD\xE5\x9B\xBD", "C=C*", "SERIALNUMBER=a_b@c", "SERIALNUMBER=\xC3\xA9",
             "jurisdictionOfIncorporationCountryName=C&N", "E=\xC3\xBC@x", "C=C*,CN=ok",
             "E=a\xEF\xBF\xBD@x,CN=\xE5\xBC\xA0\xE4\xB8\x89",
         }) {
        ByteBuffer name;
        DWORD cb = 0;
        EXPECT_EQ(ComposeSubject(W(subject).c_str(), name, cb), NTE_BAD_DATA) << subject;
        EXPECT_FALSE(name);
    }
}

TEST(SplidWstr, SplitsAtEverySeparator) {
    const struct {
        const WCHAR* text;
        std::vector<WString> items;
    } cases[] = {
        {TEXT(""), {}},
        {TEXT("a"), {TEXT("a")}},
        {TEXT(",a"), {TEXT(""), TEXT("a")}},
        {TEXT("a,"), {TEXT("a"), TEXT("")}},
        {TEXT("a,,b"), {TEXT("a"), TEXT(""), TEXT("b")}},
        {TEXT(","), {TEXT(""), TEXT("")}},
    };
    for (const auto& c : cases) {
        std::vector<WString> items;
        EXPECT_EQ(SplidWstr(c.text, ',', items), VELA_OK);
        EXPECT_EQ(items, c.items);
    }
    EXPECT_EQ(ReplaceWchar(TEXT(" a b "), ' '), WString(TEXT("ab")));
    EXPECT_EQ(GetObjectID(TEXT("Title")), "");
}

}  // namespace
