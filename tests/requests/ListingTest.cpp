// The certificate listing and the certificate accessors, on certificates
// that OpenSSL issued (make-listing-certs.sh) with fixed serial numbers,
// validity and extensions. The test runs with TZ set to UTC+8.
#include <gtest/gtest.h>

#include "CertificateInfo.h"
#include "CertificateRequisition.h"
#include "CryptoAgent.h"
#include "PKCS10Request.h"
#include "TestBytes.h"
#include "TestPlatform.h"

using testbytes::Bytes;
using testbytes::W;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct IsolatedStores {
    IsolatedStores() {
        std::string dir = testsupport::MakeTemporaryDirectory();
        if (!dir.empty()) testsupport::SetEnvironment("TESSERA_STORE_DIR", dir.c_str());
    }
} g_isolatedStores;

Bytes ReadCertificate(const char* name) {
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(testsupport::ReadFile(std::string(TESSERA_LISTING_CERTS) + "/" + name, bytes)) << name;
    return Bytes(bytes.begin(), bytes.end());
}

// Adds the certificate to the store, with a key-provider link naming
// pwszProvider (nullptr: no link at all; an empty text: a link without a
// provider name).
PCCERT_CONTEXT AddCertificate(HCERTSTORE hStore, const char* file, const WCHAR* pwszProvider,
                              const WCHAR* pwszContainer = TEXT("listing-container")) {
    Bytes der = ReadCertificate(file);
    PCCERT_CONTEXT pContext = nullptr;
    EXPECT_TRUE(CertAddEncodedCertificateToStore(hStore, kEncoding, der.data(), (DWORD)der.size(),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &pContext))
        << file << " " << std::hex << GetLastError();
    if (pContext && pwszProvider) {
        WString container = pwszContainer, provider = pwszProvider;
        CRYPT_KEY_PROV_INFO info = {};
        info.pwszContainerName = container.data();
        info.pwszProvName = provider.empty() ? nullptr : provider.data();
        info.dwProvType = PROV_RSA_FULL;
        info.dwKeySpec = AT_KEYEXCHANGE;
        EXPECT_TRUE(CertSetCertificateContextProperty(pContext, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) << file;
    }
    return pContext;
}

WString ReplaceQuotes(const WString& text) {
    WString out;
    for (WCHAR c : text)
        if (c != '"') out.push_back(c);
    return out;
}

const WString kRecordA = W("C=CN, O=Tessera, CN=Listing A;01020a;2024-01-05 10:03:04;2034-07-01 07:59:58;Prov A");
const WString kRecordD =
    W("O=\xE4\xB8\xAD\xE5\x9B\xBD\xE9\x93\xB6\xE8\xA1\x8C, CN=\xE5\xBC\xA0\xE4\xB8\x89;00ff10;"
      "2024-01-05 10:03:04;2034-07-01 07:59:58;Prov D \xE4\xB8\xAD");

TEST(CertificateListing, ListsOnlyCertificatesWithAKeyProvider) {
    HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(hStore, nullptr);
    WString empty = TEXT("x");
    EXPECT_EQ(GetAllCertificatesInfoinStore(empty, hStore), VELA_OK);
    EXPECT_EQ(empty, WString());

    PCCERT_CONTEXT contexts[] = {
        AddCertificate(hStore, "B.der", nullptr),
        AddCertificate(hStore, "A.der", TEXT("Prov A")),
        AddCertificate(hStore, "C.der", TEXT("")),
        AddCertificate(hStore, "D.der", W("Prov D \xE4\xB8\xAD").c_str()),
    };
    WString text;
    ASSERT_EQ(GetAllCertificatesInfoinStore(text, hStore), VELA_OK);
    // Wine's name rendering quotes non-ASCII values despite
    // CERT_NAME_STR_NO_QUOTING_FLAG; the quotes are not ours to check.
    WString unquoted = ReplaceQuotes(text);
    // The records follow the store's enumeration order.
    EXPECT_TRUE(unquoted == kRecordA + TEXT("||") + kRecordD || unquoted == kRecordD + TEXT("||") + kRecordA)
        << testing::PrintToString(text);

    // Only the certificates without a provider: nothing is listed.
    for (PCCERT_CONTEXT c : {contexts[1], contexts[3]}) CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c));
    ASSERT_EQ(GetAllCertificatesInfoinStore(text, hStore), VELA_OK);
    EXPECT_EQ(text, WString());

    for (PCCERT_CONTEXT c : contexts)
        if (c) CertFreeCertificateContext(c);
    CertCloseStore(hStore, 0);
    EXPECT_EQ(GetAllCertificatesInfoinStore(text, nullptr), E_INVALIDARG);
}

HCERTSTORE OpenMy() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("My"));
}

// Removes the certificates this test put into the user's store.
void RemoveListingCertificates() {
    HCERTSTORE hMy = OpenMy();
    ASSERT_NE(hMy, nullptr);
    std::vector<PCCERT_CONTEXT> ours;
    PCCERT_CONTEXT p = nullptr;
    while ((p = CertEnumCertificatesInStore(hMy, p)) != nullptr) {
        WideBuffer cn;
        DWORD length = 0;
        if (SUCCEEDED(GetCertCN(p, cn, length)) && WString(cn.get()).rfind(TEXT("Listing "), 0) == 0)
            ours.push_back(CertDuplicateCertificateContext(p));
    }
    for (PCCERT_CONTEXT c : ours) CertDeleteCertificateFromStore(c);
    CertControlStore(hMy, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(hMy, 0);
}

TEST(CertificateListing, AgentListsTheUsersStore) {
    RemoveListingCertificates();
    HCERTSTORE hMy = OpenMy();
    ASSERT_NE(hMy, nullptr);
    CertFreeCertificateContext(AddCertificate(hMy, "A.der", TEXT("Prov A")));
    CertFreeCertificateContext(AddCertificate(hMy, "B.der", nullptr));
    CertControlStore(hMy, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(hMy, 0);

    CCryptoAgent agent;
    BSTR list = nullptr;
    ASSERT_EQ(agent.VELA_GetAllCertInfo(&list), VELA_OK);
    ASSERT_NE(list, nullptr);
    std::vector<WString> records;
    SplitStrings(list, records);
    SysFreeString(list);
    int listedA = 0;
    for (const WString& record : records) {
        if (record == kRecordA) ++listedA;
        EXPECT_EQ(record.find(TEXT("Listing B")), WString::npos);
    }
    EXPECT_EQ(listedA, 1) << testing::PrintToString(records);
    EXPECT_EQ(agent.LastError(), VELA_OK);
    RemoveListingCertificates();
}

TEST(CertificateAccessors, AnswerEveryQuery) {
    HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(hStore, nullptr);
    PCCERT_CONTEXT a = AddCertificate(hStore, "A.der", TEXT("Prov A"));
    PCCERT_CONTEXT b = AddCertificate(hStore, "B.der", nullptr);
    PCCERT_CONTEXT d = AddCertificate(hStore, "D.der", nullptr);
    ASSERT_TRUE(a && b && d);

    auto text = [](PCCERT_CONTEXT c, DWORD query) {
        ByteBuffer result;
        DWORD length = 0;
        HRESULT hr = QueryCertContextInfo(c, query, &result, length);
        EXPECT_EQ(hr, VELA_OK) << query;
        if (FAILED(hr)) return WString();
        const WCHAR* p = reinterpret_cast<const WCHAR*>(result.get());
        return WString(p);
    };
    EXPECT_EQ(text(a, QUERYID_SUBJECT_FULL), W("C=CN, O=Tessera, CN=Listing A"));
    EXPECT_EQ(text(a, QUERYID_SUBJECT_SIMPLE), W("CN, Tessera, Listing A"));
    EXPECT_EQ(text(a, QUERYID_ISSUER), W("CN=Tessera Listing Test CA"));
    EXPECT_EQ(text(a, QUERYID_CN), W("Listing A"));
    EXPECT_EQ(ReplaceQuotes(text(d, QUERYID_CN)), W("\xE5\xBC\xA0\xE4\xB8\x89"));

    ByteBuffer serial;
    DWORD length = 0;
    ASSERT_EQ(QueryCertContextInfo(d, QUERYID_SERIALNUMBER, &serial, length), VELA_OK);
    EXPECT_EQ(testbytes::ToHex(serial.get(), length), "10 FF 00");

    SYSTEMTIME st = {};
    ASSERT_EQ(QueryCertContextInfo(a, QUERYID_FROMDATE, nullptr, length, &st), VELA_OK);
    EXPECT_EQ(length, 16u);
    WString time;
    ASSERT_EQ(GetTimeString(&st, time), VELA_OK);
    EXPECT_EQ(time, W("2024-01-05 02:03:04"));
    EXPECT_EQ(st.wDayOfWeek, 5);  // a Friday
    ASSERT_EQ(ConvertUTCtimetoLocalTime(&st), VELA_OK);
    ASSERT_EQ(GetTimeString(&st, time), VELA_OK);
    EXPECT_EQ(time, W("2024-01-05 10:03:04"));
    ASSERT_EQ(QueryCertContextInfo(a, QUERYID_TODATE, nullptr, length, &st), VELA_OK);
    ASSERT_EQ(GetTimeString(&st, time), VELA_OK);
    EXPECT_EQ(time, W("2034-06-30 23:59:58"));
    EXPECT_EQ(GetTimeString(nullptr, time), E_INVALIDARG);

    DWORD usage = 0;
    ASSERT_EQ(QueryCertContextInfo(a, QUERYID_KEYUSAGE, nullptr, length, &usage), VELA_OK);
    EXPECT_EQ(usage, 0xC0u);
    ASSERT_EQ(QueryCertContextInfo(d, QUERYID_KEYUSAGE, nullptr, length, &usage), VELA_OK);
    EXPECT_EQ(usage, 0x20u);
    EXPECT_EQ(QueryCertContextInfo(b, QUERYID_KEYUSAGE, nullptr, length, &usage), VELA_E_NO_KEY_USAGE);

    ByteBuffer keyID;
    ASSERT_EQ(QueryCertContextInfo(a, QUERYID_SUBJECTKEYID, &keyID, length), VELA_OK);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(GetCertSubjectKeyID(a, nullptr, length), VELA_OK);
    EXPECT_EQ(QueryCertContextInfo(b, QUERYID_SUBJECTKEYID, &keyID, length), VELA_E_NO_SUBJECT_KEY_ID);

    for (DWORD query : {0u, 12u, 0xFFFFFFFFu})
        EXPECT_EQ(QueryCertContextInfo(a, query, &keyID, length), VELA_E_QUERY_TYPE_NOT_SUPPORTED) << query;

    CertFreeCertificateContext(a);
    CertFreeCertificateContext(b);
    CertFreeCertificateContext(d);
    CertCloseStore(hStore, 0);
}

// The provider and container names come from the provider that holds the
// certificate's key.
TEST(CertificateAccessors, ReadTheKeyProvider) {
    const WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
    WString container;
    ByteBuffer key;
    DWORD cbKey = 0;
    HCRYPTPROV hProv = 0;
    ASSERT_EQ(CreatePublicKey(container, key, 1024, kEnhanced, TRUE, AT_KEYEXCHANGE, TRUE, hProv, cbKey, 0),
              VELA_OK);
    CryptReleaseContext(hProv, 0);

    HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(hStore, nullptr);
    PCCERT_CONTEXT a = AddCertificate(hStore, "A.der", kEnhanced, container.c_str());
    ASSERT_NE(a, nullptr);
    ByteBuffer result;
    DWORD length = 0;
    ASSERT_EQ(QueryCertContextInfo(a, QUERYID_PROVIDERNAME, &result, length), VELA_OK);
    EXPECT_EQ(WString(reinterpret_cast<const WCHAR*>(result.get())), WString(kEnhanced));
    ASSERT_EQ(QueryCertContextInfo(a, QUERYID_CONTAINERNAME, &result, length), VELA_OK);
    EXPECT_EQ(WString(reinterpret_cast<const WCHAR*>(result.get())), container);

    PCCERT_CONTEXT b = AddCertificate(hStore, "B.der", nullptr);
    EXPECT_LT(QueryCertContextInfo(b, QUERYID_PROVIDERNAME, &result, length), 0);

    CertFreeCertificateContext(a);
    CertFreeCertificateContext(b);
    CertCloseStore(hStore, 0);
    DeleteMultiCertContainer(container, WString(), kEnhanced);
}

}  // namespace
