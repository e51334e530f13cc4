// The contract's SM2 checks, on OpenSSL libcrypto: in the Linux build, and
// in the Windows build where libcrypto is built for the providers' DLL.
#include "OracleSm2Key.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <memory>

namespace oracle {
namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
template <typename T>
using Ptr = std::unique_ptr<T, Free>;

Ptr<EVP_PKEY> Sm2Public(const Bytes& point) { return Ptr<EVP_PKEY>(NewSm2PublicKey(point)); }

}  // namespace

EVP_PKEY* NewSm2PublicKey(const Bytes& point) {
    Ptr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_sm2, 0);
    OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    Ptr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* pkey = nullptr;
    if (EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &pkey, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0)
        return nullptr;
    return pkey;
}

bool Sm2Available() { return true; }

bool VerifySm2(const Bytes& point, const Bytes& message, const Bytes& rs, const std::string& distId) {
    auto pkey = Sm2Public(point);
    if (!pkey || rs.size() != 64) return false;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), 32, nullptr), BN_bin2bn(rs.data() + 32, 32, nullptr));
    unsigned char* raw = nullptr;
    int rawLength = i2d_ECDSA_SIG(sig, &raw);
    ECDSA_SIG_free(sig);
    Bytes derSignature(raw, raw + rawLength);
    OPENSSL_free(raw);
    Ptr<EVP_MD_CTX> mctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(pkey.get(), nullptr);
    if (!distId.empty()) EVP_PKEY_CTX_set1_id(pctx, distId.data(), distId.size());
    EVP_MD_CTX_set_pkey_ctx(mctx.get(), pctx);
    bool ok = EVP_DigestVerifyInit(mctx.get(), nullptr, EVP_sm3(), nullptr, pkey.get()) > 0 &&
              EVP_DigestVerify(mctx.get(), derSignature.data(), derSignature.size(), message.data(),
                               message.size()) == 1;
    mctx.reset();
    EVP_PKEY_CTX_free(pctx);
    return ok;
}

void GenerateSm2(Bytes& scalar, Bytes& point) {
    Ptr<EVP_PKEY> pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    BIGNUM* d = nullptr;
    EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d);
    scalar.assign(32, 0);
    BN_bn2binpad(d, scalar.data(), 32);
    BN_clear_free(d);
    point.assign(65, 0);
    size_t length = 0;
    EVP_PKEY_get_octet_string_param(pkey.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &length);
}

Bytes Sm2EncryptC1C3C2(const Bytes& point, const Bytes& plain) {
    auto pkey = Sm2Public(point);
    Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    size_t length = 0;
    EVP_PKEY_encrypt_init(ctx.get());
    EVP_PKEY_encrypt(ctx.get(), nullptr, &length, plain.data(), plain.size());
    Bytes der(length);
    if (EVP_PKEY_encrypt(ctx.get(), der.data(), &length, plain.data(), plain.size()) <= 0) return {};
    // DER SEQUENCE { INTEGER x, INTEGER y, OCTET STRING C3, OCTET STRING C2 }.
    const unsigned char* p = der.data();
    STACK_OF(ASN1_TYPE)* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, long(length));
    Bytes out(64, 0);
    for (int i = 0; i < 2; ++i) {
        Ptr<BIGNUM> bn(ASN1_INTEGER_to_BN(sk_ASN1_TYPE_value(seq, i)->value.integer, nullptr));
        BN_bn2binpad(bn.get(), out.data() + 32 * i, 32);
    }
    for (int i = 2; i < 4; ++i) {
        const ASN1_OCTET_STRING* s = sk_ASN1_TYPE_value(seq, i)->value.octet_string;
        out.insert(out.end(), s->data, s->data + s->length);
    }
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    return out;
}


}  // namespace oracle
