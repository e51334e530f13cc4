// The encrypted-key blobs of the Tessera providers.
//
// RSA: the blob points at a DER envelope
//   SEQUENCE { INTEGER 1, OID rsaEncryption, OID 1.3.6.1.4.1.4929.1.7,
//              OCTET STRING session key (RSA PKCS #1 v1.5, big-endian),
//              OCTET STRING private key (3DES-ECB, PKCS #5 padding, PKCS #1 DER) }.
// SM2: the blob points at an SM2 ciphertext C1 || C3 || C2 (C1 = x || y,
// 64 bytes) whose plaintext is the 32-byte big-endian private scalar.
#include "Algorithms.h"
#include "Vendor.h"

#include <tessera/platform_internal.h>

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

namespace tessera::crypt {
namespace {

constexpr DWORD kMaxReferencedBytes = 1 << 20;
const char kTripleDesEcbOid[] = "1.3.6.1.4.1.4929.1.7";
const char kRsaOid[] = "1.2.840.113549.1.1.1";

struct Envelope {
    std::vector<BYTE> sessionKey;
    std::vector<BYTE> privateKey;
};

bool OidIs(const ASN1_TYPE* t, const char* dotted) {
    if (!t || t->type != V_ASN1_OBJECT) return false;
    char text[64];
    int n = OBJ_obj2txt(text, sizeof(text), t->value.object, 1);
    return n > 0 && size_t(n) < sizeof(text) && std::strcmp(text, dotted) == 0;
}

std::vector<BYTE> Octets(const ASN1_TYPE* t) {
    const ASN1_OCTET_STRING* s = t->value.octet_string;
    return std::vector<BYTE>(s->data, s->data + s->length);
}

bool ParseEnvelope(const BYTE* der, DWORD length, Envelope& envelope) {
    const unsigned char* p = der;
    STACK_OF(ASN1_TYPE)* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, long(length));
    if (!seq) return Fail(NTE_BAD_DATA);
    bool ok = sk_ASN1_TYPE_num(seq) == 5 && sk_ASN1_TYPE_value(seq, 0)->type == V_ASN1_INTEGER &&
              OidIs(sk_ASN1_TYPE_value(seq, 1), kRsaOid) &&
              sk_ASN1_TYPE_value(seq, 3)->type == V_ASN1_OCTET_STRING &&
              sk_ASN1_TYPE_value(seq, 4)->type == V_ASN1_OCTET_STRING;
    bool algorithmKnown = ok && OidIs(sk_ASN1_TYPE_value(seq, 2), kTripleDesEcbOid);
    if (algorithmKnown) {
        envelope.sessionKey = Octets(sk_ASN1_TYPE_value(seq, 3));
        envelope.privateKey = Octets(sk_ASN1_TYPE_value(seq, 4));
    }
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    if (!ok) return Fail(NTE_BAD_DATA);
    if (!algorithmKnown) return Fail(NTE_BAD_ALGID);
    return true;
}

bool TripleDesEcbDecrypt(const SecureBytes& key, const std::vector<BYTE>& cipher, SecureBytes& plain) {
    if (cipher.empty() || cipher.size() % 8) return Fail(NTE_BAD_DATA);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    plain = SecureBytes(cipher.size() + 8);
    int first = 0, last = 0;
    bool ok = ctx && EVP_DecryptInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, key.data(), nullptr) > 0 &&
              EVP_DecryptUpdate(ctx, plain.data(), &first, cipher.data(), int(cipher.size())) > 0 &&
              EVP_DecryptFinal_ex(ctx, plain.data() + first, &last) > 0;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return Fail(NTE_BAD_DATA);
    plain.resize(size_t(first + last));
    return true;
}

std::shared_ptr<KeyPair> ExchangePair(Context& context, bool sm2) {
    auto pair = UserKeyPair(context, AT_KEYEXCHANGE);
    if (pair && IsSm2(pair->pkey.get()) != sm2) {
        SetLastError(NTE_BAD_KEY);
        return nullptr;
    }
    return pair;
}

// The decrypted pair replaces the exchange pair; the key handle remembers
// the replaced one (see Key::replaced).
BOOL Install(std::shared_ptr<Context> context, std::shared_ptr<KeyPair> replaced, Pkey pkey, ALG_ID algorithm,
             DWORD flags, HCRYPTKEY* phKey) {
    auto pair = std::make_shared<KeyPair>();
    pair->keySpec = AT_KEYEXCHANGE;
    pair->algorithm = algorithm;
    pair->flags = flags & (CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED);
    pair->pkey = Share(std::move(pkey));
    if (!InstallKeyPair(*context, pair)) return FALSE;
    HCRYPTKEY handle = AddPairKey(std::move(context), std::move(pair));
    if (auto key = Keys().Find(handle)) key->replaced = std::move(replaced);
    *phKey = handle;
    return TRUE;
}

// The CA's key without a garbled block: 3DES-ECB gives the envelope no
// integrity, so a damaged piece decrypts to numbers that are no RSA key.
bool ConsistentRsaKey(EVP_PKEY* pkey) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr);
    bool ok = ctx && EVP_PKEY_pairwise_check(ctx) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

BOOL ImportRsa(std::shared_ptr<Context> context, const BYTE* data, DWORD length, DWORD flags, HCRYPTKEY* phKey) {
    VENDOR_RSA_ENCRYPTED_KEY_BLOB blob;
    if (!ReadVendorKeyBlob(data, length, blob)) return Fail(NTE_BAD_LEN);
    if (blob.aiKeyAlg != VENDOR_CALG_RSA_KEYX || blob.aiKeyAlgAgain != VENDOR_CALG_RSA_KEYX)
        return Fail(NTE_BAD_ALGID);
    DWORD bytes = blob.dwEnvelopeBitLen / 8;
    if (!blob.ulEnvelopeAddress || blob.dwEnvelopeBitLen % 8 || bytes == 0 || bytes > kMaxReferencedBytes)
        return Fail(NTE_BAD_DATA);
    Envelope envelope;
    if (!ParseEnvelope(reinterpret_cast<const BYTE*>(blob.ulEnvelopeAddress), bytes, envelope)) return FALSE;
    if (envelope.sessionKey.empty()) return Fail(NTE_BAD_DATA);
    auto exchange = ExchangePair(*context, false);
    if (!exchange) return FALSE;
    SecureBytes sessionKey;
    if (!RsaDecrypt(exchange->pkey.get(), envelope.sessionKey.data(), envelope.sessionKey.size(), false, sessionKey))
        return FALSE;
    if (sessionKey.size() == 32) sessionKey.resize(24);  // a padded 3DES key, as the plain route reads it
    if (sessionKey.size() != 24) return Fail(NTE_BAD_DATA);
    SecureBytes pkcs1;
    if (!TripleDesEcbDecrypt(sessionKey, envelope.privateKey, pkcs1)) return FALSE;
    const unsigned char* p = pkcs1.data();
    Pkey pkey(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, long(pkcs1.size())));
    if (!pkey || !ConsistentRsaKey(pkey.get())) return Fail(NTE_BAD_DATA);
    return Install(std::move(context), std::move(exchange), std::move(pkey), CALG_RSA_KEYX, flags, phKey);
}

BOOL ImportSm2(std::shared_ptr<Context> context, const BYTE* data, DWORD length, DWORD flags, HCRYPTKEY* phKey) {
    VENDOR_SM2_ENCRYPTED_KEY_BLOB blob;
    if (!ReadVendorKeyBlob(data, length, blob)) return Fail(NTE_BAD_LEN);
    if (blob.aiKeyAlg != VENDOR_CALG_SM2_KEYX || blob.aiKeyAlgAgain != VENDOR_CALG_SM2_KEYX)
        return Fail(NTE_BAD_ALGID);
    DWORD bytes = blob.dwCipherBitLen / 8;
    if (!blob.ulCipherAddress || blob.dwCipherBitLen % 8 || bytes <= 96 || bytes > kMaxReferencedBytes)
        return Fail(NTE_BAD_DATA);
    auto exchange = ExchangePair(*context, true);
    if (!exchange) return FALSE;
    std::vector<BYTE> der;
    if (!Sm2CiphertextToDer(reinterpret_cast<const BYTE*>(blob.ulCipherAddress), bytes, der)) return FALSE;
    SecureBytes scalar;
    if (!Sm2Decrypt(exchange->pkey.get(), der, scalar)) return FALSE;
    if (scalar.size() != 32) return Fail(NTE_BAD_DATA);
    Pkey pkey = Sm2FromPrivateScalar(scalar.data(), scalar.size());
    if (!pkey) return FALSE;
    return Install(std::move(context), std::move(exchange), std::move(pkey), kAlgSm2Exchange, flags, phKey);
}

}  // namespace

BOOL ImportVendorBlob(std::shared_ptr<Context> context, const BYTE* data, DWORD length, DWORD flags,
                      HCRYPTKEY* phKey) {
    if (context->provider->family == Family::TesseraSm2) return ImportSm2(std::move(context), data, length, flags, phKey);
    return ImportRsa(std::move(context), data, length, flags, phKey);
}

}  // namespace tessera::crypt
