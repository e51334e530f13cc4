// Attribute templates from the fuzzer's bytes against the PKCS #11 module's
// object search and attribute reads, over a token holding one RSA key with
// its certificate (three objects). Each template entry is: attribute type
// (4 bytes, little-endian; a high bit in the first byte selects a vendor
// type), a flags byte (bit 0: no value buffer) and a length byte, then that
// many value bytes. The properties: nothing is read or written outside the
// buffers given, and every returned length is either the value's or
// CK_UNAVAILABLE_INFORMATION, never more than the buffer held.
#define CRYPTOKI_GNU 1
#include <p11-kit/pkcs11.h>

#include "../pkcs11/TokenFixture.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (false)

extern "C" ck_rv_t C_GetFunctionList(ck_function_list** list);

namespace {

ck_function_list* g_f = nullptr;
ck_session_handle_t g_session = 0;

struct Entry {
    ck_attribute_type_t type;
    bool nullValue;
    std::vector<unsigned char> value;
};

std::vector<Entry> Parse(const uint8_t* data, size_t size) {
    std::vector<Entry> entries;
    size_t i = 0;
    while (i + 6 <= size && entries.size() < 32) {
        uint32_t type = 0;
        std::memcpy(&type, data + i, 4);
        Entry e;
        e.type = (type & 0x80000000u) ? (CKA_VENDOR_DEFINED | (type & 0xFF)) : (type & 0x7FF);
        e.nullValue = data[i + 4] & 1;
        size_t length = data[i + 5];
        i += 6;
        length = std::min(length, size - i);
        e.value.assign(data + i, data + i + length);
        i += length;
        entries.push_back(std::move(e));
    }
    return entries;
}

}  // namespace

// A scratch store of this run, removed at exit.
static void UseScratchStore() {
    static std::string root;
    std::string pattern = (std::filesystem::temp_directory_path() / "tessera-fuzz-pkcs11-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) std::abort();
    root = buffer.data();
    setenv("TESSERA_STORE_DIR", (root + "/user").c_str(), 1);
    setenv("TESSERA_MACHINE_STORE_DIR", (root + "/machine").c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    });
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    UseScratchStore();
    FUZZ_CHECK(tessera::test::AddRsaKey(u"pkcs11-fuzz", 1024, "Fuzz Signer"));
    FUZZ_CHECK(C_GetFunctionList(&g_f) == CKR_OK);
    FUZZ_CHECK(g_f->C_Initialize(nullptr) == CKR_OK);
    FUZZ_CHECK(g_f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &g_session) == CKR_OK);
    return 0;
}


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<Entry> entries = Parse(data, size);
    // The search: values are the template's, exactly as long as given.
    std::vector<std::unique_ptr<unsigned char[]>> values;
    std::vector<ck_attribute> templ;
    for (const Entry& e : entries) {
        values.emplace_back(e.nullValue ? nullptr : new unsigned char[e.value.size() + 1]);
        if (values.back() && !e.value.empty()) std::memcpy(values.back().get(), e.value.data(), e.value.size());
        templ.push_back({e.type, values.back().get(), e.nullValue ? 0 : e.value.size()});
    }
    ck_object_handle_t found[8];
    unsigned long count = 0;
    FUZZ_CHECK(g_f->C_FindObjectsInit(g_session, templ.data(), templ.size()) == CKR_OK);
    FUZZ_CHECK(g_f->C_FindObjects(g_session, found, 8, &count) == CKR_OK);
    FUZZ_CHECK(count <= 3);
    FUZZ_CHECK(g_f->C_FindObjectsFinal(g_session) == CKR_OK);
    if (templ.empty()) FUZZ_CHECK(count == 3);

    // The reads, on every object (handles 1 to 3) and one that is not there.
    for (ck_object_handle_t object = 1; object <= 4; ++object) {
        std::vector<std::unique_ptr<unsigned char[]>> buffers;
        std::vector<unsigned long> given;
        for (size_t j = 0; j < entries.size(); ++j) {
            const size_t length = entries[j].value.size();
            buffers.emplace_back(entries[j].nullValue ? nullptr : new unsigned char[length ? length : 1]);
            templ[j].value = buffers.back().get();
            templ[j].value_len = length;
            given.push_back(length);
        }
        ck_rv_t rv = g_f->C_GetAttributeValue(g_session, object, templ.data(), templ.size());
        if (object == 4) {
            FUZZ_CHECK(rv == CKR_OBJECT_HANDLE_INVALID);
            continue;
        }
        FUZZ_CHECK(rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL || rv == CKR_ATTRIBUTE_TYPE_INVALID);
        for (size_t j = 0; j < templ.size(); ++j) {
            if (templ[j].value_len == CK_UNAVAILABLE_INFORMATION) FUZZ_CHECK(rv != CKR_OK);
            else if (buffers[j]) FUZZ_CHECK(templ[j].value_len <= given[j]);
        }
    }
    return 0;
}
