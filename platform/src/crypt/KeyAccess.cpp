// TesseraCryptPrivateKey: the key-material entry point for the PKCS #11 module.
#include <tessera/key_access.h>
#include <tessera/platform_internal.h>

#include "Csp.h"

using namespace tessera;
using namespace tessera::crypt;

EVP_PKEY* TesseraCryptPrivateKey(HCRYPTPROV provider, DWORD keySpec) {
    auto context = Contexts().Find(provider);
    if (!context) {
        SetLastError(NTE_BAD_UID);
        return nullptr;
    }
    auto pair = UserKeyPair(*context, keySpec);
    if (!pair) return nullptr;
    if ((pair->flags & CRYPT_USER_PROTECTED) && (context->silent || context->ephemeral)) {
        SetLastError(NTE_SILENT_CONTEXT);
        return nullptr;
    }
    if (EVP_PKEY_up_ref(pair->pkey.get()) != 1) {
        SetLastError(NTE_NO_MEMORY);
        return nullptr;
    }
    return pair->pkey.get();
}
