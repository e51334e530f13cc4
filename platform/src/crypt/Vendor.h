// Import of the encrypted-key blobs of the Tessera providers: the provider
// decrypts the key with the container's exchange key and installs the
// result as the container's exchange key pair.
#pragma once
#include "Csp.h"

#include "../../../CertEnrollment/VendorKeyBlob.h"

namespace tessera::crypt {

BOOL ImportVendorBlob(std::shared_ptr<Context> context, const BYTE* data, DWORD length, DWORD flags,
                      HCRYPTKEY* phKey);

}  // namespace tessera::crypt
