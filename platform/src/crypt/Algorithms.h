// The algorithms a provider offers (PP_ENUMALGS, PP_ENUMALGS_EX) and the
// OpenSSL operations behind keys: RSA and SM2 pairs in the blob layouts of
// CryptoAPI, PKCS #8 at rest, signatures in little-endian order.
#pragma once
#include "Csp.h"

namespace tessera::crypt {

struct AlgorithmInfo {
    ALG_ID algorithm;
    DWORD defaultBits;
    DWORD minBits;
    DWORD maxBits;
    DWORD protocols;
    const char* name;
    const char* longName;
};

// RSA pair lengths go in steps of this many bits between the table's
// minimum and maximum (PP_SIG_KEYSIZE_INC, PP_KEYX_KEYSIZE_INC), as in the
// Microsoft providers.
constexpr DWORD kRsaKeyIncrement = 8;

const std::vector<AlgorithmInfo>& Algorithms(const ProviderInfo& provider);
const AlgorithmInfo* FindAlgorithm(const ProviderInfo& provider, ALG_ID algorithm);

// The SM2 distinguishing identifier for Z (GM/T 0009 default).
extern const char kSm2DistinguishingId[];

Pkey GenerateRsa(DWORD bits);
Pkey GenerateSm2();
bool EncodePkcs8(const EVP_PKEY* pkey, SecureBytes& der);
Pkey DecodePkcs8(const SecureBytes& der);

// PUBLICKEYBLOB / PRIVATEKEYBLOB of RSA keys (little-endian numbers).
bool RsaPublicBlob(const EVP_PKEY* pkey, ALG_ID algorithm, std::vector<BYTE>& blob);
bool RsaPrivateBlob(const EVP_PKEY* pkey, ALG_ID algorithm, SecureBytes& blob);
// Null with the last error set when the blob is malformed.
Pkey RsaFromPublicBlob(const BYTE* blob, DWORD length);
Pkey RsaFromPrivateBlob(const BYTE* blob, DWORD length);
// DER RSAPublicKey.
bool RsaPublicKeyDer(const EVP_PKEY* pkey, std::vector<BYTE>& der);

// SM2 blobs: 8-byte header, 32-bit bit length, then 64-byte coordinate
// fields, each coordinate least significant byte first in the field's first
// 32 bytes (140 bytes public, 204 with the private scalar field).
constexpr DWORD kSm2PublicBlobSize = 140;
constexpr DWORD kSm2PrivateBlobSize = 204;
bool Sm2PublicBlob(const EVP_PKEY* pkey, ALG_ID algorithm, std::vector<BYTE>& blob);
bool Sm2PrivateBlob(const EVP_PKEY* pkey, ALG_ID algorithm, SecureBytes& blob);
Pkey Sm2FromPublicBlob(const BYTE* blob, DWORD length);
Pkey Sm2FromPrivateBlob(const BYTE* blob, DWORD length);
Pkey Sm2FromPrivateScalar(const BYTE* bigEndian, size_t length);
// 65 bytes 04 || x || y.
bool Sm2PublicPoint(const EVP_PKEY* pkey, std::vector<BYTE>& point);

// RSA PKCS #1 v1.5 (or OAEP) decryption of a big-endian ciphertext.
bool RsaDecrypt(EVP_PKEY* pkey, const BYTE* cipher, size_t length, bool oaep, SecureBytes& plain);
bool RsaEncrypt(EVP_PKEY* pkey, const BYTE* plain, size_t length, bool oaep, std::vector<BYTE>& cipher);
// SM2 decryption (GM/T 0003-4) of a DER-encoded ciphertext.
bool Sm2Decrypt(EVP_PKEY* pkey, const std::vector<BYTE>& der, SecureBytes& plain);
// C1 (64 bytes x || y) || C3 (32) || C2 -> the DER form OpenSSL reads.
bool Sm2CiphertextToDer(const BYTE* c1c3c2, size_t length, std::vector<BYTE>& der);

// Signatures over a digest (RSA) or over the message itself (SM2, whose
// digest includes the signer's Z value), little-endian as CryptoAPI returns them.
bool RsaSignDigest(EVP_PKEY* pkey, const EVP_MD* md, const std::vector<BYTE>& digest, bool noHashOid,
                   std::vector<BYTE>& signature);
bool RsaVerifyDigest(EVP_PKEY* pkey, const EVP_MD* md, const std::vector<BYTE>& digest, bool noHashOid,
                     const BYTE* signature, DWORD length);
bool Sm2SignMessage(EVP_PKEY* pkey, const std::vector<BYTE>& message, std::vector<BYTE>& signature);
bool Sm2VerifyMessage(EVP_PKEY* pkey, const std::vector<BYTE>& message, const BYTE* signature, DWORD length);

// Session-key ciphers.
const EVP_CIPHER* SessionCipher(ALG_ID algorithm, DWORD mode);
DWORD SessionKeyBytes(ALG_ID algorithm);   // 0 when not a session algorithm
DWORD SessionKeyBits(ALG_ID algorithm);    // KP_KEYLEN
DWORD SessionBlockBytes(ALG_ID algorithm);
const EVP_MD* HashDigest(ALG_ID algorithm);

}  // namespace tessera::crypt
