// CryptoAPI and certificate-services subset for non-Windows builds.
#pragma once
#include <windows.h>
#include <tessera/wincrypt_capi.h>
#include <tessera/wincrypt_cert.h>
