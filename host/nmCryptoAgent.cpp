#include "nmCryptoAgent.h"

#include <cstring>
#include <utility>

#include "IOStream.h"
#include "VelaFormat.h"
#include "VelaTrace.h"

namespace {

// How a wrapper turns a failure into the response's "errorcode".
enum class ErrorRule {
    S,  // the status of the failing step (E_INVALIDARG for the list checks)
    M,  // -1 for every failure
    P,  // -1 for the list checks, the reader's code, else the failing status
};

enum class StepKind { ArgsCheck, Reader, Conversion, Agent };

struct BstrHolder {
    BSTR bstr = nullptr;
    BstrHolder() = default;
    BstrHolder(const BstrHolder&) = delete;
    BstrHolder& operator=(const BstrHolder&) = delete;
    ~BstrHolder() {
        if (bstr) SysFreeString(bstr);
    }
};

// The frame shared by the wrappers: trace scope, parameter reading with the
// steps named after the parameters, the error-code rule and the response.
class WrapperFrame {
public:
    WrapperFrame(const WCHAR* pwszName, ErrorRule rule) : m_scope(pwszName), m_rule(rule) {}

    bool Failed() const { return m_bFailed; }

    bool CheckArgs(const cJSON* pJSONArgs, int nExpected) {
        if (!pJSONArgs) {
            Fail(StepKind::ArgsCheck, E_INVALIDARG, __LINE__, TEXT("Check parameter(pArgs)"), TEXT("NULL == pJSONArgs"));
            return false;
        }
        int nArgsCount = cJSON_GetArraySize(pJSONArgs);
        if (nArgsCount != nExpected) {
            WCHAR reason[32];
            FormatWide(reason, 32, TEXT("%d != nArgsCount"), nExpected);
            Fail(StepKind::ArgsCheck, E_INVALIDARG, __LINE__, TEXT("Check parameter(Args count)"), reason);
            return false;
        }
        return true;
    }

    // Reads parameter nIndex as a string and converts it to a platform string.
    bool ReadString(const cJSON* pJSONArgs, int nIndex, const WCHAR* pwszParamName, BstrHolder& value) {
        CharBuffer utf8;
        HRESULT nResult = ConverJSONArrayItemtoNULLEndString(pJSONArgs, nIndex, utf8);
        if (nResult != VELA_OK) {
            Fail(StepKind::Reader, nResult, __LINE__, Step(TEXT("ConverJSONArrayItemtoNULLEndString"), pwszParamName),
                 TEXT("VELA_OK != nResult"));
            return false;
        }
        WideBuffer wide;
        DWORD dwLength = 0;
        HRESULT hResult = UTF8ToUTF16(utf8.get(), wide, dwLength);
        if (SUCCEEDED(hResult)) {
            value.bstr = SysAllocStringLen(wide.get(), UINT(dwLength));
            if (!value.bstr) hResult = E_OUTOFMEMORY;
        }
        if (FAILED(hResult)) {
            Fail(StepKind::Conversion, hResult, __LINE__, Step(TEXT("UTF8ToUTF16"), pwszParamName),
                 TEXT("FAILED(hResult)"));
            return false;
        }
        return true;
    }

    bool ReadInt(const cJSON* pJSONArgs, int nIndex, const WCHAR* pwszParamName, int& nValue) {
        nValue = 0;
        HRESULT nResult = ConverJSONArrayItemtoint(pJSONArgs, nIndex, nValue);
        if (nResult != VELA_OK) {
            Fail(StepKind::Reader, nResult, __LINE__, Step(TEXT("ConverJSONArrayItemtoint"), pwszParamName),
                 TEXT("VELA_OK != nResult"));
            return false;
        }
        return true;
    }

    bool AgentCall(HRESULT hResult, const WCHAR* pwszOperation) {
        if (FAILED(hResult)) {
            Fail(StepKind::Agent, hResult, __LINE__, Step(TEXT("pobjCryptoAgent->"), pwszOperation, false),
                 TEXT("FAILED(hResult)"));
            return false;
        }
        TraceSuccessLine(m_scope.Name(), Step(TEXT("pobjCryptoAgent->"), pwszOperation, false));
        return true;
    }

    // The agent's string result as UTF-8; a null string is the empty text.
    bool ToUTF8(BSTR bstrValue, const WCHAR* pwszValueName, CharBuffer& utf8) {
        DWORD dwLength = 0;
        HRESULT hResult = UTF16ToUTF8(bstrValue ? bstrValue : TEXT(""), utf8, dwLength);
        if (FAILED(hResult)) {
            Fail(StepKind::Conversion, hResult, __LINE__, Step(TEXT("UTF16ToUTF8"), pwszValueName),
                 TEXT("FAILED(hResult)"));
            return false;
        }
        return true;
    }

    // Builds the response: the error code of the rule after a failure,
    // else 0 with the value (which may be null: no "result").
    HRESULT Respond(JSONPtr& pResponse, const char* pszResponseName, int nKind, const void* pValue) {
        HRESULT nResult = ConstructResponseJSON(pResponse, pszResponseName, m_bFailed ? m_nErrorCode : 0, nKind,
                                                m_bFailed ? nullptr : pValue);
        if (nResult != VELA_OK)
            TraceFailureLine(nResult, __FILE__, __LINE__, m_scope.Name(), TEXT("ConstructResponseJSON"),
                             TEXT("VELA_OK != nResult"));
        return VELA_OK;
    }

    // A string result must leave its response within one frame, with room
    // for a token: one that cannot is a failure of the operation, answered
    // with a small frame, instead of a frame the channel cannot carry.
    bool CheckFits(const char* pszResponseName, const CharBuffer& utf8, const WCHAR* pwszValueName) {
        // {"function":"NAME","errorcode":0,"result":"TEXT"}
        const size_t nLength = std::strlen(pszResponseName) + JSONEscapedLength(utf8.get()) + 45;
        if (nLength + kTokenRoom > NM_MAX_RESPONSE_LENGTH) {
            Fail(StepKind::Conversion, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), __LINE__,
                 Step(TEXT("Check size"), pwszValueName), TEXT("nResponseLength > NM_MAX_RESPONSE_LENGTH"));
            return false;
        }
        return true;
    }

    HRESULT RespondBool(JSONPtr& pResponse, const char* pszResponseName, VARIANT_BOOL bValue) {
        // True only for the agent's boolean true (all bits set).
        unsigned char byValue = bValue == VARIANT_TRUE ? 1 : 0;
        return Respond(pResponse, pszResponseName, RESULT_KIND_TRUE, &byValue);
    }

    HRESULT RespondString(JSONPtr& pResponse, const char* pszResponseName, const CharBuffer& utf8) {
        return Respond(pResponse, pszResponseName, RESULT_KIND_STRING, utf8.get());
    }

private:
    const WCHAR* Step(const WCHAR* pwszBase, const WCHAR* pwszName, bool bParenthesised = true) {
        FormatWide(m_wszStep, kStepCapacity, bParenthesised ? TEXT("%ws(%ws)") : TEXT("%ws%ws"), pwszBase, pwszName);
        return m_wszStep;
    }

    void Fail(StepKind kind, HRESULT status, int line, const WCHAR* pwszStep, const WCHAR* pwszReason) {
        TraceFailureLine(status, __FILE__, line, m_scope.Name(), pwszStep, pwszReason);
        m_bFailed = true;
        switch (m_rule) {
        case ErrorRule::S: m_nErrorCode = status; break;
        case ErrorRule::M: m_nErrorCode = -1; break;
        case ErrorRule::P: m_nErrorCode = kind == StepKind::ArgsCheck ? -1 : status; break;
        }
    }

    static constexpr size_t kStepCapacity = 96;
    static constexpr size_t kTokenRoom = 1024;
    TraceHelper m_scope;
    ErrorRule m_rule;
    bool m_bFailed = false;
    HRESULT m_nErrorCode = 0;
    WCHAR m_wszStep[kStepCapacity] = {};
};

// The operations that only hand out a string.
using StringSlot = HRESULT (CCryptoAgent::*)(BSTR*);

HRESULT StringOperation(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent,
                        WrapperFrame& frame, const char* pszResponseName, StringSlot slot,
                        const WCHAR* pwszOperation, const WCHAR* pwszValueName) {
    BstrHolder value;
    CharBuffer utf8;
    if (frame.CheckArgs(pJSONArgs, 0) && frame.AgentCall((pobjCryptoAgent->*slot)(&value.bstr), pwszOperation))
        frame.ToUTF8(value.bstr, pwszValueName, utf8);
    return frame.RespondString(pResponse, pszResponseName, utf8);
}

}  // namespace

HRESULT nmVELA_GetCSPInfo(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    WrapperFrame frame(TEXT("nmVELA_GetCSPInfo"), ErrorRule::S);
    return StringOperation(pResponse, pJSONArgs, pobjCryptoAgent, frame, "VELA_GetCSPInfo",
                           &CCryptoAgent::VELA_GetCSPInfo, TEXT("VELA_GetCSPInfo"), TEXT("CSPName"));
}

HRESULT nmVELA_GetAllCertInfo(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    // The listing grows with the user's store, which every site shares: a
    // store too large to list must not end every conversation.
    WrapperFrame frame(TEXT("nmVELA_GetAllCertInfo"), ErrorRule::M);
    BstrHolder value;
    CharBuffer utf8;
    if (frame.CheckArgs(pJSONArgs, 0) &&
        frame.AgentCall(pobjCryptoAgent->VELA_GetAllCertInfo(&value.bstr), TEXT("VELA_GetAllCertInfo")) &&
        frame.ToUTF8(value.bstr, TEXT("AllCertInfo"), utf8))
        frame.CheckFits("VELA_GetAllCertInfo", utf8, TEXT("AllCertInfo"));
    return frame.RespondString(pResponse, "VELA_GetAllCertInfo", utf8);
}

HRESULT nmVELA_GetContainer(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    WrapperFrame frame(TEXT("nmVELA_GetContainer"), ErrorRule::M);
    return StringOperation(pResponse, pJSONArgs, pobjCryptoAgent, frame, "VELA_GetContainer",
                           &CCryptoAgent::VELA_GetContainer, TEXT("VELA_GetContainer"), TEXT("ContainerName"));
}

HRESULT nmGetLastErrorDesc(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    WrapperFrame frame(TEXT("nmGetLastErrorDesc"), ErrorRule::S);
    return StringOperation(pResponse, pJSONArgs, pobjCryptoAgent, frame, "VELA_GetLastErrorDesc",
                           &CCryptoAgent::GetLastErrorDesc, TEXT("GetLastErrorDesc"), TEXT("ErrorDesc"));
}

HRESULT nmVELA_SetCSPInfo(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    WrapperFrame frame(TEXT("nmVELA_SetCSPInfo"), ErrorRule::P);
    int nKeyLength = 0;
    BstrHolder cspName;
    VARIANT_BOOL bOk = VARIANT_FALSE;
    if (frame.CheckArgs(pJSONArgs, 2) && frame.ReadInt(pJSONArgs, 0, TEXT("nKeyLength"), nKeyLength) &&
        frame.ReadString(pJSONArgs, 1, TEXT("CSPName"), cspName))
        frame.AgentCall(pobjCryptoAgent->VELA_SetCSPInfo(nKeyLength, cspName.bstr, &bOk), TEXT("VELA_SetCSPInfo"));
    return frame.RespondBool(pResponse, "VELA_SetCSPInfo", bOk);
}

HRESULT nmVELA_SetKeyAlgorithm(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    WrapperFrame frame(TEXT("nmVELA_SetKeyAlgorithm"), ErrorRule::P);
    BstrHolder keyAlgorithm;
    VARIANT_BOOL bOk = VARIANT_FALSE;
    if (frame.CheckArgs(pJSONArgs, 1) && frame.ReadString(pJSONArgs, 0, TEXT("KeyAlgorithm"), keyAlgorithm))
        frame.AgentCall(pobjCryptoAgent->VELA_SetKeyAlgorithm(keyAlgorithm.bstr, &bOk), TEXT("VELA_SetKeyAlgorithm"));
    return frame.RespondBool(pResponse, "VELA_SetKeyAlgorithm", bOk);
}

HRESULT nmVELA_ImportEncryptCert(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    WrapperFrame frame(TEXT("nmVELA_ImportEncryptCert"), ErrorRule::P);
    BstrHolder encryptedPrivateKey, encryptPublicCert, containerName;
    int nFlags = 0;
    VARIANT_BOOL bOk = VARIANT_FALSE;
    if (frame.CheckArgs(pJSONArgs, 4) &&
        frame.ReadString(pJSONArgs, 0, TEXT("EncryptedPrivateKey"), encryptedPrivateKey) &&
        frame.ReadString(pJSONArgs, 1, TEXT("EncryptPublicCert"), encryptPublicCert) &&
        frame.ReadString(pJSONArgs, 2, TEXT("ContainerName"), containerName) &&
        frame.ReadInt(pJSONArgs, 3, TEXT("nEncryptCertPrivateKeyFlags"), nFlags))
        frame.AgentCall(pobjCryptoAgent->VELA_ImportEncryptCert(encryptedPrivateKey.bstr, encryptPublicCert.bstr,
                                                                containerName.bstr, nFlags, &bOk),
                        TEXT("VELA_ImportEncryptCert"));
    return frame.RespondBool(pResponse, "VELA_ImportEncryptCert", bOk);
}

HRESULT nmVELA_ImportSignCert(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    WrapperFrame frame(TEXT("nmVELA_ImportSignCert"), ErrorRule::P);
    int nCertType = 0;
    BstrHolder signCert, containerName;
    VARIANT_BOOL bOk = VARIANT_FALSE;
    if (frame.CheckArgs(pJSONArgs, 3) && frame.ReadInt(pJSONArgs, 0, TEXT("nCertType"), nCertType) &&
        frame.ReadString(pJSONArgs, 1, TEXT("SignCert"), signCert) &&
        frame.ReadString(pJSONArgs, 2, TEXT("ContainerName"), containerName))
        frame.AgentCall(pobjCryptoAgent->VELA_ImportSignCert(nCertType, signCert.bstr, containerName.bstr, &bOk),
                        TEXT("VELA_ImportSignCert"));
    return frame.RespondBool(pResponse, "VELA_ImportSignCert", bOk);
}

HRESULT nmVELA_PKCS10CertRequisition(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    WrapperFrame frame(TEXT("nmVELA_PKCS10CertRequisition"), ErrorRule::P);
    BstrHolder subjectDN, request;
    int nCertType = 0, nGenKeyFlags = 0;
    CharBuffer utf8;
    if (frame.CheckArgs(pJSONArgs, 3) && frame.ReadString(pJSONArgs, 0, TEXT("SubjectDN"), subjectDN) &&
        frame.ReadInt(pJSONArgs, 1, TEXT("nCertType"), nCertType) &&
        frame.ReadInt(pJSONArgs, 2, TEXT("nSignPrivateKeyGenerateFlags"), nGenKeyFlags) &&
        frame.AgentCall(
            pobjCryptoAgent->VELA_PKCS10CertRequisition(subjectDN.bstr, nCertType, nGenKeyFlags, &request.bstr),
            TEXT("VELA_PKCS10CertRequisition")))
        frame.ToUTF8(request.bstr, TEXT("P10CertRequisition"), utf8);
    return frame.RespondString(pResponse, "VELA_PKCS10CertRequisition", utf8);
}

HRESULT nmVELA_HavePermissiontoGenerateKeyPair(JSONPtr& pResponse, const cJSON* pJSONArgs,
                                               CCryptoAgent* pobjCryptoAgent) {
    WrapperFrame frame(TEXT("nmVELA_HavePermissiontoGenerateKeyPair"), ErrorRule::M);
    VARIANT_BOOL bOk = VARIANT_FALSE;
    if (frame.CheckArgs(pJSONArgs, 0))
        frame.AgentCall(pobjCryptoAgent->VELA_HavePermissiontoGenerateKeyPair(&bOk),
                        TEXT("VELA_HavePermissiontoGenerateKeyPair"));
    return frame.RespondBool(pResponse, "VELA_HavePermissiontoGenerateKeyPair", bOk);
}

HRESULT nmVELA_GetVersion(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent*) {
    WrapperFrame frame(TEXT("nmVELA_GetVersion"), ErrorRule::S);
    frame.CheckArgs(pJSONArgs, 0);
    return frame.Respond(pResponse, "VELA_GetVersion", RESULT_KIND_STRING, TESSERA_HOST_VERSION);
}

HRESULT CheckHost(JSONPtr& pResponse) {
    VELA_TRACE_SCOPE("nmCheckHost");
    int nResult = 0;
    HRESULT hResult = ConstructResponseJSON(pResponse, "CheckHost", 0, RESULT_KIND_INT, &nResult);
    if (hResult != VELA_OK) VELA_LOG_FAILURE(hResult, "ConstructResponseJSON", "VELA_OK != nResult");
    return VELA_OK;
}

namespace {

HRESULT CheckHostWrapper(JSONPtr& pResponse, const cJSON*, CCryptoAgent*) { return CheckHost(pResponse); }

struct Operation {
    const char* pszRequestName;
    OperationWrapper pfnWrapper;
};

// Matched in this order.
constexpr Operation kOperations[] = {
    {"VELA_GetCSPInfo", nmVELA_GetCSPInfo},
    {"VELA_GetAllCertInfo", nmVELA_GetAllCertInfo},
    {"VELA_SetCSPInfo", nmVELA_SetCSPInfo},
    {"VELA_SetKeyAlgorithm", nmVELA_SetKeyAlgorithm},
    {"VELA_ImportEncryptCert", nmVELA_ImportEncryptCert},
    {"VELA_GetContainer", nmVELA_GetContainer},
    {"VELA_ImportSignCert", nmVELA_ImportSignCert},
    {"VELA_PKCS10CertRequisition", nmVELA_PKCS10CertRequisition},
    {"VELA_HavePermissiontoGenerateKeyPair", nmVELA_HavePermissiontoGenerateKeyPair},
    {"VELA_GetVersion", nmVELA_GetVersion},
    {"GetLastErrorDesc", nmGetLastErrorDesc},
    {"checkHost", CheckHostWrapper},
};

}  // namespace

HRESULT Invoke(JSONPtr& pResponse, const char* pszFunctionName, const cJSON* pJSONArgs,
               CCryptoAgent* pobjCryptoAgent) {
    VELA_TRACE_SCOPE("Invoke");
    if (pszFunctionName) {
        for (const Operation& operation : kOperations)
            if (_stricmp(pszFunctionName, operation.pszRequestName) == 0)
                return operation.pfnWrapper(pResponse, pJSONArgs, pobjCryptoAgent);
    }
    VELA_LOG_FAILURE(-1, "Match function name", "unknown function");
    return -1;
}
