// The registry as the rest of the platform layer sees it: keys and values
// of HKEY_CURRENT_USER (the user's database) and HKEY_LOCAL_MACHINE (the
// machine database). The certificate system stores are kept where Windows
// keeps them: below SOFTWARE\Microsoft\SystemCertificates, key
// <store>\Certificates\<SHA-1 thumbprint>, value "Blob".
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "store/Database.h"

namespace tessera::registry {

using store::Scope;
using Bytes = std::vector<BYTE>;

struct CertificateEntry {
    std::u16string thumbprint;  // the subkey name
    Bytes blob;
};

// Every "Blob" value below the store's Certificates key (a database that
// does not exist yet gives an empty list; one that cannot be read, an error).
bool ReadCertificateBlobs(Scope scope, const std::u16string& storeName, std::vector<CertificateEntry>& entries,
                          DWORD& error);
// Writes one certificate's blob in one transaction, creating the keys on the
// way. With failIfExists an existing value fails with CRYPT_E_EXISTS.
bool WriteCertificateBlob(Scope scope, const std::u16string& storeName, const std::u16string& thumbprint,
                          const Bytes& blob, bool failIfExists, DWORD& error);
// Removes a certificate's key and its values; a missing key is not an error.
bool RemoveCertificateKey(Scope scope, const std::u16string& storeName, const std::u16string& thumbprint,
                          DWORD& error);

}  // namespace tessera::registry
