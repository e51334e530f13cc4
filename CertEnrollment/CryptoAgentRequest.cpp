// The request operations: the PKCS #10 request with a new key container,
// and the probe whether the user may create key containers at all.
#include "CertificateInfo.h"
#include "CertificateRequisition.h"
#include "CryptoAgent.h"
#include "VelaTrace.h"

namespace {

const WCHAR kBaseProvider[] = TEXT("Microsoft Base Cryptographic Provider v1.0");

// The request text is ASCII; it becomes UTF-16 character for character.
BSTR AllocRequestText(const char* pszText) {
    WString wstrText;
    if (pszText)
        for (const char* p = pszText; *p; ++p) wstrText.push_back((WCHAR)(unsigned char)*p);
    return SysAllocString(wstrText.c_str());
}

}  // namespace

HRESULT CCryptoAgent::VELA_PKCS10CertRequisition(BSTR bstrSubjectDN, LONG nCertType, LONG nGenKeyFlags,
                                                 BSTR* pbstrRequest) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_PKCS10CertRequisition");
    CharBuffer pszRequest;
    HRESULT hr = VELA_OK;
    const bool bRSA = EqualsNoCaseAscii(m_wstrKeyAlgorithm, TEXT("RSA"));
    if (!bRSA && !EqualsNoCaseAscii(m_wstrKeyAlgorithm, TEXT("SM2"))) {
        hr = VELA_E_INVALID_KEY_ALGORITHM;
        VELA_LOG_FAILURE(hr, "Invalid key algorithm.", "true");
    } else {
        WString wstrContainerName;
        DWORD dwKeySpec = nCertType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
        hr = PKCS10CertRequisition(pszRequest, wstrContainerName, m_wstrCSPName.c_str(), bstrSubjectDN, nCertType,
                                   dwKeySpec, bRSA ? TRUE : FALSE, m_nKeyLength, (DWORD)nGenKeyFlags);
        if (FAILED(hr)) {
            pszRequest.reset();
            VELA_LOG_FAILURE(hr, "PKCS10CertRequisition FAILED", "FAILED(hResult)");
        } else {
            m_wstrContainerName = wstrContainerName;
            VELA_LOG_SUCCESS("PKCS10CertRequisition");
        }
    }
    if (pbstrRequest) *pbstrRequest = AllocRequestText(pszRequest.get());
    return Record(hr);
}

HRESULT CCryptoAgent::VELA_HavePermissiontoGenerateKeyPair(VARIANT_BOOL* pbOk) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_HavePermissiontoGenerateKeyPair");
    if (pbOk) *pbOk = VARIANT_FALSE;
    WideBuffer pwszProviders;
    HRESULT hr = GetAllCSPName(pwszProviders);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetAllCSPName", "FAILED(hResult)");
        return hr;
    }
    if (!ContainsText(ToWString(pwszProviders.get()), kBaseProvider)) {
        hr = E_ACCESSDENIED;
        VELA_LOG_FAILURE(hr, "Find Microsoft Base Cryptographic Provider v1.0", "NULL == wcsstr");
        return hr;
    }
    WString wstrContainerName;
    ByteBuffer pbPublicKey;
    DWORD cbPublicKey = 0;
    HCRYPTPROV hProvider = 0;
    hr = CreatePublicKey(wstrContainerName, pbPublicKey, 1024, kBaseProvider, TRUE, AT_KEYEXCHANGE, TRUE, hProvider,
                         cbPublicKey, 0);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "CreatePublicKey", "FAILED(hResult)");
        return hr;
    }
    if (pbOk) *pbOk = VARIANT_TRUE;
    pbPublicKey.reset();
    if (hProvider) CryptReleaseContext(hProvider, 0);
    // The throwaway container goes again; the outcome is only traced.
    HCRYPTPROV hDelete = 0;
    BOOL bDeleted =
        CryptAcquireContextW(&hDelete, wstrContainerName.c_str(), kBaseProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    TraceInfo(TEXT("delete probe container %ws: %d"), wstrContainerName.c_str(), (int)bDeleted);
    VELA_LOG_SUCCESS("CreatePublicKey");
    return VELA_OK;
}
