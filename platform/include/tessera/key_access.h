// Key material behind a provider handle, for signers that need an operation
// CryptoAPI has no call for (raw PKCS #1 blocks, PSS): the PKCS #11 module.
// Not part of the Windows API surface; the core never includes this header.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <openssl/evp.h>

// The private key of the context's pair (AT_KEYEXCHANGE or AT_SIGNATURE),
// loaded through the provider as CryptSignHash would load it, with a new
// reference the caller drops with EVP_PKEY_free. Null with the last error
// set: NTE_BAD_UID for an unknown handle, NTE_NO_KEY when there is no such
// pair, NTE_SILENT_CONTEXT for a user-protected key in a silent context.
EVP_PKEY* TesseraCryptPrivateKey(HCRYPTPROV provider, DWORD keySpec);
