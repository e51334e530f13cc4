// The SM2 public key of an uncompressed point (04 || x || y) as an OpenSSL
// key, for the OpenSSL side of the tests; nullptr when the point is not on
// the curve. The caller frees it with EVP_PKEY_free.
#pragma once

#include "Oracle.h"

#include <openssl/evp.h>

namespace oracle {
EVP_PKEY* NewSm2PublicKey(const Bytes& point);
}
