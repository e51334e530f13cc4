#include "CertificateRequisition.h"

#include <wincrypt.h>

#include "VelaTrace.h"

HRESULT DeleteMultiCertContainer(const WString& wstrFirstContainer, const WString& wstrSecondContainer,
                                 const WString& wstrCSPName) {
    VELA_TRACE_SCOPE("DeleteMultiCertContainer");
    HCRYPTPROV provider = 0;
    if (!wstrFirstContainer.empty()) {
        BOOL ok = CryptAcquireContextW(&provider, wstrFirstContainer.c_str(), wstrCSPName.c_str(), PROV_RSA_FULL,
                                       CRYPT_DELETEKEYSET);
        TraceInfo(TEXT("CryptAcquireContext-DeleteKeySetRSA: %d, last error 0x%08x"), ok, (unsigned)GetLastError());
    }
    if (!wstrSecondContainer.empty()) {
        BOOL ok = CryptAcquireContextW(&provider, wstrSecondContainer.c_str(), wstrCSPName.c_str(), PROV_RSA_FULL,
                                       CRYPT_DELETEKEYSET);
        TraceInfo(TEXT("CryptAcquireContext-DeleteKeySetSM2: %d, last error 0x%08x"), ok, (unsigned)GetLastError());
    }
    return VELA_OK;
}
