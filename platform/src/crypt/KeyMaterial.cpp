// OpenSSL does every computation here; this file only moves numbers between
// OpenSSL keys and the CryptoAPI blob layouts and byte orders.
#include "Algorithms.h"
#include "cert/Der.h"

#include <tessera/platform_internal.h>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>

namespace tessera::crypt {

const char kSm2DistinguishingId[] = "1234567812345678";

namespace {

constexpr DWORD kRsa1 = 0x31415352;  // "RSA1"
constexpr DWORD kRsa2 = 0x32415352;  // "RSA2"
constexpr DWORD kMaxRsaBits = 16384;

struct BnDeleter {
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
};
using Bn = std::unique_ptr<BIGNUM, BnDeleter>;
struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;
struct ParamBldDeleter {
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
};
struct ParamDeleter {
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};

void PutDword(BYTE* p, DWORD v) { std::memcpy(p, &v, 4); }
DWORD GetDword(const BYTE* p) {
    DWORD v;
    std::memcpy(&v, p, 4);
    return v;
}

Bn GetBn(const EVP_PKEY* pkey, const char* name) {
    BIGNUM* bn = nullptr;
    if (!EVP_PKEY_get_bn_param(pkey, name, &bn)) return nullptr;
    return Bn(bn);
}

bool PutLittleEndian(const BIGNUM* bn, BYTE* out, size_t length) {
    return bn && BN_bn2lebinpad(bn, out, int(length)) == int(length);
}

Bn FromLittleEndian(const BYTE* p, size_t length) { return Bn(BN_lebin2bn(p, int(length), nullptr)); }

Pkey FromData(const char* type, int selection, OSSL_PARAM_BLD* bld) {
    std::unique_ptr<OSSL_PARAM, ParamDeleter> params(OSSL_PARAM_BLD_to_param(bld));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* pkey = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &pkey, selection, params.get()) <= 0)
        return nullptr;
    return Pkey(pkey);
}

void Reverse(std::vector<BYTE>& v) { std::reverse(v.begin(), v.end()); }

struct RsaSizes {
    DWORD bits, full, half, total;
};
RsaSizes SizesFor(DWORD bits) {
    DWORD full = (bits + 7) / 8, half = (bits + 15) / 16;
    return {bits, full, half, 20 + full * 2 + half * 5};
}

void WriteHeader(BYTE* blob, BYTE type, ALG_ID algorithm) {
    blob[0] = type;
    blob[1] = CUR_BLOB_VERSION;
    blob[2] = blob[3] = 0;
    PutDword(blob + 4, algorithm);
}

}  // namespace

bool IsSm2(const EVP_PKEY* pkey) { return pkey && EVP_PKEY_is_a(pkey, "SM2"); }
DWORD KeyBits(const EVP_PKEY* pkey) { return pkey ? DWORD(EVP_PKEY_get_bits(pkey)) : 0; }

Pkey GenerateRsa(DWORD bits) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* pkey = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), int(bits)) <= 0 ||
        EVP_PKEY_keygen(ctx.get(), &pkey) <= 0) {
        SetLastError(NTE_FAIL);
        return nullptr;
    }
    return Pkey(pkey);
}

Pkey GenerateSm2() {
    EVP_PKEY* pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    if (!pkey) SetLastError(NTE_FAIL);
    return Pkey(pkey);
}

bool EncodePkcs8(const EVP_PKEY* pkey, SecureBytes& der) {
    PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(pkey);
    if (!p8) return Fail(NTE_FAIL);
    unsigned char* out = nullptr;
    int n = i2d_PKCS8_PRIV_KEY_INFO(p8, &out);
    PKCS8_PRIV_KEY_INFO_free(p8);
    if (n <= 0) return Fail(NTE_FAIL);
    der = SecureBytes(out, size_t(n));
    OPENSSL_clear_free(out, size_t(n));
    return true;
}

namespace {
Pkey Sm2FromPkcs8(const SecureBytes& der);
}  // namespace

Pkey DecodePkcs8(const SecureBytes& der) {
    // SM2 keys in the layout this store writes are read directly: OpenSSL's
    // general decoder costs more than the rest of opening a container.
    if (Pkey sm2 = Sm2FromPkcs8(der)) return sm2;
    const unsigned char* p = der.data();
    PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, long(der.size()));
    if (!p8) {
        SetLastError(NTE_BAD_KEYSET_PARAM);
        return nullptr;
    }
    EVP_PKEY* pkey = EVP_PKCS82PKEY(p8);
    PKCS8_PRIV_KEY_INFO_free(p8);
    if (!pkey) SetLastError(NTE_BAD_KEYSET_PARAM);
    return Pkey(pkey);
}

// ---- RSA blobs ---------------------------------------------------------------

bool RsaPublicBlob(const EVP_PKEY* pkey, ALG_ID algorithm, std::vector<BYTE>& blob) {
    Bn n = GetBn(pkey, OSSL_PKEY_PARAM_RSA_N), e = GetBn(pkey, OSSL_PKEY_PARAM_RSA_E);
    if (!n || !e || BN_num_bits(e.get()) > 32) return Fail(NTE_BAD_KEY);
    RsaSizes s = SizesFor(KeyBits(pkey));
    blob.assign(20 + s.full, 0);
    WriteHeader(blob.data(), PUBLICKEYBLOB, algorithm);
    PutDword(&blob[8], kRsa1);
    PutDword(&blob[12], s.bits);
    PutDword(&blob[16], DWORD(BN_get_word(e.get())));
    return PutLittleEndian(n.get(), &blob[20], s.full) || Fail(NTE_BAD_KEY);
}

bool RsaPrivateBlob(const EVP_PKEY* pkey, ALG_ID algorithm, SecureBytes& blob) {
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                           OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                           OSSL_PKEY_PARAM_RSA_D};
    Bn e = GetBn(pkey, OSSL_PKEY_PARAM_RSA_E);
    if (!e || BN_num_bits(e.get()) > 32) return Fail(NTE_BAD_KEY);
    RsaSizes s = SizesFor(KeyBits(pkey));
    blob = SecureBytes(s.total);
    WriteHeader(blob.data(), PRIVATEKEYBLOB, algorithm);
    PutDword(blob.data() + 8, kRsa2);
    PutDword(blob.data() + 12, s.bits);
    PutDword(blob.data() + 16, DWORD(BN_get_word(e.get())));
    size_t offset = 20;
    for (size_t i = 0; i < 7; ++i) {
        size_t length = (i == 0 || i == 6) ? s.full : s.half;
        Bn value = GetBn(pkey, names[i]);
        if (!PutLittleEndian(value.get(), blob.data() + offset, length)) return Fail(NTE_BAD_KEY);
        offset += length;
    }
    return true;
}

Pkey RsaFromPublicBlob(const BYTE* blob, DWORD length) {
    if (length < 20 || GetDword(blob + 8) != kRsa1) {
        SetLastError(NTE_BAD_DATA);
        return nullptr;
    }
    DWORD bits = GetDword(blob + 12);
    RsaSizes s = SizesFor(bits);
    if (bits == 0 || bits > kMaxRsaBits || length < 20 + s.full) {
        SetLastError(NTE_BAD_DATA);
        return nullptr;
    }
    Bn n = FromLittleEndian(blob + 20, s.full);
    Bn e(BN_new());
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldDeleter> bld(OSSL_PARAM_BLD_new());
    if (!n || !e || !bld || !BN_set_word(e.get(), GetDword(blob + 16)) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get())) {
        SetLastError(NTE_NO_MEMORY);
        return nullptr;
    }
    Pkey pkey = FromData("RSA", EVP_PKEY_PUBLIC_KEY, bld.get());
    if (!pkey) SetLastError(NTE_BAD_DATA);
    return pkey;
}

Pkey RsaFromPrivateBlob(const BYTE* blob, DWORD length) {
    if (length < 20 || GetDword(blob + 8) != kRsa2) {
        SetLastError(NTE_BAD_DATA);
        return nullptr;
    }
    DWORD bits = GetDword(blob + 12);
    RsaSizes s = SizesFor(bits);
    if (bits < 64 || bits > kMaxRsaBits || length < s.total) {
        SetLastError(NTE_BAD_DATA);
        return nullptr;
    }
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                           OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                           OSSL_PKEY_PARAM_RSA_D};
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldDeleter> bld(OSSL_PARAM_BLD_new());
    std::vector<Bn> values;
    Bn e(BN_new());
    if (!bld || !e || !BN_set_word(e.get(), GetDword(blob + 16)) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get())) {
        SetLastError(NTE_NO_MEMORY);
        return nullptr;
    }
    size_t offset = 20;
    for (size_t i = 0; i < 7; ++i) {
        size_t field = (i == 0 || i == 6) ? s.full : s.half;
        values.push_back(FromLittleEndian(blob + offset, field));
        if (!values.back() || !OSSL_PARAM_BLD_push_BN(bld.get(), names[i], values.back().get())) {
            SetLastError(NTE_NO_MEMORY);
            return nullptr;
        }
        offset += field;
    }
    Pkey pkey = FromData("RSA", EVP_PKEY_KEYPAIR, bld.get());
    if (!pkey) SetLastError(NTE_BAD_DATA);
    return pkey;
}

bool RsaPublicKeyDer(const EVP_PKEY* pkey, std::vector<BYTE>& der) {
    // The SubjectPublicKeyInfo's BIT STRING content is the DER RSAPublicKey.
    unsigned char* spki = nullptr;
    int n = i2d_PUBKEY(const_cast<EVP_PKEY*>(pkey), &spki);
    if (n <= 0) return Fail(NTE_BAD_KEY);
    const unsigned char* p = spki;
    X509_PUBKEY* pub = d2i_X509_PUBKEY(nullptr, &p, n);
    OPENSSL_free(spki);
    const unsigned char* bits = nullptr;
    int bitsLength = 0;
    bool ok = pub && X509_PUBKEY_get0_param(nullptr, &bits, &bitsLength, nullptr, pub);
    if (ok) der.assign(bits, bits + bitsLength);
    X509_PUBKEY_free(pub);
    return ok || Fail(NTE_BAD_KEY);
}

// ---- SM2 blobs ---------------------------------------------------------------

bool Sm2PublicPoint(const EVP_PKEY* pkey, std::vector<BYTE>& point) {
    point.assign(65, 0);
    size_t length = 0;
    if (!EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &length) ||
        length != 65 || point[0] != 0x04)
        return Fail(NTE_BAD_KEY);
    return true;
}

bool Sm2PublicBlob(const EVP_PKEY* pkey, ALG_ID algorithm, std::vector<BYTE>& blob) {
    std::vector<BYTE> point;
    if (!Sm2PublicPoint(pkey, point)) return false;
    blob.assign(kSm2PublicBlobSize, 0);
    WriteHeader(blob.data(), PUBLICKEYBLOB, algorithm);
    PutDword(&blob[8], 256);
    std::reverse_copy(point.begin() + 1, point.begin() + 33, blob.begin() + 12);
    std::reverse_copy(point.begin() + 33, point.end(), blob.begin() + 76);
    return true;
}

bool Sm2PrivateBlob(const EVP_PKEY* pkey, ALG_ID algorithm, SecureBytes& blob) {
    std::vector<BYTE> pub;
    if (!Sm2PublicBlob(pkey, algorithm, pub)) return false;
    Bn d = GetBn(pkey, OSSL_PKEY_PARAM_PRIV_KEY);
    blob = SecureBytes(kSm2PrivateBlobSize);
    std::memcpy(blob.data(), pub.data(), pub.size());
    blob.data()[0] = PRIVATEKEYBLOB;
    return PutLittleEndian(d.get(), blob.data() + kSm2PublicBlobSize, 32) || Fail(NTE_BAD_KEY);
}

namespace {

Pkey Sm2FromPoint(const std::vector<BYTE>& point, const BIGNUM* priv) {
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldDeleter> bld(OSSL_PARAM_BLD_new());
    if (!bld || !OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_sm2, 0) ||
        !OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) ||
        (priv && !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv))) {
        SetLastError(NTE_NO_MEMORY);
        return nullptr;
    }
    Pkey pkey = FromData("SM2", priv ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, bld.get());
    if (!pkey) SetLastError(NTE_BAD_DATA);
    return pkey;
}

std::vector<BYTE> PointFromBlob(const BYTE* blob) {
    std::vector<BYTE> point(65);
    point[0] = 0x04;
    std::reverse_copy(blob + 12, blob + 44, point.begin() + 1);
    std::reverse_copy(blob + 76, blob + 108, point.begin() + 33);
    return point;
}

}  // namespace

Pkey Sm2FromPublicBlob(const BYTE* blob, DWORD length) {
    if (length < kSm2PublicBlobSize) {
        SetLastError(NTE_BAD_DATA);
        return nullptr;
    }
    return Sm2FromPoint(PointFromBlob(blob), nullptr);
}

Pkey Sm2FromPrivateBlob(const BYTE* blob, DWORD length) {
    if (length < kSm2PrivateBlobSize) {
        SetLastError(NTE_BAD_DATA);
        return nullptr;
    }
    SecureBytes scalar(32);
    std::reverse_copy(blob + kSm2PublicBlobSize, blob + kSm2PublicBlobSize + 32, scalar.data());
    Pkey pkey = Sm2FromPrivateScalar(scalar.data(), scalar.size());
    std::vector<BYTE> point;
    if (pkey && (!Sm2PublicPoint(pkey.get(), point) || point != PointFromBlob(blob))) {
        SetLastError(NTE_BAD_DATA);  // the public fields do not belong to the scalar
        return nullptr;
    }
    return pkey;
}

Pkey Sm2FromPrivateScalar(const BYTE* bigEndian, size_t length) {
    struct GroupDeleter {
        void operator()(EC_GROUP* g) const { EC_GROUP_free(g); }
    };
    struct PointDeleter {
        void operator()(EC_POINT* p) const { EC_POINT_free(p); }
    };
    std::unique_ptr<EC_GROUP, GroupDeleter> group(EC_GROUP_new_by_curve_name(NID_sm2));
    Bn d(BN_bin2bn(bigEndian, int(length), nullptr));
    if (!group || !d) {
        SetLastError(NTE_NO_MEMORY);
        return nullptr;
    }
    // A valid SM2 private scalar lies in [1, n - 2].
    Bn limit(BN_dup(EC_GROUP_get0_order(group.get())));
    if (!limit || !BN_sub_word(limit.get(), 1) || BN_is_zero(d.get()) || BN_cmp(d.get(), limit.get()) >= 0) {
        SetLastError(NTE_BAD_DATA);
        return nullptr;
    }
    std::unique_ptr<EC_POINT, PointDeleter> q(EC_POINT_new(group.get()));
    std::vector<BYTE> point(65);
    if (!q || !EC_POINT_mul(group.get(), q.get(), d.get(), nullptr, nullptr, nullptr) ||
        EC_POINT_point2oct(group.get(), q.get(), POINT_CONVERSION_UNCOMPRESSED, point.data(), point.size(),
                           nullptr) != point.size()) {
        SetLastError(NTE_FAIL);
        return nullptr;
    }
    return Sm2FromPoint(point, d.get());
}

namespace {

// id-ecPublicKey and the SM2 curve, as OpenSSL writes an SM2 key's algorithm.
constexpr BYTE kEcPublicKeyOid[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
constexpr BYTE kSm2CurveOid[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};

bool Holds(const cert::DerElement& e, const BYTE* bytes, size_t length) {
    return e.length == length && std::memcmp(e.content, bytes, length) == 0;
}

bool IsSmallInteger(const cert::DerElement& e, BYTE value) {
    return e.tag == 0x02 && e.length == 1 && e.content[0] == value;
}

bool IsSm2CurveOid(const cert::DerElement& e) {
    return e.tag == 0x06 && Holds(e, kSm2CurveOid, sizeof kSm2CurveOid);
}

// The private scalar and, when the key carries it, the uncompressed public point.
struct Sm2Parts {
    cert::DerElement scalar;
    const BYTE* point = nullptr;  // 65 bytes 04 || x || y
};

// ECPrivateKey: version 1, the scalar, optionally [0] the curve and [1] the point.
bool ReadEcPrivateKey(const cert::DerElement& octets, Sm2Parts& parts) {
    cert::DerReader outer(octets);
    cert::DerElement key, version, curve, point, bits;
    if (!outer.Next(key, 0x30) || !outer.AtEnd()) return false;
    cert::DerReader fields(key);
    if (!fields.Next(version) || !IsSmallInteger(version, 1) ||
        !fields.Next(parts.scalar, 0x04) || parts.scalar.length == 0 || parts.scalar.length > 32)
        return false;
    if (fields.Optional(curve, 0xA0)) {
        cert::DerReader inner(curve);
        cert::DerElement oid;
        if (!inner.Next(oid) || !IsSm2CurveOid(oid) || !inner.AtEnd()) return false;
    }
    if (fields.Optional(point, 0xA1)) {
        cert::DerReader inner(point);
        if (!inner.Next(bits, 0x03) || !inner.AtEnd() || bits.length != 66 || bits.content[0] != 0 ||
            bits.content[1] != 0x04)
            return false;
        parts.point = bits.content + 1;
    }
    return fields.AtEnd();
}

// PrivateKeyInfo: version 0, {id-ecPublicKey, SM2 curve}, the ECPrivateKey, no attributes.
bool ReadSm2Pkcs8(const SecureBytes& der, Sm2Parts& parts) {
    cert::DerReader top(der.data(), der.size());
    cert::DerElement info, version, algorithm, oid, curve, octets;
    if (!top.Next(info, 0x30) || !top.AtEnd()) return false;
    cert::DerReader fields(info);
    if (!fields.Next(version) || !IsSmallInteger(version, 0) ||
        !fields.Next(algorithm, 0x30) || !fields.Next(octets, 0x04) || !fields.AtEnd())
        return false;
    cert::DerReader alg(algorithm);
    if (!alg.Next(oid, 0x06) || !Holds(oid, kEcPublicKeyOid, sizeof kEcPublicKeyOid) || !alg.Next(curve) ||
        !IsSm2CurveOid(curve) || !alg.AtEnd())
        return false;
    return ReadEcPrivateKey(octets, parts);
}

// Null, with the last error untouched, for anything else: the caller then
// takes OpenSSL's general decoder.
Pkey Sm2FromPkcs8(const SecureBytes& der) {
    Sm2Parts parts;
    if (!ReadSm2Pkcs8(der, parts)) return nullptr;
    DWORD error = GetLastError();
    Pkey pkey;
    if (!parts.point) {
        // Without the point the key is rebuilt from the scalar alone.
        pkey = Sm2FromPrivateScalar(parts.scalar.content, parts.scalar.length);
    } else {
        Bn d(BN_bin2bn(parts.scalar.content, int(parts.scalar.length), nullptr));
        if (d) pkey = Sm2FromPoint(std::vector<BYTE>(parts.point, parts.point + 65), d.get());
    }
    if (!pkey) SetLastError(error);
    return pkey;
}

}  // namespace

// ---- encryption ---------------------------------------------------------------

bool RsaDecrypt(EVP_PKEY* pkey, const BYTE* cipher, size_t length, bool oaep, SecureBytes& plain) {
    PkeyCtx ctx(EVP_PKEY_CTX_new(pkey, nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) <= 0)
        return Fail(NTE_FAIL);
#ifdef OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION
    // A wrong padding must fail the call rather than yield random bytes.
    if (!oaep) {
        unsigned int off = 0;
        OSSL_PARAM params[] = {OSSL_PARAM_construct_uint(OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION, &off),
                               OSSL_PARAM_construct_end()};
        EVP_PKEY_CTX_set_params(ctx.get(), params);
    }
#endif
    size_t outLength = 0;
    if (EVP_PKEY_decrypt(ctx.get(), nullptr, &outLength, cipher, length) <= 0) return Fail(NTE_BAD_DATA);
    plain = SecureBytes(outLength);
    if (EVP_PKEY_decrypt(ctx.get(), plain.data(), &outLength, cipher, length) <= 0) return Fail(NTE_BAD_DATA);
    plain.resize(outLength);
    return true;
}

bool RsaEncrypt(EVP_PKEY* pkey, const BYTE* plain, size_t length, bool oaep, std::vector<BYTE>& cipher) {
    PkeyCtx ctx(EVP_PKEY_CTX_new(pkey, nullptr));
    size_t outLength = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &outLength, plain, length) <= 0)
        return Fail(NTE_FAIL);
    cipher.assign(outLength, 0);
    if (EVP_PKEY_encrypt(ctx.get(), cipher.data(), &outLength, plain, length) <= 0) return Fail(NTE_BAD_LEN);
    cipher.resize(outLength);
    return true;
}

bool Sm2Decrypt(EVP_PKEY* pkey, const std::vector<BYTE>& der, SecureBytes& plain) {
    PkeyCtx ctx(EVP_PKEY_CTX_new(pkey, nullptr));
    size_t outLength = 0;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_decrypt(ctx.get(), nullptr, &outLength, der.data(), der.size()) <= 0)
        return Fail(NTE_BAD_DATA);
    plain = SecureBytes(outLength);
    if (EVP_PKEY_decrypt(ctx.get(), plain.data(), &outLength, der.data(), der.size()) <= 0)
        return Fail(NTE_BAD_DATA);
    plain.resize(outLength);
    return true;
}

bool Sm2CiphertextToDer(const BYTE* c1c3c2, size_t length, std::vector<BYTE>& der) {
    if (length <= 96) return Fail(NTE_BAD_DATA);
    auto freeTypes = [](STACK_OF(ASN1_TYPE)* s) { sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free); };
    std::unique_ptr<STACK_OF(ASN1_TYPE), decltype(freeTypes)> seq(sk_ASN1_TYPE_new_null(), freeTypes);
    if (!seq) return Fail(NTE_NO_MEMORY);
    auto push = [&](int type, void* value) {
        ASN1_TYPE* t = ASN1_TYPE_new();
        if (!t || !value) {
            ASN1_TYPE_free(t);
            return false;
        }
        ASN1_TYPE_set(t, type, value);
        if (!sk_ASN1_TYPE_push(seq.get(), t)) {
            ASN1_TYPE_free(t);
            return false;
        }
        return true;
    };
    auto integer = [](const BYTE* p) {
        Bn bn(BN_bin2bn(p, 32, nullptr));
        return bn ? BN_to_ASN1_INTEGER(bn.get(), nullptr) : nullptr;
    };
    auto octets = [](const BYTE* p, size_t n) {
        ASN1_OCTET_STRING* s = ASN1_OCTET_STRING_new();
        if (s && !ASN1_OCTET_STRING_set(s, p, int(n))) {
            ASN1_OCTET_STRING_free(s);
            return static_cast<ASN1_OCTET_STRING*>(nullptr);
        }
        return s;
    };
    if (!push(V_ASN1_INTEGER, integer(c1c3c2)) || !push(V_ASN1_INTEGER, integer(c1c3c2 + 32)) ||
        !push(V_ASN1_OCTET_STRING, octets(c1c3c2 + 64, 32)) ||
        !push(V_ASN1_OCTET_STRING, octets(c1c3c2 + 96, length - 96)))
        return Fail(NTE_NO_MEMORY);
    unsigned char* out = nullptr;
    int n = i2d_ASN1_SEQUENCE_ANY(seq.get(), &out);
    if (n <= 0) return Fail(NTE_NO_MEMORY);
    der.assign(out, out + n);
    OPENSSL_free(out);
    return true;
}

// ---- signatures ---------------------------------------------------------------

bool RsaSignDigest(EVP_PKEY* pkey, const EVP_MD* md, const std::vector<BYTE>& digest, bool noHashOid,
                   std::vector<BYTE>& signature) {
    PkeyCtx ctx(EVP_PKEY_CTX_new(pkey, nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        (!noHashOid && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0))
        return Fail(NTE_BAD_KEY);
    size_t length = size_t(EVP_PKEY_get_size(pkey));
    signature.assign(length, 0);
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &length, digest.data(), digest.size()) <= 0)
        return Fail(NTE_BAD_SIGNATURE);
    signature.resize(length);
    Reverse(signature);
    return true;
}

bool RsaVerifyDigest(EVP_PKEY* pkey, const EVP_MD* md, const std::vector<BYTE>& digest, bool noHashOid,
                     const BYTE* signature, DWORD length) {
    std::vector<BYTE> bigEndian(signature, signature + length);
    Reverse(bigEndian);
    PkeyCtx ctx(EVP_PKEY_CTX_new(pkey, nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        (!noHashOid && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0))
        return Fail(NTE_BAD_KEY);
    if (EVP_PKEY_verify(ctx.get(), bigEndian.data(), bigEndian.size(), digest.data(), digest.size()) != 1)
        return Fail(NTE_BAD_SIGNATURE);
    return true;
}

bool Sm2SignMessage(EVP_PKEY* pkey, const std::vector<BYTE>& message, std::vector<BYTE>& signature) {
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(pkey, nullptr);
    MdCtx mctx(EVP_MD_CTX_new());
    bool ok = pctx && mctx &&
              EVP_PKEY_CTX_set1_id(pctx, kSm2DistinguishingId, sizeof(kSm2DistinguishingId) - 1) > 0;
    if (ok) EVP_MD_CTX_set_pkey_ctx(mctx.get(), pctx);
    ok = ok && EVP_DigestSignInit(mctx.get(), nullptr, EVP_sm3(), nullptr, pkey) > 0;
    std::vector<BYTE> der(size_t(EVP_PKEY_get_size(pkey)));
    size_t length = der.size();
    ok = ok && EVP_DigestSign(mctx.get(), der.data(), &length, message.data(), message.size()) > 0;
    mctx.reset();
    EVP_PKEY_CTX_free(pctx);
    if (!ok) return Fail(NTE_BAD_SIGNATURE);
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, long(length));
    if (!sig) return Fail(NTE_BAD_SIGNATURE);
    signature.assign(64, 0);
    ok = PutLittleEndian(ECDSA_SIG_get0_r(sig), signature.data(), 32) &&
         PutLittleEndian(ECDSA_SIG_get0_s(sig), signature.data() + 32, 32);
    ECDSA_SIG_free(sig);
    return ok || Fail(NTE_BAD_SIGNATURE);
}

bool Sm2VerifyMessage(EVP_PKEY* pkey, const std::vector<BYTE>& message, const BYTE* signature, DWORD length) {
    if (length != 64) return Fail(NTE_BAD_SIGNATURE);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    BIGNUM* r = BN_lebin2bn(signature, 32, nullptr);
    BIGNUM* s = BN_lebin2bn(signature + 32, 32, nullptr);
    if (!sig || !r || !s || !ECDSA_SIG_set0(sig, r, s)) {
        BN_free(r);
        BN_free(s);
        ECDSA_SIG_free(sig);
        return Fail(NTE_NO_MEMORY);
    }
    unsigned char* der = nullptr;
    int derLength = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    if (derLength <= 0) return Fail(NTE_NO_MEMORY);
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(pkey, nullptr);
    MdCtx mctx(EVP_MD_CTX_new());
    bool ok = pctx && mctx &&
              EVP_PKEY_CTX_set1_id(pctx, kSm2DistinguishingId, sizeof(kSm2DistinguishingId) - 1) > 0;
    if (ok) EVP_MD_CTX_set_pkey_ctx(mctx.get(), pctx);
    ok = ok && EVP_DigestVerifyInit(mctx.get(), nullptr, EVP_sm3(), nullptr, pkey) > 0 &&
         EVP_DigestVerify(mctx.get(), der, size_t(derLength), message.data(), message.size()) == 1;
    mctx.reset();
    EVP_PKEY_CTX_free(pctx);
    OPENSSL_free(der);
    return ok || Fail(NTE_BAD_SIGNATURE);
}

// ---- session keys and hashes ----------------------------------------------------

const EVP_CIPHER* SessionCipher(ALG_ID algorithm, DWORD mode) {
    bool ecb = mode == CRYPT_MODE_ECB;
    switch (algorithm) {
    case CALG_3DES: return ecb ? EVP_des_ede3_ecb() : EVP_des_ede3_cbc();
    case CALG_3DES_112: return ecb ? EVP_des_ede_ecb() : EVP_des_ede_cbc();
    case CALG_AES_128: return ecb ? EVP_aes_128_ecb() : EVP_aes_128_cbc();
    case CALG_AES_192: return ecb ? EVP_aes_192_ecb() : EVP_aes_192_cbc();
    case CALG_AES_256: return ecb ? EVP_aes_256_ecb() : EVP_aes_256_cbc();
    default: return nullptr;
    }
}

DWORD SessionKeyBytes(ALG_ID algorithm) {
    switch (algorithm) {
    case CALG_3DES: return 24;
    case CALG_3DES_112: return 16;
    case CALG_AES_128: return 16;
    case CALG_AES_192: return 24;
    case CALG_AES_256: return 32;
    default: return 0;
    }
}

// KP_KEYLEN of the Microsoft providers counts the parity bits of DES keys.
DWORD SessionKeyBits(ALG_ID algorithm) { return SessionKeyBytes(algorithm) * 8; }

DWORD SessionBlockBytes(ALG_ID algorithm) {
    switch (algorithm) {
    case CALG_3DES:
    case CALG_3DES_112: return 8;
    case CALG_AES_128:
    case CALG_AES_192:
    case CALG_AES_256: return 16;
    default: return 0;
    }
}

const EVP_MD* HashDigest(ALG_ID algorithm) {
    switch (algorithm) {
    case CALG_SHA1: return EVP_sha1();
    case CALG_MD5: return EVP_md5();
    case CALG_SHA_256: return EVP_sha256();
    case kAlgSm3: return EVP_sm3();
    default: return nullptr;
    }
}

}  // namespace tessera::crypt
