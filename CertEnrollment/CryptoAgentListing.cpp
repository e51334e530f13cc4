// The listing operations (installed CSPs, the user's certificates).
#include "CertificateInfo.h"
#include "CryptoAgent.h"
#include "VelaTrace.h"

HRESULT CCryptoAgent::VELA_GetCSPInfo(BSTR* pbstrCSPInfo) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_GetCSPInfo");
    WideBuffer pwszAllCSPName;
    HRESULT hr = GetAllCSPName(pwszAllCSPName);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "VELA_GetCSPInfo-GetAllCSPName.", "FAILED(hResult)");
        return Record(hr);
    }
    if (pbstrCSPInfo) *pbstrCSPInfo = pwszAllCSPName ? SysAllocString(pwszAllCSPName.get()) : nullptr;
    VELA_LOG_SUCCESS("VELA_GetCSPInfo-GetAllCSPName.");
    return Record(VELA_OK);
}

HRESULT CCryptoAgent::VELA_GetAllCertInfo(BSTR* pbstrCertInfo) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_GetAllCertInfo");
    HCERTSTORE hCertStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                          CERT_SYSTEM_STORE_CURRENT_USER, TEXT("My"));
    if (!hCertStore) {
        HRESULT hr = StatusFromLastError((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "CertOpenStore", "hCertStore == NULL");
        return Record(hr);
    }
    WString wstrCertInfo;
    HRESULT hr = GetAllCertificatesInfoinStore(wstrCertInfo, hCertStore);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetAllCertificatesInfoinStore.", "FAILED(hResult)");
    } else {
        if (pbstrCertInfo) *pbstrCertInfo = SysAllocString(wstrCertInfo.c_str());
        VELA_LOG_SUCCESS("GetAllCertificatesInfoinStore.");
    }
    CertCloseStore(hCertStore, 0);
    return Record(hr);
}
