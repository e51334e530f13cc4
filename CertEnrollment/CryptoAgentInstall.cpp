// The certificate-installation operations (signature and encryption certificates).
#include "CryptoAgent.h"

#include "VelaTrace.h"

HRESULT CCryptoAgent::VELA_ImportSignCert(LONG lCertType, BSTR bstrSignCert, BSTR bstrContainerName,
                                          VARIANT_BOOL* pbOk) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_ImportSignCert");
    VELA_LOG_FAILURE(E_NOTIMPL, "ImportSignCert", "FAILED(hResult)");
    return Record(E_NOTIMPL);
}

HRESULT CCryptoAgent::VELA_ImportEncryptCert(BSTR bstrEncryptedPrivateKey, BSTR bstrP7Cert, BSTR bstrContainerName,
                                             LONG nFlags, VARIANT_BOOL* pbOk) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_ImportEncryptCert");
    m_wstrFirstSignContainer.clear();
    m_wstrSecondSignContainer.clear();
    VELA_LOG_FAILURE(E_NOTIMPL, "ImportEncryptCertEx", "FAILED(hResult)");
    return Record(E_NOTIMPL);
}
