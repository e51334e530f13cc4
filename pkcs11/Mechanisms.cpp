// Mechanisms: RSA PKCS #1 v1.5 (raw and with SHA-1/256/384), RSA-PSS over a
// given hash, RSA PKCS #1 v1.5 decryption, and SM2 with SM3.
#include "Mechanisms.h"

#include <wincrypt.h>

#include <openssl/ec.h>
#include <openssl/rsa.h>

#include <cstring>

namespace tessera::pkcs11 {

namespace {

const char kSm2DistinguishingId[] = "1234567812345678";

struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};

const EVP_MD* DigestOf(ck_mechanism_type_t mechanism) {
    switch (mechanism) {
    case CKM_SHA_1: case CKM_SHA1_RSA_PKCS: return EVP_sha1();
    case CKM_SHA256: case CKM_SHA256_RSA_PKCS: return EVP_sha256();
    case CKM_SHA384: case CKM_SHA384_RSA_PKCS: return EVP_sha384();
    case CKM_SHA512: return EVP_sha512();
    case CKM_SHA224: return EVP_sha224();
    default: return nullptr;
    }
}

const EVP_MD* MgfDigest(unsigned long mgf) {
    switch (mgf) {
    case CKG_MGF1_SHA1: return EVP_sha1();
    case CKG_MGF1_SHA224: return EVP_sha224();
    case CKG_MGF1_SHA256: return EVP_sha256();
    case CKG_MGF1_SHA384: return EVP_sha384();
    case CKG_MGF1_SHA512: return EVP_sha512();
    default: return nullptr;
    }
}

bool IsRsaMechanism(ck_mechanism_type_t m) {
    return m == CKM_RSA_PKCS || m == CKM_SHA1_RSA_PKCS || m == CKM_SHA256_RSA_PKCS || m == CKM_SHA384_RSA_PKCS ||
           m == CKM_RSA_PKCS_PSS;
}

ck_rv_t ReadPssParameters(const ck_mechanism& mechanism, Operation& op) {
    if (!mechanism.parameter || mechanism.parameter_len != sizeof(ck_rsa_pkcs_pss_params))
        return CKR_MECHANISM_PARAM_INVALID;
    ck_rsa_pkcs_pss_params params;
    std::memcpy(&params, mechanism.parameter, sizeof params);
    op.pssHash = DigestOf(params.hash_alg);
    op.pssMgf = MgfDigest(params.mgf);
    op.pssSalt = params.s_len;
    if (!op.pssHash || !op.pssMgf || params.hash_alg == CKM_SHA224 || params.hash_alg == CKM_SHA512)
        return CKR_MECHANISM_PARAM_INVALID;
    return CKR_OK;
}

size_t ModulusBytes(const EVP_PKEY* key) { return size_t(EVP_PKEY_get_size(key)); }

ck_rv_t SignRsa(Operation& op, const Bytes& data, Bytes& signature) {
    const size_t k = ModulusBytes(op.key.get());
    signature.assign(k, 0);
    size_t length = k;
    if (op.mechanism == CKM_SHA1_RSA_PKCS || op.mechanism == CKM_SHA256_RSA_PKCS ||
        op.mechanism == CKM_SHA384_RSA_PKCS) {
        std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
        EVP_PKEY_CTX* pctx = nullptr;
        if (!md || EVP_DigestSignInit(md.get(), &pctx, DigestOf(op.mechanism), nullptr, op.key.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1 ||
            EVP_DigestSign(md.get(), signature.data(), &length, data.data(), data.size()) != 1)
            return CKR_FUNCTION_FAILED;
        signature.resize(length);
        return CKR_OK;
    }
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(op.key.get(), nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) return CKR_FUNCTION_FAILED;
    if (op.mechanism == CKM_RSA_PKCS) {
        if (data.size() + 11 > k) return CKR_DATA_LEN_RANGE;
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) return CKR_FUNCTION_FAILED;
    } else {
        const size_t hashLength = size_t(EVP_MD_get_size(op.pssHash));
        if (data.size() != hashLength) return CKR_DATA_LEN_RANGE;
        if (op.pssSalt + hashLength + 2 > k) return CKR_MECHANISM_PARAM_INVALID;
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) != 1 ||
            EVP_PKEY_CTX_set_signature_md(ctx.get(), op.pssHash) != 1 ||
            EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), op.pssMgf) != 1 ||
            EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), int(op.pssSalt)) != 1)
            return CKR_FUNCTION_FAILED;
    }
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &length, data.data(), data.size()) != 1)
        return CKR_FUNCTION_FAILED;
    signature.resize(length);
    return CKR_OK;
}

bool PutBigEndian(const BIGNUM* bn, unsigned char* out) { return BN_bn2binpad(bn, out, 32) == 32; }

ck_rv_t SignSm2(Operation& op, const Bytes& data, Bytes& signature) {
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> pctx(EVP_PKEY_CTX_new(op.key.get(), nullptr));
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
    if (!pctx || !md ||
        EVP_PKEY_CTX_set1_id(pctx.get(), kSm2DistinguishingId, sizeof kSm2DistinguishingId - 1) <= 0)
        return CKR_FUNCTION_FAILED;
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    Bytes der(size_t(EVP_PKEY_get_size(op.key.get())));
    size_t length = der.size();
    bool ok = EVP_DigestSignInit(md.get(), nullptr, EVP_sm3(), nullptr, op.key.get()) == 1 &&
              EVP_DigestSign(md.get(), der.data(), &length, data.data(), data.size()) == 1;
    md.reset();  // the digest context does not own the key context it was given
    if (!ok) return CKR_FUNCTION_FAILED;
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, long(length));
    if (!sig) return CKR_FUNCTION_FAILED;
    signature.assign(64, 0);
    ok = PutBigEndian(ECDSA_SIG_get0_r(sig), signature.data()) &&
         PutBigEndian(ECDSA_SIG_get0_s(sig), signature.data() + 32);
    ECDSA_SIG_free(sig);
    return ok ? CKR_OK : CKR_FUNCTION_FAILED;
}

}  // namespace

const std::vector<ck_mechanism_type_t>& MechanismList() {
    static const std::vector<ck_mechanism_type_t> list = {
        CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS, CKM_SHA384_RSA_PKCS, CKM_RSA_PKCS_PSS,
        CKM_TESSERA_SM2_SM3};
    return list;
}

ck_rv_t MechanismInfo(ck_mechanism_type_t type, ck_mechanism_info& info) {
    if (type == CKM_TESSERA_SM2_SM3) {
        info.min_key_size = 256;
        info.max_key_size = 256;
        info.flags = CKF_SIGN;
        return CKR_OK;
    }
    if (!IsRsaMechanism(type)) return CKR_MECHANISM_INVALID;
    info.min_key_size = 512;
    info.max_key_size = 16384;
    info.flags = CKF_SIGN | (type == CKM_RSA_PKCS ? CKF_DECRYPT : 0);
    return CKR_OK;
}

bool Multipart(ck_mechanism_type_t mechanism) {
    return mechanism != CKM_RSA_PKCS && mechanism != CKM_RSA_PKCS_PSS;
}

ck_rv_t StartOperation(const Object& key, const ck_mechanism& mechanism, ck_attribute_type_t purpose,
                       Operation& op) {
    if (key.objectClass != CKO_PRIVATE_KEY) return CKR_KEY_TYPE_INCONSISTENT;
    auto allowed = key.attributes.find(purpose);
    const bool sm2Mechanism = mechanism.mechanism == CKM_TESSERA_SM2_SM3;
    if (!sm2Mechanism && !IsRsaMechanism(mechanism.mechanism)) return CKR_MECHANISM_INVALID;
    if (purpose == CKA_DECRYPT && mechanism.mechanism != CKM_RSA_PKCS) return CKR_MECHANISM_INVALID;
    if (key.sm2 != sm2Mechanism) return CKR_KEY_TYPE_INCONSISTENT;
    if (allowed == key.attributes.end() || allowed->second != BoolValue(true)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    if (mechanism.mechanism == CKM_RSA_PKCS_PSS) {
        if (ck_rv_t rv = ReadPssParameters(mechanism, op); rv != CKR_OK) return rv;
    } else if (mechanism.parameter || mechanism.parameter_len) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    op.mechanism = mechanism.mechanism;
    return CKR_OK;
}

unsigned long OutputLength(const Operation& op) {
    return op.mechanism == CKM_TESSERA_SM2_SM3 ? 64 : static_cast<unsigned long>(ModulusBytes(op.key.get()));
}

ck_rv_t SignData(Operation& op, const Bytes& data, Bytes& signature) {
    return op.mechanism == CKM_TESSERA_SM2_SM3 ? SignSm2(op, data, signature) : SignRsa(op, data, signature);
}

ck_rv_t DecryptData(Operation& op, const unsigned char* data, unsigned long length, Bytes& plain) {
    const size_t k = ModulusBytes(op.key.get());
    if (length != k) return CKR_ENCRYPTED_DATA_LEN_RANGE;
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(op.key.get(), nullptr));
    plain.assign(k, 0);
    size_t out = k;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
        return CKR_FUNCTION_FAILED;
    if (EVP_PKEY_decrypt(ctx.get(), plain.data(), &out, data, length) != 1) return CKR_ENCRYPTED_DATA_INVALID;
    plain.resize(out);
    return CKR_OK;
}

}  // namespace tessera::pkcs11
