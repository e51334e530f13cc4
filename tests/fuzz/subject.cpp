// The subject DN: any text parses or fails cleanly; a composed Name is one
// X.500 Name for OpenSSL, with one attribute per RDN in reverse text order
// and every value of the string type its attribute takes; a value refused
// for its string type is one OpenSSL's string-type check refuses too.
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>

#include "FuzzSupport.h"
#include "PKCS10Request.h"

namespace {

// The string type an attribute's value must have: its ASN.1 type and the
// mask of OpenSSL's check (0 for UTF8String, which takes any text).
struct StringType {
    int type;
    unsigned long mask;
};

StringType TypeOf(const std::string& oid) {
    if (oid == "2.5.4.6" || oid == "2.5.4.5" || oid == "1.3.6.1.4.1.311.60.2.1.3")
        return {V_ASN1_PRINTABLESTRING, B_ASN1_PRINTABLESTRING};
    if (oid == "1.2.840.113549.1.9.1") return {V_ASN1_IA5STRING, B_ASN1_IA5STRING};
    return {V_ASN1_UTF8STRING, 0};
}

// OpenSSL's verdict on the UTF-16 value as a string of the masked type.
bool OpenSSLTakes(const WString& value, unsigned long mask) {
    if (!mask) return true;
    std::string bigEndian;
    for (WCHAR c : value) {
        bigEndian.push_back(char(c >> 8));
        bigEndian.push_back(char(c & 0xFF));
    }
    ASN1_STRING* out = nullptr;
    int type = ASN1_mbstring_copy(&out, reinterpret_cast<const unsigned char*>(bigEndian.data()),
                                  int(bigEndian.size()), MBSTRING_BMP, mask);
    ASN1_STRING_free(out);
    return type > 0;
}

bool TakenByOpenSSL(const SubjectAttribute& a) { return OpenSSLTakes(a.wstrValue, TypeOf(a.strOID).mask); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WString subject = WideFromInput(data, size);
    std::vector<SubjectAttribute> attributes;
    HRESULT parsed = ParseSubject(subject.c_str(), attributes);
    ByteBuffer name;
    DWORD length = 0;
    HRESULT composed = ComposeSubject(subject.c_str(), name, length);
    if (composed == NTE_BAD_DATA && SUCCEEDED(parsed))
        FUZZ_CHECK(!std::all_of(attributes.begin(), attributes.end(), TakenByOpenSSL));
    if (FAILED(composed)) return 0;
    FUZZ_CHECK(SUCCEEDED(parsed) && !attributes.empty());
    FUZZ_CHECK(std::all_of(attributes.begin(), attributes.end(), TakenByOpenSSL));

    const unsigned char* cursor = name.get();
    X509_NAME* x509Name = d2i_X509_NAME(nullptr, &cursor, long(length));
    FUZZ_CHECK(x509Name != nullptr);
    FUZZ_CHECK(cursor == name.get() + length);
    const int count = X509_NAME_entry_count(x509Name);
    FUZZ_CHECK(size_t(count) == attributes.size());
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(x509Name, i);
        FUZZ_CHECK(X509_NAME_ENTRY_set(entry) == i);  // one attribute per RDN
        char oid[128];
        OBJ_obj2txt(oid, sizeof oid, X509_NAME_ENTRY_get_object(entry), 1);
        const SubjectAttribute& attribute = attributes[attributes.size() - 1 - size_t(i)];
        FUZZ_CHECK(attribute.strOID == oid);
        FUZZ_CHECK(ASN1_STRING_type(X509_NAME_ENTRY_get_data(entry)) == TypeOf(oid).type);
    }
    X509_NAME_free(x509Name);
    return 0;
}
