// A user store holding more than one response can carry: certificates put
// there by other programs (or by earlier versions, before installations
// were bounded), made here with OpenSSL. The listing then fails with a
// small answer and the conversation goes on.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "JSONUtility.h"
#include "TesseraHost.h"
#include "TestPlatform.h"

namespace {

// A certificate with a long description in its subject and the given serial.
std::vector<BYTE> LongNamedCertificate(EVP_PKEY* key, long serial, size_t nameLength) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    const std::string description(nameLength, 'd');
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Long"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "description", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(description.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    unsigned char* der = nullptr;
    int length = i2d_X509(cert, &der);
    std::vector<BYTE> out(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    X509_free(cert);
    return out;
}

void AddLinkedCertificate(const std::vector<BYTE>& der) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY"));
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT context = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &context));
    WCHAR container[] = TEXT("{listing}");
    WCHAR provider[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
    CRYPT_KEY_PROV_INFO info = {};
    info.pwszContainerName = container;
    info.pwszProvName = provider;
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_KEYEXCHANGE;
    EXPECT_TRUE(CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    CertFreeCertificateContext(context);
    CertCloseStore(store, 0);
}

std::string Respond(const char* request) {
    CharBuffer text(new char[std::strlen(request) + 1]);
    std::strcpy(text.get(), request);
    JSONText response;
    EXPECT_EQ(ParseAndRespondRequest(text, &response), VELA_OK);
    return response ? std::string(response.get()) : std::string();
}

TEST(ListingSize, AListingThatCannotBeAnsweredFailsWithASmallResponse) {
    const std::string dir = testsupport::MakeTemporaryDirectory();
    testsupport::SetEnvironment("TESSERA_STORE_DIR", dir.c_str());
    EVP_PKEY* key = EVP_EC_gen("P-256");
    ASSERT_NE(key, nullptr);
    CCryptoAgent agent;
    g_pobjCryptoAgent = &agent;
    const char* kListing = R"({"function":"VELA_GetAllCertInfo","params":[]})";
    // Records of some 50,000 characters: 20 still fit in a response, 21 do not.
    struct Step {
        long certificates;
        bool listed;
    } steps[] = {{20, true}, {21, false}};
    long added = 0;
    for (const Step& step : steps) {
        for (; added < step.certificates; ++added) AddLinkedCertificate(LongNamedCertificate(key, added + 1, 50000));
        std::string response = Respond(kListing);
        if (step.listed) {
            EXPECT_LT(response.size(), 1048576u - 1024u);
            EXPECT_EQ(response.rfind(R"({"function":"VELA_GetAllCertInfo","errorcode":0,"result":")", 0), 0u);
        } else {
            // (At most the start of a listing is shown when it comes back instead.)
            EXPECT_EQ(response.substr(0, 100), R"({"function":"VELA_GetAllCertInfo","errorcode":-1,"result":false})");
        }
        EXPECT_EQ(Respond(R"({"function":"checkHost","params":[]})"),
                  R"({"function":"CheckHost","errorcode":0,"result":0})");
    }
    g_pobjCryptoAgent = nullptr;
    EVP_PKEY_free(key);
}

}  // namespace
