// Independent cryptography the provider contract is checked against: OpenSSL's
// libcrypto in the Linux build; in the Windows build, where no OpenSSL is at
// hand, a separate verify-only context of the system's own RSA provider.
// All numbers here are big-endian, as they travel outside CryptoAPI.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace oracle {

using Bytes = std::vector<unsigned char>;

// An RSA key made outside the provider under test.
struct RsaKey {
    Bytes publicKeyDer;   // DER RSAPublicKey
    Bytes privateKeyDer;  // DER RSAPrivateKey (PKCS #1); may be empty where unavailable
    Bytes privateBlob;    // the same key as a CryptoAPI PRIVATEKEYBLOB (CALG_RSA_KEYX)
};

bool Available();  // false where a check cannot be made (the case is skipped)
bool Sm2Available();
// Running on Wine, whose providers differ from the Windows documentation in
// places; those cases follow the documentation and are marked.
bool UnderWine();

bool ParseRsaPublicKey(const Bytes& der, Bytes& modulus, uint32_t& exponent);
bool VerifyRsaSha1(const Bytes& publicKeyDer, const Bytes& message, const Bytes& signature);
Bytes RsaEncryptPkcs1(const Bytes& publicKeyDer, const Bytes& plain);
RsaKey GenerateRsa(unsigned bits);
// 3DES (24-byte key) with PKCS #5 padding; an empty iv selects ECB.
Bytes TripleDesEncrypt(const Bytes& key, const Bytes& iv, const Bytes& plain);
Bytes RandomBytes(size_t n);

// SM2 (Linux only). Points are 04 || x || y; signatures r || s, 32 bytes each.
bool VerifySm2(const Bytes& point, const Bytes& message, const Bytes& rs, const std::string& distId);
// A fresh SM2 private scalar (32 bytes) and its public point.
void GenerateSm2(Bytes& scalar, Bytes& point);
// SM2 encryption with SM3 (GM/T 0003-4), returned as C1 (x || y) || C3 || C2.
Bytes Sm2EncryptC1C3C2(const Bytes& point, const Bytes& plain);

// A certificate for the public key (DER RSAPublicKey or SM2 point) issued
// by a throwaway CA, with a random serial number; DER.
Bytes IssueCertificate(const Bytes& publicKey, bool sm2);
// Whether a PRIVATEKEYBLOB holds a consistent RSA key (OpenSSL's key check;
// true where no such check is at hand).
bool RsaPrivateBlobValid(const Bytes& blob);

}  // namespace oracle
