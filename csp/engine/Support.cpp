// The few helpers of the platform layer that the provider engine calls,
// for the Windows DLL: the link of a certificate into the user's "MY" store
// and the ownership checks of the service-provider interface (a key or hash
// handle belongs to one context). Text conversion is the platform layer's
// own (Text.cpp).
#include "crypt/Csp.h"

#include <tessera/platform_internal.h>
#include <tessera/store_internal.h>

extern "C" BOOL TesseraCspLinkCertificate(const BYTE* der, DWORD length, const WCHAR* container,
                                          const WCHAR* provider, DWORD providerType, DWORD keySpec);

BOOL TesseraStoreAddLinkedCertificate(const BYTE* der, DWORD length, const WCHAR* container, const WCHAR* provider,
                                      DWORD providerType, DWORD keySpec) {
    return TesseraCspLinkCertificate(der, length, container, provider, providerType, keySpec);
}

using namespace tessera::crypt;

// Whether the key (hash) handle was made on the context hProv: the
// dispatcher passes both, and a handle of another context is refused.
extern "C" BOOL TesseraEngineKeyOwnedBy(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    auto context = Contexts().Find(hProv);
    auto key = Keys().Find(hKey);
    return context && key && key->context == context;
}

extern "C" BOOL TesseraEngineHashOwnedBy(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    auto context = Contexts().Find(hProv);
    auto hash = Hashes().Find(hHash);
    return context && hash && hash->context == context;
}

extern "C" BOOL TesseraEngineContextKnown(HCRYPTPROV hProv) { return Contexts().Find(hProv) != nullptr; }
