#include "TokenFixture.h"

#include <windows.h>
#include <wincrypt.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace tessera::test {
namespace {

// The public key of a PUBLICKEYBLOB: BLOBHEADER (8), RSAPUBKEY (magic,
// bit length, exponent; 12), then the modulus least significant byte first.
EVP_PKEY* PublicKeyFromBlob(const std::vector<BYTE>& blob) {
    if (blob.size() < 20) return nullptr;
    DWORD bits = 0, exponent = 0;
    std::copy(blob.begin() + 12, blob.begin() + 16, reinterpret_cast<BYTE*>(&bits));
    std::copy(blob.begin() + 16, blob.begin() + 20, reinterpret_cast<BYTE*>(&exponent));
    if (blob.size() < 20 + bits / 8) return nullptr;
    BIGNUM* n = BN_lebin2bn(blob.data() + 20, int(bits / 8), nullptr);
    BIGNUM* e = BN_new();
    BN_set_word(e, exponent);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* pkey = nullptr;
    if (ctx && EVP_PKEY_fromdata_init(ctx) == 1) EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(n);
    BN_free(e);
    return pkey;
}

std::vector<BYTE> Certificate(EVP_PKEY* subjectKey, const char* cn) {
    std::vector<BYTE> der;
    EVP_PKEY* issuer = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* x = X509_new();
    if (issuer && x) {
        X509_set_version(x, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
        X509_gmtime_adj(X509_getm_notBefore(x), 0);
        X509_gmtime_adj(X509_getm_notAfter(x), 3600);
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
        X509_NAME_add_entry_by_txt(X509_get_issuer_name(x), "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("Fixture CA"), -1, -1, 0);
        X509_set_pubkey(x, subjectKey);
        if (X509_sign(x, issuer, EVP_sha256()) > 0) {
            unsigned char* out = nullptr;
            int length = i2d_X509(x, &out);
            if (length > 0) der.assign(out, out + length);
            OPENSSL_free(out);
        }
    }
    X509_free(x);
    EVP_PKEY_free(issuer);
    return der;
}

}  // namespace

bool AddRsaKey(const std::u16string& container, unsigned bits, const char* cn) {
    const WCHAR provider[] = u"Tessera RSA Software CSP";
    HCRYPTPROV prov = 0;
    CryptAcquireContextW(&prov, container.c_str(), provider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    if (!CryptAcquireContextW(&prov, container.c_str(), provider, PROV_RSA_FULL, CRYPT_NEWKEYSET)) return false;
    HCRYPTKEY key = 0;
    bool ok = CryptGenKey(prov, AT_SIGNATURE, bits << 16, &key) != FALSE;
    DWORD size = 0;
    ok = ok && CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size);
    std::vector<BYTE> blob(size);
    ok = ok && CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size);
    EVP_PKEY* pub = ok ? PublicKeyFromBlob(blob) : nullptr;
    std::vector<BYTE> cert = pub ? Certificate(pub, cn) : std::vector<BYTE>();
    EVP_PKEY_free(pub);
    ok = !cert.empty() && CryptSetKeyParam(key, KP_CERTIFICATE, cert.data(), 0);
    if (key) CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    return ok;
}

}  // namespace tessera::test
