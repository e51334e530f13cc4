// Certificate services (crypt32).
#pragma once
#include <tessera/wincrypt_capi.h>
