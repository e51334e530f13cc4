// Installing what the certificate authority returns: the signature
// certificate bound to its key container, and the CA-generated encryption
// key pair delivered in an encrypted envelope together with its certificate.
//
// Two routes import the encryption key. The plain route (RSA with a
// Microsoft CSP, or any RSA CSP at 1024 bits) decrypts the envelope here:
// the session key with the container's temporary exchange key, the private
// key with the session key in a scratch container, then imports a private-key
// blob. The encrypted-format route hands the still-encrypted material to the
// CSP in a vendor blob and lets the CSP decrypt it with its own key.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include "CryptHolders.h"
#include "Misc.h"

// ---- signature certificates ---------------------------------------------------

HRESULT ImportSignCert(const WString& wstrKeyAlgorithm, const WString& wstrSignCert, DWORD dwKeySpec,
                       const WString& wstrCSPName, const WString& wstrContainerName);
// Adds the certificate to the current user's "MY" store and links it to the
// container through its key-provider property.
HRESULT AddCertificateToSystemStore(const WString& wstrCSPName, HCRYPTPROV hProvider, const BYTE* pbCert,
                                    DWORD dwCertLength, DWORD dwKeySpec, const WString& wstrContainerName);
void EraseCommaInWstr(WString& wstrText);
// UTF-16 Base64 text to bytes. Text that decodes to nothing is refused.
HRESULT DecodeBase64Key(const WString& wstrText, ByteBuffer& pbData, DWORD& dwDataLength);
// Provider type by the CSP-name rule: 24 for the AES provider, else 1.
DWORD ProviderTypeForCSP(const WString& wstrCSPName);
// VELA_OK when the certificate certifies the container key (hKey, of
// dwKeySpec); NTE_BAD_PUBLIC_KEY when it certifies another key.
HRESULT CheckCertificateOfContainerKey(HCRYPTPROV hProvider, HCRYPTKEY hKey, DWORD dwKeySpec, bool rsa,
                                       const BYTE* pbCert, DWORD dwCertLength);

// ---- the envelope ---------------------------------------------------------------

struct EncryptedKeyEnvelope {
    ALG_ID aiSessionAlgorithm = 0;
    SecretBytes sessionKey;  // encrypted session key; empty when absent
    SecretBytes privateKey;  // encrypted private key
};

HRESULT ParseEncryptCertPublicKeyCert(const WString& wstrEncryptPublicCert, ByteBuffer& pbCert,
                                      DWORD& dwCertLength);
// Strict reading: session key type 306 (3DES) only.
HRESULT ParseEncryptCertPrivateKeyData(const WString& wstrEncryptedPrivateKeyData, EncryptedKeyEnvelope& envelope);
// Extended reading: also session key type 0 (no session key).
HRESULT ParseEncryptCertPrivateKeyDataEx(const WString& wstrEncryptedPrivateKeyData, EncryptedKeyEnvelope& envelope);
HRESULT GetSessionKeyandPrivateKeyASN1Obj(const WString& wstrData, EncryptedKeyEnvelope& envelope);
HRESULT GetSessionKeyandPrivateKeyASN1ObjEx(const WString& wstrData, EncryptedKeyEnvelope& envelope);
// One length-prefixed piece at the cursor (which advances past it).
HRESULT GetBase64KeyFromEncryptedData(const WString& wstrData, size_t& nCursor, WString& wstrPiece);
// The content octets of the second of exactly two first-level elements.
HRESULT GetSessionKeyorPrivateKeyFromASN1Obj(const BYTE* pbData, DWORD dwDataLength, SecretBytes& key);

// ---- import (RSA) ------------------------------------------------------------------

HRESULT ImportEncryptCertEx(const WString& wstrCSPName, const WString& wstrContainerName,
                            const WString& wstrKeyAlgorithm, const WString& wstrEncryptedPrivateKeyData,
                            const WString& wstrEncryptPublicCert, LONG nKeyLength, LONG nFlags);
HRESULT ImportEncryptCert(const WString& wstrCSPName, const WString& wstrContainerName,
                          const WString& wstrEncryptedPrivateKeyData, const WString& wstrEncryptPublicCert,
                          const WString& wstrKeyAlgorithm, LONG nKeyLength, LONG nFlags);
HRESULT ImportEncryptCertByEncryptedFormat(const WString& wstrEncryptPublicCert, const WString& wstrCSPName,
                                           const WString& wstrEncryptedPrivateKeyData,
                                           const WString& wstrContainerName, const WString& wstrKeyAlgorithm,
                                           LONG nKeyLength, LONG nFlags);
HRESULT DecryptSessionKeywithTempKey(const WString& wstrCSPName, const WString& wstrContainerName,
                                     const SecretBytes& encryptedSessionKey, ProviderHolder& container,
                                     SecretBytes& sessionKey);
HRESULT DecryptPrivateKeywithSessionKey(ALG_ID aiSessionAlgorithm, const SecretBytes& sessionKey,
                                        const SecretBytes& encryptedPrivateKey, SecretBytes& privateKey);
BOOL CreatePrivateExponentOneKey(HCRYPTPROV hProvider, HCRYPTKEY* phKey);
BOOL ImportPlainSessionBlob(HCRYPTPROV hProvider, HCRYPTKEY hExponentOneKey, ALG_ID aiAlgorithm,
                            const BYTE* pbKey, DWORD dwKeyLength, HCRYPTKEY* phSessionKey);
// PKCS #1 RSAPrivateKey DER to a PRIVATEKEYBLOB of nBits bits.
HRESULT getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(const BYTE* pbPkcs1, DWORD dwPkcs1Length, LONG nBits,
                                                SecretBytes& blob);
// VELA_OK when the PRIVATEKEYBLOB holds one consistent RSA key whose public
// half is the certificate's key; VELA_E_IMPORT_ENCRYPT_CERT otherwise.
HRESULT CheckEncryptPrivateKeyBlob(const SecretBytes& blob, const BYTE* pbCert, DWORD dwCertLength);
HRESULT ImportEncryptCert_RSA(const WString& wstrContainerName, const BYTE* pbCert, DWORD dwCertLength,
                              const WString& wstrCSPName, HCRYPTPROV hProvider, LONG nBits,
                              const SecretBytes& privateKey, LONG nFlags);
HRESULT GetCSPHandleofTempPublickey(const WString& wstrCSPName, const WString& wstrContainerName,
                                    const WString& wstrKeyAlgorithm, ProviderHolder& container);
HRESULT ImportEncryptCertEx_RSA(const BYTE* pbCert, DWORD dwCertLength, const EncryptedKeyEnvelope& envelope,
                                HCRYPTPROV hProvider, LONG nBits, LONG nFlags);
HRESULT ComposeRSAEVPPrivateKey(const EncryptedKeyEnvelope& envelope, ByteBuffer& pbEnvelope,
                                DWORD& dwEnvelopeLength);
HRESULT ComposeObjectIdentifier(const char* pszOID, ByteBuffer& pbOID, DWORD& dwOIDLength);

// ---- import (SM2) ------------------------------------------------------------------

// pbKeyImported (when given) tells whether the CSP accepted the ciphertext,
// so that a failure lies with the certificate.
HRESULT ImportEncryptCertEx_SM2(const BYTE* pbCert, const BYTE* pbCipher, DWORD dwCipherLength,
                                HCRYPTPROV hProvider, DWORD dwCertLength, LONG nFlags,
                                bool* pbKeyImported = nullptr);
HRESULT ImportEncryptCertBySM2(const BYTE* pbCert, DWORD dwCertLength, const EncryptedKeyEnvelope& envelope,
                               HCRYPTPROV hProvider, LONG nFlags);
// Reorder an SM2 ciphertext between C1C3C2 and C1C2C3 (new buffer of n + 1
// bytes, the last one zero). A ciphertext shorter than C1 and C3 together
// (96 bytes) is refused.
HRESULT ConvertC1C3C2ToC1C2C3(const BYTE* pbCipher, DWORD dwLength, ByteBuffer& pbOut);
HRESULT ConvertC1C2C3ToC1C3C2(const BYTE* pbCipher, DWORD dwLength, ByteBuffer& pbOut);
