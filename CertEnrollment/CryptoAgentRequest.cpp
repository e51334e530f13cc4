// The request operations (PKCS #10 request, permission probe).
#include "CryptoAgent.h"

#include "VelaTrace.h"

HRESULT CCryptoAgent::VELA_PKCS10CertRequisition(BSTR bstrSubjectDN, LONG nCertType, LONG nGenKeyFlags,
                                                 BSTR* pbstrRequest) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_PKCS10CertRequisition");
    if (pbstrRequest) *pbstrRequest = SysAllocString(TEXT(""));
    VELA_LOG_FAILURE(E_NOTIMPL, "PKCS10CertRequisition FAILED", "FAILED(hResult)");
    return Record(E_NOTIMPL);
}

HRESULT CCryptoAgent::VELA_HavePermissiontoGenerateKeyPair(VARIANT_BOOL* pbOk) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_HavePermissiontoGenerateKeyPair");
    if (pbOk) *pbOk = VARIANT_FALSE;
    return E_NOTIMPL;
}
