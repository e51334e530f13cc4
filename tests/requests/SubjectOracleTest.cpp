// The string types of subject values against OpenSSL: every value OpenSSL
// takes as the attribute's string type is encoded as that type with its
// bytes intact, every value it refuses for that type is refused.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/x509.h>

#include "PKCS10Request.h"

namespace {

std::string UTF8Of(unsigned long codePoint) {
    unsigned char bytes[6];
    int n = UTF8_putc(bytes, sizeof bytes, codePoint);
    return n > 0 ? std::string(reinterpret_cast<char*>(bytes), size_t(n)) : std::string();
}

bool OpenSSLTakes(const std::string& utf8, unsigned long mask) {
    ASN1_STRING* out = nullptr;
    int type = ASN1_mbstring_copy(&out, reinterpret_cast<const unsigned char*>(utf8.data()), int(utf8.size()),
                                  MBSTRING_UTF8, mask);
    ASN1_STRING_free(out);
    return type > 0;
}

TEST(ComposeSubjectOracle, StringTypesAgreeWithOpenSSL) {
    const struct {
        const char* name;
        int type;
        unsigned long mask;
    } attributes[] = {
        {"C", V_ASN1_PRINTABLESTRING, B_ASN1_PRINTABLESTRING},
        {"SERIALNUMBER", V_ASN1_PRINTABLESTRING, B_ASN1_PRINTABLESTRING},
        {"jurisdictionOfIncorporationCountryName", V_ASN1_PRINTABLESTRING, B_ASN1_PRINTABLESTRING},
        {"E", V_ASN1_IA5STRING, B_ASN1_IA5STRING},
        {"CN", V_ASN1_UTF8STRING, B_ASN1_UTF8STRING},
    };
    std::vector<unsigned long> codePoints = {0x4E2D, 0xFFFD, 0x1F600};
    for (unsigned long c = 1; c < 0x180; ++c)
        if (c != ',' && c != '=') codePoints.push_back(c);  // the separators of the syntax
    for (const auto& a : attributes) {
        int accepted = 0, refused = 0;
        for (unsigned long c : codePoints) {
            const std::string value = "a" + UTF8Of(c) + "b";
            WString subject;
            for (const char* p = a.name; *p; ++p) subject.push_back(WCHAR(*p));
            subject += TEXT("=a");
            if (c >= 0x10000) {
                subject.push_back(WCHAR(0xD800 + ((c - 0x10000) >> 10)));
                subject.push_back(WCHAR(0xDC00 + ((c - 0x10000) & 0x3FF)));
            } else {
                subject.push_back(WCHAR(c));
            }
            subject.push_back('b');
            SCOPED_TRACE(testing::Message() << a.name << " with U+" << std::hex << c);

            ByteBuffer name;
            DWORD cb = 0;
            HRESULT hr = ComposeSubject(subject.c_str(), name, cb);
            if (!OpenSSLTakes(value, a.mask)) {
                ++refused;
                EXPECT_EQ(hr, NTE_BAD_DATA);
                EXPECT_FALSE(name);
                continue;
            }
            ++accepted;
            ASSERT_EQ(hr, VELA_OK);
            const unsigned char* cursor = name.get();
            X509_NAME* x509Name = d2i_X509_NAME(nullptr, &cursor, long(cb));
            ASSERT_NE(x509Name, nullptr);
            EXPECT_EQ(cursor, name.get() + cb);
            ASSERT_EQ(X509_NAME_entry_count(x509Name), 1);
            const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(x509Name, 0));
            EXPECT_EQ(ASN1_STRING_type(data), a.type);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                                  size_t(ASN1_STRING_length(data))),
                      value);
            X509_NAME_free(x509Name);
        }
        // Both sides of each character set were tried.
        EXPECT_GT(accepted, 0) << a.name;
        if (a.type != V_ASN1_UTF8STRING) {
            EXPECT_GT(refused, 0) << a.name;
        }
    }
}

}  // namespace
