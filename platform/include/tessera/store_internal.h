// Entry points of the certificate-store layer for other parts of the
// platform layer (the key store's own providers). Not part of the Windows
// API surface; the core never includes this header.
#pragma once
#include <windows.h>

// Adds the DER certificate to the current user's "MY" store, replacing an
// existing copy, and links it to the key container through the key-provider
// property (container, provider, provider type, flags 0, key type (dwKeySpec)).
// One transaction. Returns FALSE with the thread's last error set on failure
// (for example CRYPT_E_ASN1_BADTAG for bytes that are not a certificate).
BOOL TesseraStoreAddLinkedCertificate(const BYTE* der, DWORD length, const WCHAR* container,
                                      const WCHAR* provider, DWORD providerType, DWORD keySpec);
