// The subject DN: any text parses or fails cleanly; a composed Name is one
// X.500 Name for OpenSSL, with one attribute per RDN in reverse text order.
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "FuzzSupport.h"
#include "PKCS10Request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WString subject = WideFromInput(data, size);
    std::vector<SubjectAttribute> attributes;
    HRESULT parsed = ParseSubject(subject.c_str(), attributes);
    ByteBuffer name;
    DWORD length = 0;
    HRESULT composed = ComposeSubject(subject.c_str(), name, length);
    if (FAILED(composed)) return 0;
    FUZZ_CHECK(SUCCEEDED(parsed) && !attributes.empty());

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
        FUZZ_CHECK(attributes[attributes.size() - 1 - size_t(i)].strOID == oid);
    }
    X509_NAME_free(x509Name);
    return 0;
}
