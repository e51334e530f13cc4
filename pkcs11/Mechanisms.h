// The mechanisms of the token and the sign and decrypt operations behind
// them. The key material comes from the key's container through the
// provider layer; OpenSSL computes the padding and the signature.
#pragma once
#include "Token.h"

#include <openssl/evp.h>

#include <memory>

namespace tessera::pkcs11 {

// SM2 signature with SM3 over the data and the distinguishing identifier
// "1234567812345678"; the signature is r || s, 32 bytes each, big-endian.
constexpr ck_mechanism_type_t CKM_TESSERA_SM2_SM3 = CKM_VENDOR_DEFINED | 0x54530001UL;


// One sign or decrypt operation of a session, from its Init call to the
// call that ends it.
struct Operation {
    ck_mechanism_type_t mechanism = 0;
    const EVP_MD* pssHash = nullptr;  // CKM_RSA_PKCS_PSS
    const EVP_MD* pssMgf = nullptr;
    unsigned long pssSalt = 0;
    SharedKey key;
    Bytes data;  // collected by the Update calls
    bool updated = false;
};

const std::vector<ck_mechanism_type_t>& MechanismList();
// CKR_MECHANISM_INVALID for a mechanism the token does not offer.
ck_rv_t MechanismInfo(ck_mechanism_type_t type, ck_mechanism_info& info);

// Checks the mechanism against the key and the purpose (CKA_SIGN or
// CKA_DECRYPT); the operation then needs its key (Token::PrivateKey).
ck_rv_t StartOperation(const Object& key, const ck_mechanism& mechanism, ck_attribute_type_t purpose,
                       Operation& op);
// Whether the mechanism takes its data in parts (C_SignUpdate).
bool Multipart(ck_mechanism_type_t mechanism);
// The length of the signature or the longest plaintext.
unsigned long OutputLength(const Operation& op);
ck_rv_t SignData(Operation& op, const Bytes& data, Bytes& signature);
ck_rv_t DecryptData(Operation& op, const unsigned char* data, unsigned long length, Bytes& plain);

}  // namespace tessera::pkcs11
