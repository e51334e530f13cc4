// The listing operations (installed CSPs, the user's certificates).
#include "CryptoAgent.h"

#include "VelaTrace.h"

HRESULT CCryptoAgent::VELA_GetCSPInfo(BSTR* pbstrCSPInfo) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_GetCSPInfo");
    VELA_LOG_FAILURE(E_NOTIMPL, "VELA_GetCSPInfo-GetAllCSPName.", "FAILED(hResult)");
    return Record(E_NOTIMPL);
}

HRESULT CCryptoAgent::VELA_GetAllCertInfo(BSTR* pbstrCertInfo) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_GetAllCertInfo");
    VELA_LOG_FAILURE(E_NOTIMPL, "GetAllCertificatesInfoinStore.", "FAILED(hResult)");
    return Record(E_NOTIMPL);
}
