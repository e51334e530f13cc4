// Encrypted-key import blobs handed to a vendor CSP through CryptImportKey.
// The blob carries the address of a buffer in the caller's memory (the DER
// envelope for RSA, the SM2 ciphertext for SM2) and its length in bits; the
// buffer must stay allocated until CryptImportKey returns.
//
// The address field is pointer-sized, so that a 64-bit caller's address
// reaches the CSP whole: 32-bit builds get the 24-byte RSA and 20-byte SM2
// blobs, 64-bit builds the 28-byte RSA and 24-byte SM2 blobs. The core that
// composes these blobs and the key store that reads them share this file.
#pragma once
#include <windows.h>

#include <cstring>

// reserved field of the blob header: the key is encrypted.
#define VENDOR_KEY_BLOB_ENCRYPTED 0x0001
#define VENDOR_KEY_BLOB_TYPE 0x07     // PRIVATEKEYBLOB
#define VENDOR_KEY_BLOB_VERSION 0x02
#define VENDOR_CALG_RSA_KEYX 0x0000A400
#define VENDOR_CALG_SM2_KEYX 0x0000BE00
#define VENDOR_CALG_SM2_SIGN 0x00003E00
#define VENDOR_CALG_SM3 0x0000800F

#pragma pack(push, 1)
struct VENDOR_RSA_ENCRYPTED_KEY_BLOB {
    BYTE bType;                 // VENDOR_KEY_BLOB_TYPE
    BYTE bVersion;              // VENDOR_KEY_BLOB_VERSION
    WORD wReserved;             // VENDOR_KEY_BLOB_ENCRYPTED
    DWORD aiKeyAlg;             // VENDOR_CALG_RSA_KEYX
    DWORD aiKeyAlgAgain;        // VENDOR_CALG_RSA_KEYX
    DWORD dwKeyBitLen;          // bit length of the key inside
    DWORD dwEnvelopeBitLen;     // envelope length in bytes * 8
    ULONG_PTR ulEnvelopeAddress;  // address of the DER envelope
};

struct VENDOR_SM2_ENCRYPTED_KEY_BLOB {
    BYTE bType;                   // VENDOR_KEY_BLOB_TYPE
    BYTE bVersion;                // VENDOR_KEY_BLOB_VERSION
    WORD wReserved;               // VENDOR_KEY_BLOB_ENCRYPTED
    DWORD aiKeyAlg;               // VENDOR_CALG_SM2_KEYX
    DWORD aiKeyAlgAgain;          // VENDOR_CALG_SM2_KEYX
    DWORD dwCipherBitLen;         // ciphertext length in bytes * 8
    ULONG_PTR ulCipherAddress;    // address of the SM2 ciphertext
};
#pragma pack(pop)

static_assert(sizeof(VENDOR_RSA_ENCRYPTED_KEY_BLOB) == 20 + sizeof(void*), "RSA vendor blob layout");
static_assert(sizeof(VENDOR_SM2_ENCRYPTED_KEY_BLOB) == 16 + sizeof(void*), "SM2 vendor blob layout");

// Fills the blob (a byte image of the layout above).
inline void FillVendorRsaKeyBlob(BYTE* pbBlob, DWORD dwKeyBitLen, const BYTE* pbEnvelope, DWORD cbEnvelope) {
    VENDOR_RSA_ENCRYPTED_KEY_BLOB blob{};
    blob.bType = VENDOR_KEY_BLOB_TYPE;
    blob.bVersion = VENDOR_KEY_BLOB_VERSION;
    blob.wReserved = VENDOR_KEY_BLOB_ENCRYPTED;
    blob.aiKeyAlg = VENDOR_CALG_RSA_KEYX;
    blob.aiKeyAlgAgain = VENDOR_CALG_RSA_KEYX;
    blob.dwKeyBitLen = dwKeyBitLen;
    blob.dwEnvelopeBitLen = cbEnvelope * 8;
    blob.ulEnvelopeAddress = reinterpret_cast<ULONG_PTR>(pbEnvelope);
    std::memcpy(pbBlob, &blob, sizeof(blob));
}

inline void FillVendorSm2KeyBlob(BYTE* pbBlob, const BYTE* pbCipher, DWORD cbCipher) {
    VENDOR_SM2_ENCRYPTED_KEY_BLOB blob{};
    blob.bType = VENDOR_KEY_BLOB_TYPE;
    blob.bVersion = VENDOR_KEY_BLOB_VERSION;
    blob.wReserved = VENDOR_KEY_BLOB_ENCRYPTED;
    blob.aiKeyAlg = VENDOR_CALG_SM2_KEYX;
    blob.aiKeyAlgAgain = VENDOR_CALG_SM2_KEYX;
    blob.dwCipherBitLen = cbCipher * 8;
    blob.ulCipherAddress = reinterpret_cast<ULONG_PTR>(pbCipher);
    std::memcpy(pbBlob, &blob, sizeof(blob));
}

// Reads a blob image of exactly sizeof(T) bytes; false for any other length.
template <typename T>
inline bool ReadVendorKeyBlob(const BYTE* pbBlob, DWORD cbBlob, T& blob) {
    if (!pbBlob || cbBlob != sizeof(T)) return false;
    std::memcpy(&blob, pbBlob, sizeof(T));
    return true;
}
