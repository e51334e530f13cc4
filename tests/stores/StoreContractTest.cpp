// Contract of the certificate services and the registry that the core relies
// on. The same cases run against our layer on Linux and against the system's
// crypt32 and registry in the Windows build; the certificates and the facts
// they are checked against come from the OpenSSL command line.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "StoreTestData.h"

namespace {

using WString = std::basic_string<WCHAR>;
using Bytes = std::vector<BYTE>;
using testdata::CertFacts;

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// The property record of a registry certificate blob that carries the DER certificate.
const DWORD kCertificateRecord = 32;

const CertFacts& Facts(const char* name) {
    for (const CertFacts& c : testdata::kCerts)
        if (std::strcmp(c.name, name) == 0) return c;
    throw std::runtime_error(name);
}

Bytes Hex(const char* text) {
    Bytes out;
    for (size_t i = 0; text[i] && text[i + 1]; i += 2) out.push_back(BYTE(std::stoi(std::string(text + i, 2), nullptr, 16)));
    return out;
}

// Wine's crypt32 quotes values even under CERT_NAME_STR_NO_QUOTING_FLAG and
// quotes some non-ASCII values; Windows does neither. Those texts are only
// compared where the platform follows Windows.
bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(TEXT("ntdll.dll"));
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

Bytes Reversed(Bytes b) { return Bytes(b.rbegin(), b.rend()); }

struct Context {
    PCCERT_CONTEXT p = nullptr;
    explicit Context(PCCERT_CONTEXT c = nullptr) : p(c) {}
    ~Context() {
        if (p) CertFreeCertificateContext(p);
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
};

PCCERT_CONTEXT Make(const CertFacts& c) {
    return CertCreateCertificateContext(X509_ASN_ENCODING, c.der, DWORD(c.length));
}

Bytes Property(PCCERT_CONTEXT c, DWORD id) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(c, id, nullptr, &size)) return {};
    Bytes value(size);
    if (!CertGetCertificateContextProperty(c, id, value.data(), &size)) return {};
    value.resize(size);
    return value;
}

WString NameText(const CERT_NAME_BLOB* name, DWORD type) {
    DWORD n = CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(name), type, nullptr, 0);
    WString text(n, 0);
    CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(name), type, text.data(), n);
    text.resize(n ? n - 1 : 0);
    return text;
}

std::string Narrow(const WString& w) {
    std::string out;
    for (WCHAR c : w) {
        if (c < 0x80) out.push_back(char(c));
        else out += "\\u" + std::to_string(unsigned(c));
    }
    return out;
}

HCERTSTORE OpenSystem(DWORD location, const WCHAR* name) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, location, name);
}

// Number of copies of the certificate (by SHA-1) in the store.
int Count(HCERTSTORE store, const CertFacts& c) {
    int n = 0;
    Bytes want = Hex(c.sha1);
    for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(store, nullptr); it;
         it = CertEnumCertificatesInStore(store, it))
        if (Property(it, CERT_SHA1_HASH_PROP_ID) == want) ++n;
    return n;
}

// Deletes every copy of the certificate from a system store and commits.
void Remove(DWORD location, const WCHAR* name, const CertFacts& c) {
    HCERTSTORE store = OpenSystem(location, name);
    if (!store) return;
    Bytes want = Hex(c.sha1);
    std::vector<PCCERT_CONTEXT> found;
    for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(store, nullptr); it;
         it = CertEnumCertificatesInStore(store, it))
        if (Property(it, CERT_SHA1_HASH_PROP_ID) == want) found.push_back(CertDuplicateCertificateContext(it));
    for (PCCERT_CONTEXT f : found) CertDeleteCertificateFromStore(f);
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(store, 0);
}

int CountIn(DWORD location, const WCHAR* name, const CertFacts& c) {
    HCERTSTORE store = OpenSystem(location, name);
    if (!store) return -1;
    int n = Count(store, c);
    CertCloseStore(store, 0);
    return n;
}

// ---- certificate contexts ---------------------------------------------------
TEST(CertificateContext, FieldsMatchOpenSsl) {
    for (const CertFacts& c : testdata::kCerts) {
        SCOPED_TRACE(c.name);
        Context ctx(Make(c));
        ASSERT_NE(ctx.p, nullptr);
        const CERT_INFO* info = ctx.p->pCertInfo;
        EXPECT_EQ(info->dwVersion, DWORD(CERT_V3));
        EXPECT_EQ(ctx.p->cbCertEncoded, DWORD(c.length));
        EXPECT_EQ(0, std::memcmp(ctx.p->pbCertEncoded, c.der, c.length));
        // Serial: OpenSSL prints it most significant first; the context holds
        // the DER integer's bytes least significant first.
        Bytes serial(info->SerialNumber.pbData, info->SerialNumber.pbData + info->SerialNumber.cbData);
        Bytes expected = Reversed(Hex(c.serial));
        if (!expected.empty() && (expected.back() & 0x80)) expected.push_back(0);
        EXPECT_EQ(serial, expected);
        EXPECT_STREQ(info->SignatureAlgorithm.pszObjId, c.sigOid);
        auto ticks = [](long long unix) { return ULONGLONG(unix + 11644473600LL) * 10000000ULL; };
        EXPECT_EQ((ULONGLONG(info->NotBefore.dwHighDateTime) << 32) | info->NotBefore.dwLowDateTime,
                  ticks(c.notBefore));
        EXPECT_EQ((ULONGLONG(info->NotAfter.dwHighDateTime) << 32) | info->NotAfter.dwLowDateTime, ticks(c.notAfter));
        EXPECT_EQ(Property(ctx.p, CERT_SHA1_HASH_PROP_ID), Hex(c.sha1));
        EXPECT_EQ(Property(ctx.p, CERT_MD5_HASH_PROP_ID), Hex(c.md5));
        bool rsa = std::strcmp(c.name, "root") == 0;
        EXPECT_STREQ(info->SubjectPublicKeyInfo.Algorithm.pszObjId, rsa ? "1.2.840.113549.1.1.1" : "1.2.840.10045.2.1");
        EXPECT_EQ(info->SubjectPublicKeyInfo.PublicKey.cbData, rsa ? 270u : 65u);
    }
}

TEST(CertificateContext, IssuerNameEqualsIssuerSubject) {
    struct Link {
        const char *child, *issuer;
    } links[] = {{"root", "root"}, {"ca", "root"}, {"leaf", "ca"}, {"utf8", "ca"}};
    for (const Link& l : links) {
        SCOPED_TRACE(l.child);
        Context child(Make(Facts(l.child))), issuer(Make(Facts(l.issuer)));
        EXPECT_TRUE(CertCompareCertificateName(X509_ASN_ENCODING, &child.p->pCertInfo->Issuer,
                                               &issuer.p->pCertInfo->Subject));
    }
    Context leaf(Make(Facts("leaf")));
    EXPECT_FALSE(CertCompareCertificateName(X509_ASN_ENCODING, &leaf.p->pCertInfo->Issuer,
                                            &leaf.p->pCertInfo->Subject));
}

TEST(CertificateContext, RejectsBytesThatAreNotACertificate) {
    const CertFacts& leaf = Facts("leaf");
    const char pem[] = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
    struct Case {
        const char* what;
        const BYTE* data;
        DWORD length;
    } cases[] = {
        {"truncated", leaf.der, DWORD(leaf.length - 10)},
        {"PEM text", reinterpret_cast<const BYTE*>(pem), DWORD(sizeof pem - 1)},
        {"PKCS #7 bundle", testdata::k_bundle_p7b, DWORD(sizeof testdata::k_bundle_p7b)},
        {"one byte", leaf.der, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, c.data, c.length), nullptr);
        EXPECT_NE(GetLastError(), 0u);
    }
}

TEST(CertificateContext, EveryTruncationIsRejected) {
    for (const char* name : {"root", "leaf"}) {
        const CertFacts& c = Facts(name);
        for (DWORD n = 1; n < DWORD(c.length); ++n) {
            PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, c.der, n);
            EXPECT_EQ(ctx, nullptr) << name << " cut at " << n;
            if (ctx) CertFreeCertificateContext(ctx);
        }
    }
}

TEST(CertificateContext, ReferencesAreCounted) {
    PCCERT_CONTEXT first = Make(Facts("ca"));
    ASSERT_NE(first, nullptr);
    PCCERT_CONTEXT second = CertDuplicateCertificateContext(first);
    EXPECT_EQ(second, first);
    EXPECT_TRUE(CertFreeCertificateContext(first));
    // Still usable through the second reference.
    EXPECT_EQ(Property(second, CERT_SHA1_HASH_PROP_ID), Hex(Facts("ca").sha1));
    EXPECT_TRUE(CertFreeCertificateContext(second));
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

TEST(CertificateContext, TimeValidity) {
    const CertFacts& c = Facts("leaf");
    Context ctx(Make(c));
    auto at = [](long long unix) {
        ULONGLONG t = ULONGLONG(unix + 11644473600LL) * 10000000ULL;
        return FILETIME{DWORD(t), DWORD(t >> 32)};
    };
    struct Case {
        long long when;
        LONG expected;
    } cases[] = {{c.notBefore - 1, -1}, {c.notBefore, 0}, {c.notAfter, 0}, {c.notAfter + 1, 1}};
    for (const Case& k : cases) {
        FILETIME ft = at(k.when);
        EXPECT_EQ(CertVerifyTimeValidity(&ft, ctx.p->pCertInfo), k.expected) << k.when;
    }
}

// ---- names ------------------------------------------------------------------
TEST(CertificateNames, NameToStrTexts) {
    const DWORD reverseNoQuote = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;
    struct Case {
        const char* cert;
        bool issuer;
        DWORD type;
        const WCHAR* expected;
        bool quotingDiffersUnderWine;
    } cases[] = {
        {"leaf", false, CERT_X500_NAME_STR,
         TEXT("C=CN, S=Beijing, L=Haidian, O=\"Tessera, Ltd.\", OU=Online + OU=Retail, CN=Zhang San, ")
             TEXT("E=zhang@example.com, 1.2.3.4.5=custom")},
        {"leaf", false, reverseNoQuote,
         TEXT("1.2.3.4.5=custom, E=zhang@example.com, CN=Zhang San, OU=Online + OU=Retail, O=Tessera, Ltd., ")
             TEXT("L=Haidian, S=Beijing, C=CN"),
         true},
        {"leaf", false, CERT_SIMPLE_NAME_STR | CERT_NAME_STR_REVERSE_FLAG,
         TEXT("custom, zhang@example.com, Zhang San, Online + Retail, \"Tessera, Ltd.\", Haidian, Beijing, CN")},
        {"leaf", false, CERT_OID_NAME_STR,
         TEXT("2.5.4.6=CN, 2.5.4.8=Beijing, 2.5.4.7=Haidian, 2.5.4.10=\"Tessera, Ltd.\", ")
             TEXT("2.5.4.11=Online + 2.5.4.11=Retail, 2.5.4.3=Zhang San, 1.2.840.113549.1.9.1=zhang@example.com, ")
             TEXT("1.2.3.4.5=custom")},
        {"leaf", true, reverseNoQuote, TEXT("CN=Tessera Test CA 1, OU=Issuing, O=Tessera Test, C=CN")},
        {"utf8", false, reverseNoQuote, TEXT("CN=张三, O=测试机构, C=CN"), true},
        {"bmp", false, reverseNoQuote, TEXT("CN=李四, O=Test BMP, C=CN")},
        {"root", false, CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG,
         TEXT("C=CN; O=Tessera Test; CN=Tessera Test Root")},
        {"root", false, CERT_X500_NAME_STR | CERT_NAME_STR_CRLF_FLAG,
         TEXT("C=CN\r\nO=Tessera Test\r\nCN=Tessera Test Root")},
    };
    const bool wine = RunningUnderWine();
    for (const Case& c : cases) {
        if (wine && c.quotingDiffersUnderWine) continue;
        Context ctx(Make(Facts(c.cert)));
        const CERT_NAME_BLOB* name = c.issuer ? &ctx.p->pCertInfo->Issuer : &ctx.p->pCertInfo->Subject;
        WString got = NameText(name, c.type);
        EXPECT_EQ(got, WString(c.expected)) << c.cert << " type " << std::hex << c.type << ": " << Narrow(got);
    }
}

TEST(CertificateNames, SizeQueryAndTruncation) {
    Context ctx(Make(Facts("root")));
    CERT_NAME_BLOB* name = &ctx.p->pCertInfo->Subject;
    const WString full = TEXT("C=CN, O=Tessera Test, CN=Tessera Test Root");
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, nullptr, 0), DWORD(full.size() + 1));
    WCHAR small[6];
    DWORD n = CertNameToStrW(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, small, 6);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(WString(small), full.substr(0, 5));
}

TEST(CertificateNames, SimpleDisplayName) {
    struct Case {
        const char* cert;
        DWORD flags;
        const WCHAR* expected;
    } cases[] = {
        {"leaf", 0, TEXT("Zhang San")},
        {"leaf", CERT_NAME_ISSUER_FLAG, TEXT("Tessera Test CA 1")},
        {"utf8", 0, TEXT("张三")},
        {"bmp", 0, TEXT("李四")},
        {"root", 0, TEXT("Tessera Test Root")},
    };
    for (const Case& c : cases) {
        Context ctx(Make(Facts(c.cert)));
        DWORD n = CertGetNameStringW(ctx.p, CERT_NAME_SIMPLE_DISPLAY_TYPE, c.flags, nullptr, nullptr, 0);
        ASSERT_GT(n, 1u) << c.cert;
        WString text(n, 0);
        EXPECT_EQ(CertGetNameStringW(ctx.p, CERT_NAME_SIMPLE_DISPLAY_TYPE, c.flags, nullptr, text.data(), n), n);
        text.resize(n - 1);
        EXPECT_EQ(text, WString(c.expected)) << c.cert << ": " << Narrow(text);
    }
}

// ---- extensions -------------------------------------------------------------
TEST(CertificateExtensions, KeyUsageDecodes) {
    struct Case {
        const char* cert;
        LPCSTR type;
        BYTE firstByte;
        DWORD unusedBits;
    } cases[] = {
        {"leaf", szOID_KEY_USAGE, 0xC0, 6},
        {"leaf", X509_KEY_USAGE, 0xC0, 6},
        {"root", szOID_KEY_USAGE, 0x06, 1},
        {"utf8", szOID_KEY_USAGE, 0x20, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cert);
        Context ctx(Make(Facts(c.cert)));
        PCERT_EXTENSION ext =
            CertFindExtension(szOID_KEY_USAGE, ctx.p->pCertInfo->cExtension, ctx.p->pCertInfo->rgExtension);
        ASSERT_NE(ext, nullptr);
        DWORD size = 0;
        ASSERT_TRUE(CryptDecodeObjectEx(kEncoding, c.type, ext->Value.pbData, ext->Value.cbData,
                                        CRYPT_DECODE_NOCOPY_FLAG, nullptr, nullptr, &size));
        ASSERT_GE(size, DWORD(sizeof(CRYPT_BIT_BLOB)));
        std::vector<BYTE> buffer(size);
        DWORD tooSmall = DWORD(sizeof(CRYPT_BIT_BLOB) - 1);
        EXPECT_FALSE(CryptDecodeObjectEx(kEncoding, c.type, ext->Value.pbData, ext->Value.cbData,
                                         CRYPT_DECODE_NOCOPY_FLAG, nullptr, buffer.data(), &tooSmall));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
        ASSERT_TRUE(CryptDecodeObjectEx(kEncoding, c.type, ext->Value.pbData, ext->Value.cbData,
                                        CRYPT_DECODE_NOCOPY_FLAG, nullptr, buffer.data(), &size));
        auto* bits = reinterpret_cast<CRYPT_BIT_BLOB*>(buffer.data());
        ASSERT_GE(bits->cbData, 1u);
        EXPECT_EQ(bits->pbData[0], c.firstByte);
        EXPECT_EQ(bits->cUnusedBits, c.unusedBits);
    }
}

TEST(CertificateExtensions, SubjectKeyIdentifierDecodes) {
    for (const char* name : {"root", "ca", "leaf", "utf8"}) {
        SCOPED_TRACE(name);
        const CertFacts& c = Facts(name);
        Context ctx(Make(c));
        PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, ctx.p->pCertInfo->cExtension,
                                                ctx.p->pCertInfo->rgExtension);
        ASSERT_NE(ext, nullptr);
        for (DWORD flags : {DWORD(0), DWORD(CRYPT_DECODE_NOCOPY_FLAG)}) {
            DWORD size = 0;
            ASSERT_TRUE(CryptDecodeObjectEx(kEncoding, szOID_SUBJECT_KEY_IDENTIFIER, ext->Value.pbData,
                                            ext->Value.cbData, flags, nullptr, nullptr, &size));
            std::vector<BYTE> buffer(size);
            ASSERT_TRUE(CryptDecodeObjectEx(kEncoding, szOID_SUBJECT_KEY_IDENTIFIER, ext->Value.pbData,
                                            ext->Value.cbData, flags, nullptr, buffer.data(), &size));
            auto* blob = reinterpret_cast<CRYPT_DATA_BLOB*>(buffer.data());
            EXPECT_EQ(Bytes(blob->pbData, blob->pbData + blob->cbData), Hex(c.ski));
        }
    }
}

TEST(CertificateExtensions, MissingExtensionIsNotFound) {
    Context ctx(Make(Facts("bmp")));
    EXPECT_EQ(CertFindExtension(szOID_KEY_USAGE, ctx.p->pCertInfo->cExtension, ctx.p->pCertInfo->rgExtension),
              nullptr);
}

// ---- properties -------------------------------------------------------------
TEST(CertificateProperties, KeyProviderRecordRoundTrips) {
    BYTE paramData[] = {1, 2, 3, 4, 5};
    CRYPT_KEY_PROV_PARAM param{42, paramData, sizeof paramData, 7};
    struct Case {
        const WCHAR* container;
        const WCHAR* provider;
        DWORD type, flags, keySpec;
        bool withParam;
    } cases[] = {
        {TEXT("{6F1C5B2A-0000-4000-8000-000000000001}"), TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider"),
         24, 0, AT_KEYEXCHANGE, false},
        {TEXT("container-2"), TEXT("Microsoft Enhanced Cryptographic Provider v1.0"), 1, 0, AT_SIGNATURE, true},
        {nullptr, TEXT("Some SM2 CSP"), 1, 0, AT_SIGNATURE, false},
    };
    for (const Case& c : cases) {
        Context ctx(Make(Facts("leaf")));
        CRYPT_KEY_PROV_INFO info{const_cast<LPWSTR>(c.container), const_cast<LPWSTR>(c.provider), c.type, c.flags,
                                 c.withParam ? 1u : 0u, c.withParam ? &param : nullptr, c.keySpec};
        ASSERT_TRUE(CertSetCertificateContextProperty(ctx.p, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
        DWORD size = 0;
        ASSERT_TRUE(CertGetCertificateContextProperty(ctx.p, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
        DWORD small = DWORD(sizeof(CRYPT_KEY_PROV_INFO));
        std::vector<ULONGLONG> buffer(size / 8 + 1);
        EXPECT_FALSE(CertGetCertificateContextProperty(ctx.p, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &small));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
        ASSERT_TRUE(CertGetCertificateContextProperty(ctx.p, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
        auto* got = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
        if (c.container) EXPECT_EQ(WString(got->pwszContainerName), WString(c.container));
        else EXPECT_EQ(got->pwszContainerName, nullptr);
        EXPECT_EQ(WString(got->pwszProvName), WString(c.provider));
        EXPECT_EQ(got->dwProvType, c.type);
        EXPECT_EQ(got->dwFlags, c.flags);
        EXPECT_EQ(got->dwKeySpec, c.keySpec);
        ASSERT_EQ(got->cProvParam, c.withParam ? 1u : 0u);
        if (c.withParam) {
            EXPECT_EQ(got->rgProvParam[0].dwParam, 42u);
            EXPECT_EQ(got->rgProvParam[0].dwFlags, 7u);
            ASSERT_EQ(got->rgProvParam[0].cbData, DWORD(sizeof paramData));
            EXPECT_EQ(0, std::memcmp(got->rgProvParam[0].pbData, paramData, sizeof paramData));
        }
        // Removing the property.
        ASSERT_TRUE(CertSetCertificateContextProperty(ctx.p, CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
        EXPECT_FALSE(CertGetCertificateContextProperty(ctx.p, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
        EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND));
    }
}

TEST(CertificateProperties, PrivateKeyThroughKeyProviderRecord) {
    const WCHAR* container = TEXT("tessera-store-test-key");
    HCRYPTPROV h = 0;
    CryptAcquireContextW(&h, container, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    ASSERT_TRUE(CryptAcquireContextW(&h, container, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(h, AT_SIGNATURE, 1024u << 16, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(h, 0);

    Context ctx(Make(Facts("leaf")));
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE acquired = 0;
    DWORD keySpec = 0;
    BOOL callerFrees = FALSE;
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(ctx.p, 0, nullptr, &acquired, &keySpec, &callerFrees));
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NO_KEY_PROPERTY));

    struct Case {
        const WCHAR* container;
        bool found;
    } cases[] = {{container, true}, {TEXT("tessera-store-test-missing"), false}};
    for (const Case& c : cases) {
        CRYPT_KEY_PROV_INFO info{const_cast<LPWSTR>(c.container), const_cast<LPWSTR>(MS_ENHANCED_PROV_W),
                                 PROV_RSA_FULL, 0, 0, nullptr, AT_SIGNATURE};
        ASSERT_TRUE(CertSetCertificateContextProperty(ctx.p, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
        acquired = 0;
        BOOL ok = CryptAcquireCertificatePrivateKey(ctx.p, 0, nullptr, &acquired, &keySpec, &callerFrees);
        EXPECT_EQ(ok != FALSE, c.found);
        if (!ok) continue;
        EXPECT_EQ(keySpec, DWORD(AT_SIGNATURE));
        EXPECT_TRUE(callerFrees);
        char name[256] = {};
        DWORD size = sizeof name;
        ASSERT_TRUE(CryptGetProvParam(acquired, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &size, 0));
        EXPECT_STREQ(name, "tessera-store-test-key");
        CryptReleaseContext(acquired, 0);
    }
    CryptAcquireContextW(&h, container, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
}

// ---- memory and PKCS #7 stores ---------------------------------------------------
TEST(MemoryStore, AddDispositions) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(store, nullptr);
    const CertFacts& ca = Facts("ca");
    struct Step {
        DWORD disposition;
        BOOL ok;
        DWORD error;
        int copies;
    } steps[] = {
        {CERT_STORE_ADD_NEW, TRUE, 0, 1},
        {CERT_STORE_ADD_NEW, FALSE, DWORD(CRYPT_E_EXISTS), 1},
        {CERT_STORE_ADD_REPLACE_EXISTING, TRUE, 0, 1},
        {CERT_STORE_ADD_USE_EXISTING, TRUE, 0, 1},
        {CERT_STORE_ADD_ALWAYS, TRUE, 0, 2},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.disposition);
        PCCERT_CONTEXT added = nullptr;
        BOOL ok = CertAddEncodedCertificateToStore(store, kEncoding, ca.der, DWORD(ca.length), s.disposition, &added);
        EXPECT_EQ(ok, s.ok);
        if (!s.ok) {
            EXPECT_EQ(GetLastError(), s.error);
        } else {
            ASSERT_NE(added, nullptr);
            EXPECT_EQ(added->hCertStore, store);
            CertFreeCertificateContext(added);
        }
        EXPECT_EQ(Count(store, ca), s.copies);
    }
    EXPECT_TRUE(CertCloseStore(store, 0));
}

TEST(MemoryStore, DeleteExtractedReferences) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    for (const CertFacts& c : testdata::kCerts)
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEncoding, c.der, DWORD(c.length), CERT_STORE_ADD_NEW,
                                                     nullptr));
    std::vector<PCCERT_CONTEXT> all;
    for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(store, nullptr); it;
         it = CertEnumCertificatesInStore(store, it))
        all.push_back(CertDuplicateCertificateContext(it));
    EXPECT_EQ(all.size(), std::size(testdata::kCerts));
    // Each deletion consumes the reference it is given.
    for (PCCERT_CONTEXT c : all) EXPECT_TRUE(CertDeleteCertificateFromStore(c));
    EXPECT_EQ(CertEnumCertificatesInStore(store, nullptr), nullptr);
    CertCloseStore(store, 0);
}

TEST(MemoryStore, ContextOutlivesClosedStore) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    const CertFacts& leaf = Facts("leaf");
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEncoding, leaf.der, DWORD(leaf.length), CERT_STORE_ADD_NEW,
                                                 &added));
    CertCloseStore(store, 0);
    EXPECT_EQ(Property(added, CERT_SHA1_HASH_PROP_ID), Hex(leaf.sha1));
    CertFreeCertificateContext(added);
}

TEST(Pkcs7Store, OpensOpenSslBundle) {
    CRYPT_DATA_BLOB blob{DWORD(sizeof testdata::k_bundle_p7b), const_cast<BYTE*>(testdata::k_bundle_p7b)};
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_PKCS7, kEncoding, 0, 0, &blob);
    ASSERT_NE(store, nullptr);
    std::vector<Bytes> hashes;
    for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(store, nullptr); it;
         it = CertEnumCertificatesInStore(store, it))
        hashes.push_back(Property(it, CERT_SHA1_HASH_PROP_ID));
    ASSERT_EQ(hashes.size(), 3u);
    for (const char* name : {"root", "ca", "leaf"})
        EXPECT_NE(std::find(hashes.begin(), hashes.end(), Hex(Facts(name).sha1)), hashes.end()) << name;
    CertCloseStore(store, 0);
}

TEST(Pkcs7Store, RejectsOtherBytes) {
    const CertFacts& leaf = Facts("leaf");
    BYTE garbage[] = {0x30, 0x03, 0x02, 0x01, 0x00};
    struct Case {
        const char* what;
        const BYTE* data;
        DWORD length;
    } cases[] = {{"certificate", leaf.der, DWORD(leaf.length)}, {"garbage", garbage, sizeof garbage}};
    for (const Case& c : cases) {
        CRYPT_DATA_BLOB blob{c.length, const_cast<BYTE*>(c.data)};
        SetLastError(0);
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_PKCS7, kEncoding, 0, 0, &blob);
        EXPECT_EQ(store, nullptr) << c.what;
        if (store) CertCloseStore(store, 0);
    }
}

// ---- system stores ------------------------------------------------------------
class SystemStore : public ::testing::Test {
protected:
    void SetUp() override { Cleanup(); }
    void TearDown() override { Cleanup(); }
    static void Cleanup() {
        for (DWORD location : {DWORD(CERT_SYSTEM_STORE_CURRENT_USER), DWORD(CERT_SYSTEM_STORE_LOCAL_MACHINE)})
            for (const WCHAR* name : {TEXT("MY"), TEXT("CA")})
                for (const char* cert : {"ca", "leaf", "utf8"}) Remove(location, name, Facts(cert));
    }
};

TEST_F(SystemStore, PersonalStoreAddReplaceAndDelete) {
    const CertFacts& leaf = Facts("leaf");
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG, TEXT("MY"));
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEncoding, leaf.der, DWORD(leaf.length),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &added));
    CRYPT_KEY_PROV_INFO info{const_cast<LPWSTR>(TEXT("tessera-test-container")),
                             const_cast<LPWSTR>(TEXT("Microsoft Enhanced Cryptographic Provider v1.0")), 1, 0, 0,
                             nullptr, AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    CertFreeCertificateContext(added);
    // Adding it again as new fails; replacing keeps one copy.
    EXPECT_FALSE(CertAddEncodedCertificateToStore(store, kEncoding, leaf.der, DWORD(leaf.length), CERT_STORE_ADD_NEW,
                                                  nullptr));
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_EXISTS));
    // Wine loses the stored certificate at close after a failed add-new
    // unless the store is committed; Windows and our layer keep it anyway.
    EXPECT_TRUE(CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr));
    CertCloseStore(store, 0);

    // The store name is not case-sensitive; the link to the container persisted.
    HCERTSTORE again = OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, TEXT("My"));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(Count(again, leaf), 1);
    bool linked = false;
    for (PCCERT_CONTEXT it = CertEnumCertificatesInStore(again, nullptr); it;
         it = CertEnumCertificatesInStore(again, it)) {
        if (Property(it, CERT_SHA1_HASH_PROP_ID) != Hex(leaf.sha1)) continue;
        Bytes record = Property(it, CERT_KEY_PROV_INFO_PROP_ID);
        ASSERT_GE(record.size(), sizeof(CRYPT_KEY_PROV_INFO));
        std::vector<ULONGLONG> aligned(record.size() / 8 + 1);
        DWORD size = DWORD(record.size());
        ASSERT_TRUE(CertGetCertificateContextProperty(it, CERT_KEY_PROV_INFO_PROP_ID, aligned.data(), &size));
        auto* got = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(aligned.data());
        EXPECT_EQ(WString(got->pwszContainerName), WString(TEXT("tessera-test-container")));
        EXPECT_EQ(got->dwKeySpec, DWORD(AT_SIGNATURE));
        linked = true;
    }
    EXPECT_TRUE(linked);
    ASSERT_TRUE(CertAddEncodedCertificateToStore(again, kEncoding, leaf.der, DWORD(leaf.length),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    EXPECT_EQ(Count(again, leaf), 1);
    CertCloseStore(again, 0);
    EXPECT_EQ(CountIn(CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY"), leaf), 1);

    Remove(CERT_SYSTEM_STORE_CURRENT_USER, TEXT("my"), leaf);
    EXPECT_EQ(CountIn(CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY"), leaf), 0);
}

TEST_F(SystemStore, StoredAsRegistryBlob) {
    const CertFacts& leaf = Facts("leaf");
    HCERTSTORE store = OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY"));
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEncoding, leaf.der, DWORD(leaf.length),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &added));
    CRYPT_KEY_PROV_INFO info{const_cast<LPWSTR>(TEXT("c1")), const_cast<LPWSTR>(TEXT("p1")), 1, 0, 0, nullptr, 1};
    ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    CertFreeCertificateContext(added);
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(store, 0);

    WString path = WString(TEXT("Software\\Microsoft\\SystemCertificates\\MY\\Certificates\\"));
    for (const char* p = leaf.sha1; *p; ++p) path.push_back(WCHAR(*p));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key, TEXT("Blob"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_BINARY));
    Bytes blob(size);
    ASSERT_EQ(RegQueryValueExW(key, TEXT("Blob"), nullptr, &type, blob.data(), &size), ERROR_SUCCESS);
    RegCloseKey(key);
    // Property records: the certificate (32) and the key-provider record (2).
    bool cert = false, provider = false;
    for (size_t at = 0; at + 12 <= blob.size();) {
        DWORD id, length;
        std::memcpy(&id, &blob[at], 4);
        std::memcpy(&length, &blob[at + 8], 4);
        ASSERT_LE(at + 12 + length, blob.size());
        if (id == kCertificateRecord)
            cert = length == leaf.length && std::memcmp(&blob[at + 12], leaf.der, length) == 0;
        if (id == CERT_KEY_PROV_INFO_PROP_ID) provider = true;
        at += 12 + length;
    }
    EXPECT_TRUE(cert);
    EXPECT_TRUE(provider);
}

TEST_F(SystemStore, MachineCaShowsInCurrentUserCa) {
    const CertFacts& ca = Facts("ca");
    HCERTSTORE machine = OpenSystem(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA"));
    ASSERT_NE(machine, nullptr);
    PCCERT_CONTEXT source = Make(ca);
    ASSERT_TRUE(CertAddCertificateContextToStore(machine, source, CERT_STORE_ADD_NEW, nullptr));
    EXPECT_FALSE(CertAddCertificateContextToStore(machine, source, CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_EXISTS));
    CertFreeCertificateContext(source);
    EXPECT_TRUE(CertControlStore(machine, 0, CERT_STORE_CTRL_COMMIT, nullptr));
    CertCloseStore(machine, 0);
    EXPECT_EQ(CountIn(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("ca"), ca), 1);
    EXPECT_EQ(CountIn(CERT_SYSTEM_STORE_CURRENT_USER, TEXT("CA"), ca), 1);
    Remove(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA"), ca);
    EXPECT_EQ(CountIn(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA"), ca), 0);
    EXPECT_EQ(CountIn(CERT_SYSTEM_STORE_CURRENT_USER, TEXT("CA"), ca), 0);
}

// ---- the trusted-root registry route ------------------------------------------------
Bytes RegistryBlob(const CertFacts& c, bool withCertificate) {
    Bytes blob;
    auto record = [&blob](DWORD id, const Bytes& value) {
        DWORD header[3] = {id, 1, DWORD(value.size())};
        const BYTE* h = reinterpret_cast<const BYTE*>(header);
        blob.insert(blob.end(), h, h + sizeof header);
        blob.insert(blob.end(), value.begin(), value.end());
    };
    record(CERT_SHA1_HASH_PROP_ID, Hex(c.sha1));
    record(CERT_MD5_HASH_PROP_ID, Hex(c.md5));
    if (withCertificate) record(kCertificateRecord, Bytes(c.der, c.der + c.length));
    return blob;
}

TEST(RootRegistryRoute, RegisteredBlobIsATrustedRoot) {
    const CertFacts& root = Facts("root");
    const WCHAR* base = TEXT("SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates");
    WString thumb;
    for (const char* p = root.sha1; *p; ++p) thumb.push_back(WCHAR(*p));
    HKEY certificates = nullptr;
    // Windows always has the key; a fresh Wine prefix creates it on first use.
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, base, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &certificates, nullptr),
              ERROR_SUCCESS);
    struct Case {
        const char* what;
        bool withCertificate;
        int expected;
    } cases[] = {{"blob without property 32", false, 0}, {"property records", true, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HKEY entry = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExW(certificates, thumb.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_READ | KEY_WRITE, nullptr, &entry, &disposition),
                  ERROR_SUCCESS);
        Bytes blob = RegistryBlob(root, c.withCertificate);
        ASSERT_EQ(RegSetValueExW(entry, TEXT("Blob"), 0, REG_BINARY, blob.data(), DWORD(blob.size())), ERROR_SUCCESS);
        RegCloseKey(entry);
        EXPECT_EQ(CountIn(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("ROOT"), root), c.expected);
        EXPECT_EQ(CountIn(CERT_SYSTEM_STORE_CURRENT_USER, TEXT("Root"), root), c.expected);
    }
    // Removing the entry removes the root again.
    EXPECT_EQ(RegDeleteKeyW(certificates, thumb.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(CountIn(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("ROOT"), root), 0);
    EXPECT_EQ(RegDeleteKeyW(certificates, thumb.c_str()), ERROR_FILE_NOT_FOUND);
    RegCloseKey(certificates);
}

// ---- registry ---------------------------------------------------------------------
class Registry : public ::testing::Test {
protected:
    static constexpr const WCHAR* kBase = TEXT("Software\\TesseraStoreTest");
    void SetUp() override { Cleanup(); }
    void TearDown() override { Cleanup(); }
    static void Cleanup() {
        RegDeleteKeyW(HKEY_CURRENT_USER, TEXT("Software\\TesseraStoreTest\\Child\\Grandchild"));
        RegDeleteKeyW(HKEY_CURRENT_USER, TEXT("Software\\TesseraStoreTest\\Child"));
        RegDeleteKeyW(HKEY_CURRENT_USER, TEXT("Software\\TesseraStoreTest\\Other"));
        RegDeleteKeyW(HKEY_CURRENT_USER, kBase);
    }
};

TEST_F(Registry, CreateOpenAndDispositions) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kBase, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, TEXT("Software\\TesseraStoreTest\\Child\\Grandchild"), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, TEXT("SOFTWARE\\tesserastoretest\\CHILD"), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("software\\TESSERASTORETEST"), 0, KEY_READ, &key), ERROR_SUCCESS);
    // A key with subkeys is not deleted.
    EXPECT_EQ(RegDeleteKeyW(key, TEXT("Child")), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(key, TEXT("Child\\Grandchild")), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(key, TEXT("Child")), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(key, TEXT("Child")), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(Registry, ValuesAndSizes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kBase, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    const BYTE binary[] = {0, 1, 2, 3, 0xFF, 0};
    const WCHAR text[] = TEXT("value text");
    const DWORD number = 0x12345678;
    struct Case {
        const WCHAR* name;
        DWORD type;
        const BYTE* data;
        DWORD size;
    } cases[] = {
        {TEXT("Blob"), REG_BINARY, binary, sizeof binary},
        {TEXT("Text"), REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text},
        {TEXT("Number"), REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number},
        {TEXT("Empty"), REG_BINARY, binary, 0},
    };
    for (const Case& c : cases) ASSERT_EQ(RegSetValueExW(key, c.name, 0, c.type, c.data, c.size), ERROR_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        DWORD type = 0, size = 0;
        ASSERT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(size, c.size);
        Bytes value(size + 4);
        if (size) {
            DWORD small = size - 1;
            EXPECT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, value.data(), &small), ERROR_MORE_DATA);
            EXPECT_EQ(small, c.size);
        }
        DWORD big = DWORD(value.size());
        ASSERT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, value.data(), &big), ERROR_SUCCESS);
        EXPECT_EQ(big, c.size);
        EXPECT_EQ(0, std::memcmp(value.data(), c.data, c.size));
    }
    // Names are not case-sensitive; a value is replaced by a new write.
    ASSERT_EQ(RegSetValueExW(key, TEXT("BLOB"), 0, REG_BINARY, binary, 2), ERROR_SUCCESS);
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExW(key, TEXT("blob"), nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(RegDeleteValueW(key, TEXT("Blob")), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, TEXT("Blob")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key, TEXT("Blob"), nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(Registry, EnumeratesSubkeys) {
    for (const WCHAR* name : {TEXT("Software\\TesseraStoreTest\\Other"), TEXT("Software\\TesseraStoreTest\\Child")}) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kBase, 0, KEY_READ, &key), ERROR_SUCCESS);
    std::vector<WString> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD length = 256;
        LSTATUS rc = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(length, DWORD(lstrlenW(name)));
        names.emplace_back(name);
    }
    EXPECT_EQ(names, (std::vector<WString>{TEXT("Child"), TEXT("Other")}));
    WCHAR tiny[3];
    DWORD length = 3;
    EXPECT_EQ(RegEnumKeyExW(key, 0, tiny, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    RegCloseKey(key);
}

}  // namespace
