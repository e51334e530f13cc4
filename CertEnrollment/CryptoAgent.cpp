// The agent's construction and the operations on its own state: settings,
// container, version and the last error's text.
#include "CryptoAgent.h"

#include "VelaTrace.h"

HINSTANCE CCryptoAgent::s_hResourceModule = nullptr;

CCryptoAgent::CCryptoAgent() = default;
CCryptoAgent::~CCryptoAgent() = default;

HRESULT CCryptoAgent::VELA_SetCSPInfo(LONG nKeyLength, BSTR bstrCSPName, VARIANT_BOOL* pbOk) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_SetCSPInfo");
    if (!bstrCSPName) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Invalid parameter.", "bstrCSPName == NULL");
        return Record(E_INVALIDARG);
    }
    WString wstrCSPName = TrimSpaces(bstrCSPName);
    if (wstrCSPName.size() == 0) {
        VELA_LOG_FAILURE(E_INVALIDARG, "CSP name cannot be NULL.", "wstrCSPName.size() == 0");
        return Record(E_INVALIDARG);
    }
    TraceInfo(TEXT("CSP name: %ws, key length: %d"), wstrCSPName.c_str(), (int)nKeyLength);
    if (ContainsText(wstrCSPName, TEXT("Microsoft"))) {
        if (ContainsText(wstrCSPName, TEXT("Base"))) {
            if (nKeyLength != 512 && nKeyLength != 1024) {
                VELA_LOG_FAILURE(VELA_E_KEY_LENGTH_NOT_SUPPORTED, "key length doesnot support(base).", "1");
                return Record(VELA_E_KEY_LENGTH_NOT_SUPPORTED);
            }
        } else if (nKeyLength != 512 && nKeyLength != 1024 && nKeyLength != 2048 && nKeyLength != 4096) {
            VELA_LOG_FAILURE(VELA_E_KEY_LENGTH_NOT_SUPPORTED, "key length doesnot support(non-base).", "1");
            return Record(VELA_E_KEY_LENGTH_NOT_SUPPORTED);
        }
    }
    size_t amp = wstrCSPName.find(TEXT("&amp;"));
    if (amp != WString::npos) wstrCSPName.erase(amp + 1, 4);  // "&amp;" -> "&"
    m_nKeyLength = nKeyLength;
    m_wstrCSPName = wstrCSPName;
    if (pbOk) *pbOk = VARIANT_TRUE;
    VELA_LOG_SUCCESS("Set CSP information");
    return Record(VELA_OK);
}

HRESULT CCryptoAgent::VELA_SetKeyAlgorithm(BSTR bstrKeyAlgorithm, VARIANT_BOOL* pbOk) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_SetKeyAlgorithm");
    if (!bstrKeyAlgorithm) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Invalid parameter.", "bstrKeyAlgorithm == NULL");
        return Record(E_INVALIDARG);
    }
    WString wstrKeyAlgorithm = bstrKeyAlgorithm;
    if (wstrKeyAlgorithm.size() == 0) {
        VELA_LOG_FAILURE(E_INVALIDARG, "key algorithm cannot be null.", "wstrKeyAlgorithm.size() == 0");
        return Record(E_INVALIDARG);
    }
    wstrKeyAlgorithm = TrimSpaces(wstrKeyAlgorithm);
    if (!EqualsNoCaseAscii(wstrKeyAlgorithm, TEXT("RSA")) && !EqualsNoCaseAscii(wstrKeyAlgorithm, TEXT("SM2"))) {
        VELA_LOG_FAILURE(VELA_E_INVALID_KEY_ALGORITHM, "key algorithm does not support.", "1");
        return Record(VELA_E_INVALID_KEY_ALGORITHM);
    }
    m_wstrKeyAlgorithm = wstrKeyAlgorithm;
    if (pbOk) *pbOk = VARIANT_TRUE;
    VELA_LOG_SUCCESS("Set key algorithm");
    return Record(VELA_OK);
}

HRESULT CCryptoAgent::VELA_GetContainer(BSTR* pbstrContainer) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_GetContainer");
    if (pbstrContainer) *pbstrContainer = SysAllocString(m_wstrContainerName.c_str());
    VELA_LOG_SUCCESS("Get container name");
    return Record(VELA_OK);
}

HRESULT CCryptoAgent::VELA_GetVersion(BSTR* pbstrVersion) {
    VELA_TRACE_SCOPE("CCryptoAgent::VELA_GetVersion");
    if (pbstrVersion) *pbstrVersion = nullptr;
    return VELA_OK;
}

HRESULT CCryptoAgent::GetLastErrorDesc(BSTR* pbstrErrorDesc) {
    VELA_TRACE_SCOPE("CCryptoAgent::GetLastErrorDesc");
    if (pbstrErrorDesc) *pbstrErrorDesc = BuildErrorDescription(s_hResourceModule, m_nLastError);
    return VELA_OK;
}
