// CryptAcquireCertificatePrivateKey: opens the key container that the
// certificate's key-provider property names.
#include "CertInternal.h"

#include <tessera/platform_internal.h>

#include <vector>

using namespace tessera;
using namespace tessera::cert;

extern "C" BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT context, DWORD flags, void*,
                                                  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* provider, DWORD* keySpec,
                                                  BOOL* callerFree) {
    if (!provider) return Fail(DWORD(E_INVALIDARG));
    *provider = 0;
    std::vector<BYTE> record;
    {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        CertObject* o = FromContext(context);
        if (!o) return Fail(DWORD(E_INVALIDARG));
        if ((flags & CRYPT_ACQUIRE_CACHE_FLAG) && o->cachedProvider) {
            *provider = o->cachedProvider;
            if (keySpec) *keySpec = o->cachedKeySpec;
            if (callerFree) *callerFree = FALSE;
            return TRUE;
        }
    }
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
        return Fail(DWORD(CRYPT_E_NO_KEY_PROPERTY));
    std::vector<uint64_t> buffer((size + 7) / 8);
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
    if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, info, &size))
        return Fail(DWORD(CRYPT_E_NO_KEY_PROPERTY));
    DWORD acquireFlags = info->dwFlags & CRYPT_MACHINE_KEYSET;
    if (flags & CRYPT_ACQUIRE_SILENT_FLAG) acquireFlags |= CRYPT_SILENT;
    HCRYPTPROV handle = 0;
    if (!CryptAcquireContextW(&handle, info->pwszContainerName, info->pwszProvName, info->dwProvType, acquireFlags))
        return FALSE;  // the provider's last error stands
    if (flags & CRYPT_ACQUIRE_CACHE_FLAG) {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        if (CertObject* o = FromContext(context)) {
            o->cachedProvider = handle;
            o->cachedKeySpec = info->dwKeySpec;
        }
    }
    *provider = handle;
    if (keySpec) *keySpec = info->dwKeySpec;
    if (callerFree) *callerFree = (flags & CRYPT_ACQUIRE_CACHE_FLAG) ? FALSE : TRUE;
    return TRUE;
}
