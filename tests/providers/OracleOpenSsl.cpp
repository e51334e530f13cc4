// The contract's independent side in the Linux build: OpenSSL libcrypto.
// Also gives every test program its own empty key store directory.
#include "Oracle.h"
#include "OracleSm2Key.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <filesystem>
#include <memory>

namespace oracle {
namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
template <typename T>
using Ptr = std::unique_ptr<T, Free>;

Ptr<EVP_PKEY> RsaPublic(const Bytes& der) {
    const unsigned char* p = der.data();
    return Ptr<EVP_PKEY>(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, long(der.size())));
}

Ptr<EVP_PKEY> Sm2Public(const Bytes& point) { return Ptr<EVP_PKEY>(NewSm2PublicKey(point)); }

Bytes Bn(const EVP_PKEY* pkey, const char* name, size_t length) {
    BIGNUM* bn = nullptr;
    EVP_PKEY_get_bn_param(pkey, name, &bn);
    Bytes out(length);
    BN_bn2lebinpad(bn, out.data(), int(length));
    BN_clear_free(bn);
    return out;
}

void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((unsigned char)(v >> (8 * i)));
}

}  // namespace

bool Available() { return true; }
bool UnderWine() { return false; }

bool ParseRsaPublicKey(const Bytes& der, Bytes& modulus, uint32_t& exponent) {
    auto pkey = RsaPublic(der);
    if (!pkey) return false;
    BIGNUM *n = nullptr, *e = nullptr;
    EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_RSA_N, &n);
    EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_RSA_E, &e);
    modulus.assign(size_t(BN_num_bytes(n)), 0);
    BN_bn2bin(n, modulus.data());
    exponent = uint32_t(BN_get_word(e));
    BN_free(n);
    BN_free(e);
    return true;
}

bool VerifyRsaSha1(const Bytes& publicKeyDer, const Bytes& message, const Bytes& signature) {
    auto pkey = RsaPublic(publicKeyDer);
    Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    return pkey && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha1(), nullptr, pkey.get()) > 0 &&
           EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

Bytes RsaEncryptPkcs1(const Bytes& publicKeyDer, const Bytes& plain) {
    auto pkey = RsaPublic(publicKeyDer);
    Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    size_t length = 0;
    EVP_PKEY_encrypt_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    EVP_PKEY_encrypt(ctx.get(), nullptr, &length, plain.data(), plain.size());
    Bytes out(length);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &length, plain.data(), plain.size()) <= 0) return {};
    out.resize(length);
    return out;
}

RsaKey GenerateRsa(unsigned bits) {
    RsaKey key;
    Ptr<EVP_PKEY> pkey(EVP_RSA_gen(bits));
    unsigned char* der = nullptr;
    int n = i2d_PublicKey(pkey.get(), &der);
    key.publicKeyDer.assign(der, der + n);
    OPENSSL_free(der);
    der = nullptr;
    n = i2d_PrivateKey(pkey.get(), &der);
    key.privateKeyDer.assign(der, der + n);
    OPENSSL_free(der);
    // PRIVATEKEYBLOB: header, RSAPUBKEY "RSA2", then the numbers least significant byte first.
    Bytes& b = key.privateBlob;
    b = {0x07, 0x02, 0x00, 0x00};
    Put32(b, 0xA400);
    Put32(b, 0x32415352);
    Put32(b, bits);
    BIGNUM* e = nullptr;
    EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_RSA_E, &e);
    Put32(b, uint32_t(BN_get_word(e)));
    BN_free(e);
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                           OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                           OSSL_PKEY_PARAM_RSA_D};
    for (int i = 0; i < 7; ++i) {
        Bytes part = Bn(pkey.get(), names[i], (i == 0 || i == 6) ? bits / 8 : bits / 16);
        b.insert(b.end(), part.begin(), part.end());
    }
    return key;
}

Bytes TripleDesEncrypt(const Bytes& key, const Bytes& iv, const Bytes& plain) {
    Ptr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    const EVP_CIPHER* cipher = iv.empty() ? EVP_des_ede3_ecb() : EVP_des_ede3_cbc();
    Bytes out(plain.size() + 16);
    int a = 0, b = 0;
    EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data());
    EVP_EncryptUpdate(ctx.get(), out.data(), &a, plain.data(), int(plain.size()));
    EVP_EncryptFinal_ex(ctx.get(), out.data() + a, &b);
    out.resize(size_t(a + b));
    return out;
}

Bytes RandomBytes(size_t n) {
    Bytes out(n);
    RAND_bytes(out.data(), int(n));
    return out;
}




bool RsaPrivateBlobValid(const Bytes& blob) {
    if (blob.size() < 20) return false;
    uint32_t bits, exponent;
    std::memcpy(&bits, &blob[12], 4);
    std::memcpy(&exponent, &blob[16], 4);
    const size_t full = bits / 8, half = bits / 16;
    if (bits == 0 || blob.size() != 20 + 2 * full + 5 * half) return false;
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                           OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                           OSSL_PKEY_PARAM_RSA_D};
    Ptr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    std::vector<Ptr<BIGNUM>> values;
    values.emplace_back(BN_new());
    BN_set_word(values.back().get(), exponent);
    OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, values.back().get());
    size_t offset = 20;
    for (int i = 0; i < 7; ++i) {
        size_t length = (i == 0 || i == 6) ? full : half;
        values.emplace_back(BN_lebin2bn(&blob[offset], int(length), nullptr));
        OSSL_PARAM_BLD_push_BN(bld.get(), names[i], values.back().get());
        offset += length;
    }
    Ptr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* pkey = nullptr;
    if (EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &pkey, EVP_PKEY_KEYPAIR, params.get()) <= 0)
        return false;
    Ptr<EVP_PKEY> key(pkey);
    Ptr<EVP_PKEY_CTX> check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    return check && EVP_PKEY_check(check.get()) == 1;
}

Bytes IssueCertificate(const Bytes& publicKey, bool sm2) {
    Ptr<EVP_PKEY> subject = sm2 ? Sm2Public(publicKey) : RsaPublic(publicKey);
    Ptr<EVP_PKEY> ca(EVP_RSA_gen(2048));
    Ptr<X509> cert(X509_new());
    X509_set_version(cert.get(), 2);
    // A random serial: the stores take issuer and serial for the certificate's identity.
    Bytes serial = RandomBytes(8);
    serial[0] &= 0x7F;
    Ptr<BIGNUM> serialValue(BN_bin2bn(serial.data(), int(serial.size()), nullptr));
    BN_to_ASN1_INTEGER(serialValue.get(), X509_get_serialNumber(cert.get()));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Contract Test"), -1,
                               -1, 0);
    X509_NAME* issuer = X509_get_issuer_name(cert.get());
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Contract CA"), -1,
                               -1, 0);
    X509_set_pubkey(cert.get(), subject.get());
    X509_sign(cert.get(), ca.get(), EVP_sha256());
    unsigned char* der = nullptr;
    int n = i2d_X509(cert.get(), &der);
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

}  // namespace oracle

namespace {

// Points the key store at a directory of this test program's own.
class StoreEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/tessera-providers-XXXXXX";
        const char* dir = mkdtemp(pattern);
        ASSERT_NE(dir, nullptr);
        m_directory = dir;
        if (!std::getenv("TESSERA_KEYSTORE_CHILD")) setenv("TESSERA_STORE_DIR", dir, 1);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }

private:
    std::string m_directory;
};

[[maybe_unused]] ::testing::Environment* const g_storeEnvironment =
    ::testing::AddGlobalTestEnvironment(new StoreEnvironment);

}  // namespace
