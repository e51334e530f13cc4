// The PKCS #1 private-key decomposition: any input is converted or refused
// cleanly, and whenever OpenSSL also reads the input as an RSA private key,
// OpenSSL reads the same key back from the PRIVATEKEYBLOB.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "FuzzSupport.h"
#include "ImportEncryptCert.h"

namespace {

const char* const kParameters[] = {
    OSSL_PKEY_PARAM_RSA_N,        OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
    OSSL_PKEY_PARAM_RSA_FACTOR1,  OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};

BIGNUM* Parameter(const EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    EVP_PKEY_get_bn_param(key, name, &value);
    return value;
}

// Whether the two keys agree on every parameter; keys with a negative or
// missing parameter are not compared (the blob has no sign).
bool SameKey(const EVP_PKEY* fromDer, const EVP_PKEY* fromBlob) {
    bool same = true;
    for (const char* name : kParameters) {
        BIGNUM* a = Parameter(fromDer, name);
        BIGNUM* b = Parameter(fromBlob, name);
        if (a && b && !BN_is_negative(a)) same = same && BN_cmp(a, b) == 0;
        BN_free(a);
        BN_free(b);
    }
    return same;
}

bool AnyNegative(const EVP_PKEY* key) {
    bool negative = false;
    for (const char* name : kParameters) {
        BIGNUM* value = Parameter(key, name);
        negative = negative || !value || BN_is_negative(value);
        BN_free(value);
    }
    return negative;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const unsigned char* cursor = data;
    EVP_PKEY* fromDer = d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &cursor, long(size));
    for (LONG bits : {512, 528, 1008, 1024, 2048, 4096, 0, -16, 1000}) {
        SecretBytes blob;
        if (FAILED(getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(data, DWORD(size), bits, blob))) continue;
        FUZZ_CHECK(bits > 0 && bits % 16 == 0);
        FUZZ_CHECK(blob.Size() == 20 + size_t(bits) / 8 * 2 + size_t(bits) / 16 * 5);
        if (!fromDer || AnyNegative(fromDer)) continue;
        const unsigned char* blobCursor = blob.Data();
        EVP_PKEY* fromBlob = b2i_PrivateKey(&blobCursor, long(blob.Size()));
        FUZZ_CHECK(fromBlob != nullptr);
        FUZZ_CHECK(SameKey(fromDer, fromBlob));
        EVP_PKEY_free(fromBlob);
    }
    EVP_PKEY_free(fromDer);
    return 0;
}
