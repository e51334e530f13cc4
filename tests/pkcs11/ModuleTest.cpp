// The module as an application loads it (dlopen, C_GetFunctionList), over
// the store of the enrollments made by the pkcs11.enroll fixture: the
// errors a caller expects, the length rules, and new keys seen by an open
// session.
#define CRYPTOKI_GNU 1
#include <p11-kit/pkcs11.h>

#include <windows.h>
#include <wincrypt.h>

#include "../providers/Oracle.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

ck_function_list* Functions() {
    static ck_function_list* list = [] {
        void* module = dlopen(TESSERA_PKCS11_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (!module) return static_cast<ck_function_list*>(nullptr);
        auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
        ck_function_list* f = nullptr;
        return get && get(&f) == CKR_OK ? f : nullptr;
    }();
    return list;
}

class Pkcs11 : public ::testing::Test {
protected:
    void SetUp() override {
        f = Functions();
        ASSERT_NE(f, nullptr) << dlerror();
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    }
    void TearDown() override {
        if (f) f->C_Finalize(nullptr);
    }
    std::vector<ck_object_handle_t> Find(ck_object_class_t cls, ck_key_type_t keyType = ~0UL) {
        std::vector<ck_attribute> templ = {{CKA_CLASS, &cls, sizeof cls}};
        if (keyType != ~0UL) templ.push_back({CKA_KEY_TYPE, &keyType, sizeof keyType});
        std::vector<ck_object_handle_t> found(64);
        unsigned long count = 0;
        EXPECT_EQ(f->C_FindObjectsInit(session, templ.data(), templ.size()), CKR_OK);
        EXPECT_EQ(f->C_FindObjects(session, found.data(), found.size(), &count), CKR_OK);
        EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
        found.resize(count);
        return found;
    }
    ck_function_list* f = nullptr;
    ck_session_handle_t session = 0;
};

// One row per misuse: what the call does and the error it must return.
struct Misuse {
    const char* what;
    std::function<ck_rv_t(Pkcs11&, ck_function_list*, ck_session_handle_t)> call;
    ck_rv_t expected;
};

TEST_F(Pkcs11, MisuseGetsTheErrorACallerExpects) {
    const auto rsa = Find(CKO_PRIVATE_KEY, CKK_RSA);
    const auto ec = Find(CKO_PRIVATE_KEY, CKK_EC);
    const auto certs = Find(CKO_CERTIFICATE);
    ASSERT_FALSE(rsa.empty());
    ASSERT_FALSE(ec.empty());
    ASSERT_FALSE(certs.empty());
    // A signature-only RSA key: the double enrollment's signing key has no CKA_DECRYPT.
    ck_object_handle_t signOnly = 0, exchange = 0;
    for (auto h : rsa) {
        unsigned char decrypt = 1;
        ck_attribute a = {CKA_DECRYPT, &decrypt, 1};
        ASSERT_EQ(f->C_GetAttributeValue(session, h, &a, 1), CKR_OK);
        (decrypt ? exchange : signOnly) = h;
    }
    ASSERT_NE(signOnly, 0UL);
    ASSERT_NE(exchange, 0UL);
    ck_mechanism sha256 = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    ck_mechanism pssNoParams = {CKM_RSA_PKCS_PSS, nullptr, 0};
    ck_mechanism digestOnly = {CKM_SHA256, nullptr, 0};
    ck_mechanism sm2 = {CKM_VENDOR_DEFINED | 0x54530001UL, nullptr, 0};
    unsigned char data[4] = {1, 2, 3, 4};
    unsigned char out[512];
    unsigned long outLength = sizeof out;
    unsigned long count = 0;
    const ck_object_handle_t k = rsa[0];
    const std::vector<Misuse> table = {
        {"unknown slot", [](auto&, auto* f, auto) { ck_token_info t; return f->C_GetTokenInfo(7, &t); },
         CKR_SLOT_ID_INVALID},
        {"read-write session", [](auto&, auto* f, auto) { ck_session_handle_t s;
             return f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s); },
         CKR_TOKEN_WRITE_PROTECTED},
        {"parallel session", [](auto&, auto* f, auto) { ck_session_handle_t s;
             return f->C_OpenSession(0, 0, nullptr, nullptr, &s); }, CKR_SESSION_PARALLEL_NOT_SUPPORTED},
        {"unknown session", [](auto&, auto* f, auto s) { return f->C_CloseSession(s + 1000); },
         CKR_SESSION_HANDLE_INVALID},
        {"unknown object", [](auto&, auto* f, auto s) { ck_attribute a = {CKA_CLASS, nullptr, 0};
             return f->C_GetAttributeValue(s, 0xDEAD, &a, 1); }, CKR_OBJECT_HANDLE_INVALID},
        {"find objects before init", [&](auto&, auto* f, auto s) {
             ck_object_handle_t h; return f->C_FindObjects(s, &h, 1, &count); }, CKR_OPERATION_NOT_INITIALIZED},
        {"find init twice", [](auto&, auto* f, auto s) { f->C_FindObjectsInit(s, nullptr, 0);
             ck_rv_t rv = f->C_FindObjectsInit(s, nullptr, 0); f->C_FindObjectsFinal(s); return rv; },
         CKR_OPERATION_ACTIVE},
        {"sign before init", [&](auto&, auto* f, auto s) { return f->C_Sign(s, data, 4, out, &outLength); },
         CKR_OPERATION_NOT_INITIALIZED},
        {"sign with an unknown key", [&](auto&, auto* f, auto s) { return f->C_SignInit(s, &sha256, 0xDEAD); },
         CKR_KEY_HANDLE_INVALID},
        {"sign with a certificate", [&](auto&, auto* f, auto s) { return f->C_SignInit(s, &sha256, certs[0]); },
         CKR_KEY_TYPE_INCONSISTENT},
        {"RSA mechanism on an SM2 key", [&](auto&, auto* f, auto s) { return f->C_SignInit(s, &sha256, ec[0]); },
         CKR_KEY_TYPE_INCONSISTENT},
        {"SM2 mechanism on an RSA key", [&](auto&, auto* f, auto s) { return f->C_SignInit(s, &sm2, k); },
         CKR_KEY_TYPE_INCONSISTENT},
        {"digest mechanism for signing", [&](auto&, auto* f, auto s) { return f->C_SignInit(s, &digestOnly, k); },
         CKR_MECHANISM_INVALID},
        {"PSS without parameters", [&](auto&, auto* f, auto s) { return f->C_SignInit(s, &pssNoParams, k); },
         CKR_MECHANISM_PARAM_INVALID},
        {"sign init twice", [&](auto&, auto* f, auto s) { f->C_SignInit(s, &sha256, k);
             ck_rv_t rv = f->C_SignInit(s, &sha256, k); unsigned long n = sizeof out;
             f->C_Sign(s, data, 4, out, &n); return rv; }, CKR_OPERATION_ACTIVE},
        {"decrypt with a signature key", [&](auto&, auto* f, auto s) {
             ck_mechanism m = {CKM_RSA_PKCS, nullptr, 0}; return f->C_DecryptInit(s, &m, signOnly); },
         CKR_KEY_FUNCTION_NOT_PERMITTED},
        {"decrypt a block of the wrong length", [&](auto&, auto* f, auto s) {
             ck_mechanism m = {CKM_RSA_PKCS, nullptr, 0}; f->C_DecryptInit(s, &m, exchange);
             unsigned long n = sizeof out; return f->C_Decrypt(s, data, 4, out, &n); },
         CKR_ENCRYPTED_DATA_LEN_RANGE},
        {"create an object", [](auto&, auto* f, auto s) { ck_object_handle_t h;
             return f->C_CreateObject(s, nullptr, 0, &h); }, CKR_SESSION_READ_ONLY},
        {"destroy an object", [&](auto&, auto* f, auto s) { return f->C_DestroyObject(s, k); },
         CKR_SESSION_READ_ONLY},
        {"mechanism info of an unknown mechanism", [](auto&, auto* f, auto) { ck_mechanism_info i;
             return f->C_GetMechanismInfo(0, CKM_SHA256, &i); }, CKR_MECHANISM_INVALID},
        {"initialize twice", [](auto&, auto* f, auto) { return f->C_Initialize(nullptr); },
         CKR_CRYPTOKI_ALREADY_INITIALIZED},
        {"finalize with a reserved argument", [](auto&, auto* f, auto) { int x; return f->C_Finalize(&x); },
         CKR_ARGUMENTS_BAD},
    };
    for (const auto& row : table) EXPECT_EQ(row.call(*this, f, session), row.expected) << row.what;
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    f->C_Initialize(nullptr);
}

// A null buffer asks for the length, a short one reports it and keeps the
// operation; the signature then comes in the right-sized buffer.
TEST_F(Pkcs11, ShortBuffersReportTheNeededLength) {
    const auto rsa = Find(CKO_PRIVATE_KEY, CKK_RSA);
    ASSERT_FALSE(rsa.empty());
    ck_mechanism sha256 = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    unsigned char data[3] = {'a', 'b', 'c'};
    ASSERT_EQ(f->C_SignInit(session, &sha256, rsa[0]), CKR_OK);
    unsigned long length = 0;
    EXPECT_EQ(f->C_Sign(session, data, 3, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 256UL);
    Bytes signature(length);
    unsigned long shortLength = 10;
    EXPECT_EQ(f->C_Sign(session, data, 3, signature.data(), &shortLength), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortLength, 256UL);
    EXPECT_EQ(f->C_Sign(session, data, 3, signature.data(), &length), CKR_OK);
    unsigned long after = sizeof data;
    EXPECT_EQ(f->C_Sign(session, data, 3, signature.data(), &after), CKR_OPERATION_NOT_INITIALIZED);

    // Attributes: a missing one and a short buffer each leave that entry
    // unavailable; the rest are filled and the lengths are the values'.
    Bytes label(4), id(64);
    unsigned long cls = 0;
    ck_attribute templ[] = {{CKA_LABEL, label.data(), label.size()},
                            {CKA_VALUE_LEN, nullptr, 0},
                            {CKA_ID, id.data(), id.size()},
                            {CKA_CLASS, &cls, sizeof cls},
                            {CKA_MODULUS, nullptr, 0}};
    EXPECT_EQ(f->C_GetAttributeValue(session, rsa[0], templ, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(templ[0].value_len, CK_UNAVAILABLE_INFORMATION);
    ck_rv_t rv = f->C_GetAttributeValue(session, rsa[0], templ + 1, 4);
    EXPECT_EQ(rv, CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(templ[1].value_len, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(templ[2].value_len, 20UL);
    EXPECT_EQ(cls, CKO_PRIVATE_KEY);
    EXPECT_EQ(templ[4].value_len, 256UL);

    unsigned long slots = 0;
    ck_slot_id_t slot;
    EXPECT_EQ(f->C_GetSlotList(1, nullptr, &slots), CKR_OK);
    EXPECT_EQ(slots, 1UL);
    unsigned long none = 0;
    EXPECT_EQ(f->C_GetSlotList(1, &slot, &none), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(none, 1UL);
}

// A key and certificate stored while the module is loaded show in the next
// search of an open session, signing with it verifies with the certificate's
// key, and once the container is deleted its objects go away.
TEST_F(Pkcs11, OpenSessionsSeeNewAndRemovedKeys) {
    const WCHAR provider[] = u"Tessera SM2 Software CSP";
    const std::u16string container = u"pkcs11-live";
    const size_t before = Find(CKO_CERTIFICATE).size();
    HCRYPTPROV prov = 0;
    CryptAcquireContextW(&prov, container.c_str(), provider, 1, CRYPT_DELETEKEYSET);
    ASSERT_TRUE(CryptAcquireContextW(&prov, container.c_str(), provider, 1, CRYPT_NEWKEYSET)) << GetLastError();
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, 0x3E00, 0, &key));
    Bytes blob(140);
    DWORD size = DWORD(blob.size());
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size));
    Bytes point(65, 0x04);  // 04 || x || y, each coordinate reversed from the blob
    std::reverse_copy(blob.begin() + 12, blob.begin() + 44, point.begin() + 1);
    std::reverse_copy(blob.begin() + 76, blob.begin() + 108, point.begin() + 33);
    Bytes certificate = oracle::IssueCertificate(point, true);
    ASSERT_TRUE(CryptSetKeyParam(key, KP_CERTIFICATE, certificate.data(), 0)) << GetLastError();
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);

    ASSERT_EQ(Find(CKO_CERTIFICATE).size(), before + 1);
    ck_object_handle_t signer = 0;
    ck_mechanism sm2 = {CKM_VENDOR_DEFINED | 0x54530001UL, nullptr, 0};
    const Bytes message = {'p', 'a', 'y'};
    bool verified = false;
    for (auto h : Find(CKO_PRIVATE_KEY, CKK_EC)) {
        Bytes rs(64);
        unsigned long length = rs.size();
        ASSERT_EQ(f->C_SignInit(session, &sm2, h), CKR_OK);
        ASSERT_EQ(f->C_Sign(session, const_cast<unsigned char*>(message.data()), message.size(), rs.data(), &length),
                  CKR_OK);
        if (oracle::VerifySm2(point, message, rs, "1234567812345678")) verified = true, signer = h;
    }
    EXPECT_TRUE(verified);

    ASSERT_TRUE(CryptAcquireContextW(&prov, container.c_str(), provider, 1, CRYPT_DELETEKEYSET));
    EXPECT_EQ(Find(CKO_CERTIFICATE).size(), before);
    ck_attribute a = {CKA_ID, nullptr, 0};
    EXPECT_EQ(f->C_GetAttributeValue(session, signer, &a, 1), CKR_OBJECT_HANDLE_INVALID);
}

}  // namespace
