#include "ScriptablePluginObject.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "BrowserServices.h"
#include "TesseraVersion.h"
#include "VelaTrace.h"

namespace {

// The version text pages see (the agent leaves it to the front end).
const WCHAR kVersionText[] = TESSERA_VERSION_WTEXT;
const char kDefaultMethodText[] = "default method return val";

// A BSTR argument owned for the length of one call.
struct BStrDeleter {
    void operator()(OLECHAR* p) const { SysFreeString(p); }
};
using BStrHolder = std::unique_ptr<OLECHAR, BStrDeleter>;

bool IsNumber(const NPVariant& v) { return v.type == NPVariantType_Int32 || v.type == NPVariantType_Double; }

// A browser string carries its length and may hold U+0000; the agent's
// texts end at the first NUL, so such a string would reach the agent cut
// short ("RSA\0garbage" as "RSA"). It is no valid text argument, as the
// host refuses \u0000 in its requests.
bool IsText(const NPVariant& v) {
    if (v.type != NPVariantType_String) return false;
    const NPString& s = v.value.stringValue;
    return !s.UTF8Length || !s.UTF8Characters || !std::memchr(s.UTF8Characters, 0, s.UTF8Length);
}

// The argument types of a method as a signature: one letter per position,
// 'N' for a number (Int32 or Double), 'S' for a string without NUL.
bool ArgumentsMatch(const NPVariant* args, uint32_t argCount, const char* signature) {
    if (argCount != std::strlen(signature)) return false;
    if (argCount && !args) return false;
    for (uint32_t i = 0; i < argCount; ++i) {
        bool ok = signature[i] == 'N' ? IsNumber(args[i]) : IsText(args[i]);
        if (!ok) return false;
    }
    return true;
}

void TraceArguments(const NPVariant* args, uint32_t argCount) {
    if (!TraceEnabled(TRACE_FLAG_INFO)) return;
    TraceInfo(TEXT("argCount: %u"), argCount);
    for (uint32_t i = 0; args && i < argCount; ++i) {
        const NPVariant& v = args[i];
        switch (v.type) {
        case NPVariantType_Bool:
            TraceInfo(TEXT("args[%u]: Bool %d"), i, int(v.value.boolValue));
            break;
        case NPVariantType_Int32:
            TraceInfo(TEXT("args[%u]: Int32 %d"), i, int(v.value.intValue));
            break;
        case NPVariantType_Double: {
            char text[40];
            std::snprintf(text, sizeof text, "%.17g", v.value.doubleValue);
            TraceInfo(TEXT("args[%u]: Double %s"), i, text);
            break;
        }
        case NPVariantType_String:
            if (IsText(v))
                TraceInfo(TEXT("args[%u]: String (%u bytes)"), i, v.value.stringValue.UTF8Length);
            else
                TraceInfo(TEXT("args[%u]: String (%u bytes, holds NUL)"), i, v.value.stringValue.UTF8Length);
            break;
        default:
            TraceInfo(TEXT("args[%u]: type %d"), i, int(v.type));
            break;
        }
    }
}

// The converted arguments of one call, by position.
struct ConvertedArguments {
    static constexpr uint32_t kMax = 4;
    LONG number[kMax] = {};
    BStrHolder text[kMax];
};

HRESULT StringArgument(const NPVariant& v, BStrHolder& bstrText) {
    VELA_TRACE_SCOPE("StringArgument");
    CharBuffer pszText;
    HRESULT hResult = ConverNPStringtoNULLEndString(pszText, v.value.stringValue.UTF8Characters,
                                                    v.value.stringValue.UTF8Length);
    if (FAILED(hResult)) {
        VELA_LOG_FAILURE(hResult, "ConverNPStringtoNULLEndString", "FAILED(hResult)");
        return hResult;
    }
    WideBuffer pwszText;
    DWORD dwLength = 0;
    hResult = UTF8ToUTF16(pszText.get(), pwszText, dwLength);
    if (FAILED(hResult)) {
        VELA_LOG_FAILURE(hResult, "UTF8ToUTF16", "FAILED(hResult)");
        return hResult;
    }
    BSTR bstr = SysAllocStringLen(pwszText.get(), dwLength);
    if (!bstr) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "SysAllocStringLen", "NULL == bstr");
        return E_OUTOFMEMORY;
    }
    bstrText.reset(bstr);
    return VELA_OK;
}

// Converts arguments already checked against the signature, in position order.
HRESULT ConvertArguments(const NPVariant* args, const char* signature, ConvertedArguments& converted) {
    for (uint32_t i = 0; signature[i] && i < ConvertedArguments::kMax; ++i) {
        if (signature[i] == 'N') {
            converted.number[i] = NPVariantToLong(args[i]);
            continue;
        }
        HRESULT hResult = StringArgument(args[i], converted.text[i]);
        if (FAILED(hResult)) return hResult;
    }
    return VELA_OK;
}

bool FailString(NPVariant* result) {
    if (result) NULL_TO_NPVARIANT(*result);
    return false;
}

bool FailBoolean(NPVariant* result) {
    if (result) BOOLEAN_TO_NPVARIANT(false, *result);
    return false;
}

// Steps 4 and 5 of a boolean method: the agent's status, then its out-value.
bool FinishBoolean(const TraceHelper& scope, HRESULT hResult, VARIANT_BOOL vbResult, const WCHAR* agentStep,
                   const WCHAR* falseReason, NPVariant* result) {
    if (FAILED(hResult)) {
        TraceFailureLine(hResult, __FILE__, __LINE__, scope.Name(), agentStep, TEXT("FAILED(hResult)"));
        return FailBoolean(result);
    }
    if (VARIANT_FALSE == vbResult) {
        TraceFailureLine(E_FAIL, __FILE__, __LINE__, scope.Name(), agentStep, falseReason);
        return FailBoolean(result);
    }
    TraceSuccessLine(scope.Name(), agentStep);
    if (result) BOOLEAN_TO_NPVARIANT(true, *result);
    return true;
}

// Steps 4 and 6 of a string method: the agent's status, then its text as
// a browser string. Once the text is converted the call has succeeded; a
// result that cannot be allocated is only logged (and stays null).
bool FinishString(const TraceHelper& scope, HRESULT hResult, const WCHAR* pwszText, const WCHAR* agentStep,
                  NPVariant* result) {
    if (FAILED(hResult)) {
        TraceFailureLine(hResult, __FILE__, __LINE__, scope.Name(), agentStep, TEXT("FAILED(hResult)"));
        return FailString(result);
    }
    CharBuffer pszText;
    DWORD dwLength = 0;
    hResult = UTF16ToUTF8(pwszText, pszText, dwLength);
    if (FAILED(hResult)) {
        TraceFailureLine(hResult, __FILE__, __LINE__, scope.Name(), TEXT("UTF16ToUTF8"), TEXT("FAILED(hResult)"));
        return FailString(result);
    }
    TraceSuccessLine(scope.Name(), agentStep);
    if (!result) return true;
    NULL_TO_NPVARIANT(*result);
    if (!ConvertStringToNPVariant(pszText.get(), result))
        TraceFailureLine(E_OUTOFMEMORY, __FILE__, __LINE__, scope.Name(), TEXT("ConvertStringToNPVariant"),
                         TEXT("false == bResult"));
    return true;
}

// The agent's string out-value, released with the call.
struct BStrOut {
    BSTR bstr = nullptr;
    ~BStrOut() { SysFreeString(bstr); }
};

NPClass s_ScriptablePluginClass = {
    NP_CLASS_STRUCT_VERSION_CTOR,
    AllocateCScriptableObject,
    CScriptablePluginObjectBase::_Deallocate,
    CScriptablePluginObjectBase::_Invalidate,
    CScriptablePluginObjectBase::_HasMethod,
    CScriptablePluginObjectBase::_Invoke,
    CScriptablePluginObjectBase::_InvokeDefault,
    CScriptablePluginObjectBase::_HasProperty,
    CScriptablePluginObjectBase::_GetProperty,
    CScriptablePluginObjectBase::_SetProperty,
    CScriptablePluginObjectBase::_RemoveProperty,
    CScriptablePluginObjectBase::_Enumerate,
    CScriptablePluginObjectBase::_Construct,
};

CScriptablePluginObjectBase* ObjectOf(NPObject* npobj) { return static_cast<CScriptablePluginObjectBase*>(npobj); }

}  // namespace

// ---- conversion helpers --------------------------------------------------------

LONG NPVariantToLong(const NPVariant& variant) {
    switch (variant.type) {
    case NPVariantType_Int32:
        return variant.value.intValue;
    case NPVariantType_Double: {
        double d = variant.value.doubleValue;
        // Written so that NaN fails the test too.
        if (!(d > -2147483649.0 && d < 2147483648.0)) return LONG(-2147483647 - 1);
        return static_cast<LONG>(d);
    }
    default:
        return -1;
    }
}

HRESULT ConverNPStringtoNULLEndString(CharBuffer& pszText, const NPUTF8* pCharacters, uint32_t nLength) {
    VELA_TRACE_SCOPE("ConverNPStringtoNULLEndString");
    if (!pCharacters && nLength) {
        VELA_LOG_FAILURE(E_POINTER, "Check parameters", "NULL == pCharacters && 0 != nLength");
        return E_POINTER;
    }
    // nLength + 1 must not wrap where size_t is 32 bits wide.
    CharBuffer pszCopy;
    if (nLength < UINT32_MAX) pszCopy = AllocZeroed<char>(size_t(nLength) + 1);
    if (!pszCopy) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New Memory", "NULL == pszText");
        return E_OUTOFMEMORY;
    }
    if (nLength) std::memcpy(pszCopy.get(), pCharacters, nLength);
    pszText = std::move(pszCopy);
    return VELA_OK;
}

bool ConvertStringToNPVariant(const char* pszText, NPVariant* pVariant) {
    VELA_TRACE_SCOPE("ConvertStringToNPVariant");
    if (!pszText || !pVariant) return false;
    size_t nLength = std::strlen(pszText);
    if (nLength >= UINT32_MAX) return false;
    auto* pszCopy = static_cast<NPUTF8*>(NPN_MemAlloc(uint32_t(nLength + 1)));
    if (!pszCopy) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "NPN_MemAlloc", "NULL == pszCopy");
        return false;
    }
    std::memcpy(pszCopy, pszText, nLength + 1);
    STRINGN_TO_NPVARIANT(pszCopy, uint32_t(nLength), *pVariant);
    return true;
}

// ---- class record and trampolines --------------------------------------------

NPClass* GetScriptablePluginClass() { return &s_ScriptablePluginClass; }

NPObject* AllocateCScriptableObject(NPP npp, NPClass* aClass) {
    VELA_TRACE_SCOPE("AllocateCScriptableObject");
    CScriptablePluginObject* pObject = new (std::nothrow) CScriptablePluginObject(npp);
    if (!pObject) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "new CScriptablePluginObject", "NULL == pObject");
        return nullptr;
    }
    return static_cast<NPObject*>(pObject);
}

void CScriptablePluginObjectBase::_Deallocate(NPObject* npobj) { delete ObjectOf(npobj); }

void CScriptablePluginObjectBase::_Invalidate(NPObject* npobj) {
    if (npobj) ObjectOf(npobj)->Invalidate();
}

bool CScriptablePluginObjectBase::_HasMethod(NPObject* npobj, NPIdentifier name) {
    return npobj && ObjectOf(npobj)->HasMethod(name);
}

bool CScriptablePluginObjectBase::_Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                                          uint32_t argCount, NPVariant* result) {
    return npobj && ObjectOf(npobj)->Invoke(name, args, argCount, result);
}

bool CScriptablePluginObjectBase::_InvokeDefault(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                                 NPVariant* result) {
    return npobj && ObjectOf(npobj)->InvokeDefault(args, argCount, result);
}

bool CScriptablePluginObjectBase::_HasProperty(NPObject* npobj, NPIdentifier name) {
    return npobj && ObjectOf(npobj)->HasProperty(name);
}

bool CScriptablePluginObjectBase::_GetProperty(NPObject* npobj, NPIdentifier name, NPVariant* result) {
    return npobj && ObjectOf(npobj)->GetProperty(name, result);
}

bool CScriptablePluginObjectBase::_SetProperty(NPObject* npobj, NPIdentifier name, const NPVariant* value) {
    return npobj && ObjectOf(npobj)->SetProperty(name, value);
}

bool CScriptablePluginObjectBase::_RemoveProperty(NPObject* npobj, NPIdentifier name) {
    return npobj && ObjectOf(npobj)->RemoveProperty(name);
}

bool CScriptablePluginObjectBase::_Enumerate(NPObject* npobj, NPIdentifier** identifier, uint32_t* count) {
    return npobj && ObjectOf(npobj)->Enumerate(identifier, count);
}

bool CScriptablePluginObjectBase::_Construct(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                             NPVariant* result) {
    return npobj && ObjectOf(npobj)->Construct(args, argCount, result);
}

// ---- base behaviour: no methods, no properties ---------------------------------

void CScriptablePluginObjectBase::Invalidate() {}
bool CScriptablePluginObjectBase::HasMethod(NPIdentifier) { return false; }
bool CScriptablePluginObjectBase::Invoke(NPIdentifier, const NPVariant*, uint32_t, NPVariant*) { return false; }
bool CScriptablePluginObjectBase::InvokeDefault(const NPVariant*, uint32_t, NPVariant*) { return false; }
bool CScriptablePluginObjectBase::HasProperty(NPIdentifier) { return false; }
bool CScriptablePluginObjectBase::GetProperty(NPIdentifier, NPVariant*) { return false; }
bool CScriptablePluginObjectBase::SetProperty(NPIdentifier, const NPVariant*) { return false; }
bool CScriptablePluginObjectBase::RemoveProperty(NPIdentifier) { return false; }
bool CScriptablePluginObjectBase::Enumerate(NPIdentifier**, uint32_t*) { return false; }
bool CScriptablePluginObjectBase::Construct(const NPVariant*, uint32_t, NPVariant*) { return false; }

// ---- the scriptable object ------------------------------------------------------

const CScriptablePluginObject::MethodEntry CScriptablePluginObject::s_methods[] = {
    {"VELA_GetCSPInfo", &CScriptablePluginObject::npVELA_GetCSPInfo},
    {"VELA_GetAllCertInfo", &CScriptablePluginObject::npVELA_GetAllCertInfo},
    {"VELA_SetCSPInfo", &CScriptablePluginObject::npVELA_SetCSPInfo},
    {"VELA_SetKeyAlgorithm", &CScriptablePluginObject::npVELA_SetKeyAlgorithm},
    {"VELA_GetContainer", &CScriptablePluginObject::npVELA_GetContainer},
    {"VELA_ImportSignCert", &CScriptablePluginObject::npVELA_ImportSignCert},
    {"VELA_PKCS10CertRequisition", &CScriptablePluginObject::npVELA_PKCS10CertRequisition},
    {"VELA_HavePermissiontoGenerateKeyPair", &CScriptablePluginObject::npVELA_HavePermissiontoGenerateKeyPair},
    {"VELA_ImportEncryptCert", &CScriptablePluginObject::npVELA_ImportEncryptCert},
    {"VELA_GetVersion", &CScriptablePluginObject::npVELA_GetVersion},
    {"GetLastErrorDesc", &CScriptablePluginObject::npGetLastErrorDesc},
};

CScriptablePluginObject::CScriptablePluginObject(NPP npp) : CScriptablePluginObjectBase(npp) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::CScriptablePluginObject");
}

CScriptablePluginObject::~CScriptablePluginObject() {
    VELA_TRACE_SCOPE("CScriptablePluginObject::~CScriptablePluginObject");
}

// Identifiers are interned by the browser: the same name always gives the
// same identifier, and names differing in letter case give different ones.
const CScriptablePluginObject::MethodEntry* CScriptablePluginObject::FindMethod(NPIdentifier name) const {
    for (const MethodEntry& entry : s_methods)
        if (name == NPN_GetStringIdentifier(entry.scriptName)) return &entry;
    return nullptr;
}

bool CScriptablePluginObject::HasMethod(NPIdentifier name) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::HasMethod");
    if (FindMethod(name)) return true;
    TraceIdentifierName(TEXT("no such method"), name);
    return false;
}

bool CScriptablePluginObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                                     NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::Invoke");
    const MethodEntry* pEntry = FindMethod(name);
    if (!pEntry) {
        TraceIdentifierName(TEXT("no such method"), name);
        return false;
    }
    return (this->*pEntry->method)(args, argCount, result);
}

bool CScriptablePluginObject::InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::InvokeDefault");
    return ConvertStringToNPVariant(kDefaultMethodText, result);
}

bool CScriptablePluginObject::HasProperty(NPIdentifier name) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::HasProperty");
    TraceIdentifierName(TEXT("property"), name);
    return false;
}

bool CScriptablePluginObject::GetProperty(NPIdentifier name, NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::GetProperty");
    TraceIdentifierName(TEXT("property"), name);
    return false;
}

bool CScriptablePluginObject::SetProperty(NPIdentifier name, const NPVariant* value) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::SetProperty");
    TraceIdentifierName(TEXT("property"), name);
    return false;
}

// ---- the method wrappers ------------------------------------------------------------
// Each checks its arguments against the method table before the agent is
// called, so a rejected call leaves the agent's last error as it was.

bool CScriptablePluginObject::npVELA_GetCSPInfo(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::npVELA_GetCSPInfo");
    TraceArguments(args, argCount);
    if (argCount != 0) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameters", "argCount != 0");
        return FailString(result);
    }
    BStrOut bstrCSPInfo;
    HRESULT hResult = m_objCryptoAgent.VELA_GetCSPInfo(&bstrCSPInfo.bstr);
    return FinishString(vela_traceScope, hResult, bstrCSPInfo.bstr, TEXT("m_objCryptoAgent.GetCSPInfo"), result);
}

bool CScriptablePluginObject::npVELA_GetAllCertInfo(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::npVELA_GetAllCertInfo");
    TraceArguments(args, argCount);
    if (argCount != 0) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameters", "argCount != 0");
        return FailString(result);
    }
    BStrOut bstrCertInfo;
    HRESULT hResult = m_objCryptoAgent.VELA_GetAllCertInfo(&bstrCertInfo.bstr);
    return FinishString(vela_traceScope, hResult, bstrCertInfo.bstr, TEXT("m_objCryptoAgent.GetAllCertInfo"),
                        result);
}

bool CScriptablePluginObject::npVELA_SetCSPInfo(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::npVELA_SetCSPInfo");
    TraceArguments(args, argCount);
    const char kSignature[] = "NS";
    if (!ArgumentsMatch(args, argCount, kSignature)) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameters",
                         "(argCount != 2 || (args[0].type != NPVariantType_Int32 && args[0].type != "
                         "NPVariantType_Double) || args[1].type != NPVariantType_String)");
        return FailBoolean(result);
    }
    ConvertedArguments a;
    HRESULT hResult = ConvertArguments(args, kSignature, a);
    if (FAILED(hResult)) {
        VELA_LOG_FAILURE(hResult, "ConvertArguments", "FAILED(hResult)");
        return FailBoolean(result);
    }
    VARIANT_BOOL varResult = VARIANT_FALSE;
    hResult = m_objCryptoAgent.VELA_SetCSPInfo(a.number[0], a.text[1].get(), &varResult);
    return FinishBoolean(vela_traceScope, hResult, varResult, TEXT("m_objCryptoAgent.SetCSPInfo"),
                         TEXT("VARIANT_FALSE == varResult"), result);
}

bool CScriptablePluginObject::npVELA_SetKeyAlgorithm(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::npVELA_SetKeyAlgorithm");
    TraceArguments(args, argCount);
    const char kSignature[] = "S";
    if (!ArgumentsMatch(args, argCount, kSignature)) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameters", "(argCount != 1 || args[0].type != NPVariantType_String)");
        return FailBoolean(result);
    }
    ConvertedArguments a;
    HRESULT hResult = ConvertArguments(args, kSignature, a);
    if (FAILED(hResult)) {
        VELA_LOG_FAILURE(hResult, "ConvertArguments", "FAILED(hResult)");
        return FailBoolean(result);
    }
    VARIANT_BOOL varResult = VARIANT_FALSE;
    hResult = m_objCryptoAgent.VELA_SetKeyAlgorithm(a.text[0].get(), &varResult);
    return FinishBoolean(vela_traceScope, hResult, varResult, TEXT("m_objCryptoAgent.SetKeyAlgorithm"),
                         TEXT("VARIANT_FALSE == varResult"), result);
}

bool CScriptablePluginObject::npVELA_GetContainer(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::npVELA_GetContainer");
    TraceArguments(args, argCount);
    if (argCount != 0) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameters", "argCount != 0");
        return FailString(result);
    }
    BStrOut bstrContainer;
    HRESULT hResult = m_objCryptoAgent.VELA_GetContainer(&bstrContainer.bstr);
    return FinishString(vela_traceScope, hResult, bstrContainer.bstr, TEXT("m_objCryptoAgent.GetContainer"),
                        result);
}

bool CScriptablePluginObject::npVELA_ImportSignCert(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::npVELA_ImportSignCert");
    TraceArguments(args, argCount);
    const char kSignature[] = "NSS";
    if (!ArgumentsMatch(args, argCount, kSignature)) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameters",
                         "(argCount != 3 || (args[0].type != NPVariantType_Int32 && args[0].type != "
                         "NPVariantType_Double) || args[1].type != NPVariantType_String || args[2].type != "
                         "NPVariantType_String)");
        return FailBoolean(result);
    }
    ConvertedArguments a;
    HRESULT hResult = ConvertArguments(args, kSignature, a);
    if (FAILED(hResult)) {
        VELA_LOG_FAILURE(hResult, "ConvertArguments", "FAILED(hResult)");
        return FailBoolean(result);
    }
    VARIANT_BOOL varResult = VARIANT_FALSE;
    hResult = m_objCryptoAgent.VELA_ImportSignCert(a.number[0], a.text[1].get(), a.text[2].get(), &varResult);
    return FinishBoolean(vela_traceScope, hResult, varResult, TEXT("m_objCryptoAgent.ImportSignCert"),
                         TEXT("VARIANT_FALSE == varResult"), result);
}

bool CScriptablePluginObject::npVELA_PKCS10CertRequisition(const NPVariant* args, uint32_t argCount,
                                                           NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::npVELA_PKCS10CertRequisition");
    TraceArguments(args, argCount);
    const char kSignature[] = "SNN";
    if (!ArgumentsMatch(args, argCount, kSignature)) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameters",
                         "(argCount != 3 || args[0].type != NPVariantType_String || (args[1].type != "
                         "NPVariantType_Int32 && args[1].type != NPVariantType_Double) || (args[2].type != "
                         "NPVariantType_Int32 && args[2].type != NPVariantType_Double))");
        return FailString(result);
    }
    ConvertedArguments a;
    HRESULT hResult = ConvertArguments(args, kSignature, a);
    if (FAILED(hResult)) {
        VELA_LOG_FAILURE(hResult, "ConvertArguments", "FAILED(hResult)");
        return FailString(result);
    }
    BStrOut bstrRequest;
    hResult = m_objCryptoAgent.VELA_PKCS10CertRequisition(a.text[0].get(), a.number[1], a.number[2],
                                                          &bstrRequest.bstr);
    return FinishString(vela_traceScope, hResult, bstrRequest.bstr,
                        TEXT("m_objCryptoAgent.PKCS10CertRequisition"), result);
}

bool CScriptablePluginObject::npVELA_HavePermissiontoGenerateKeyPair(const NPVariant* args, uint32_t argCount,
                                                                     NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::npVELA_HavePermissiontoGenerateKeyPair");
    TraceArguments(args, argCount);
    if (argCount != 0) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameters", "argCount != 0");
        return FailBoolean(result);
    }
    VARIANT_BOOL varResult = VARIANT_FALSE;
    HRESULT hResult = m_objCryptoAgent.VELA_HavePermissiontoGenerateKeyPair(&varResult);
    return FinishBoolean(vela_traceScope, hResult, varResult,
                         TEXT("m_objCryptoAgent.HavePermissiontoGenerateKeyPair"), TEXT("VARIANT_FALSE == varResult"),
                         result);
}

bool CScriptablePluginObject::npVELA_ImportEncryptCert(const NPVariant* args, uint32_t argCount,
                                                       NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::npVELA_ImportEncryptCert");
    TraceArguments(args, argCount);
    const char kSignature[] = "SSSN";
    if (!ArgumentsMatch(args, argCount, kSignature)) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameters",
                         "(argCount != 4 || args[0].type != NPVariantType_String || args[1].type != "
                         "NPVariantType_String || args[2].type != NPVariantType_String || (args[3].type != "
                         "NPVariantType_Int32 && args[3].type != NPVariantType_Double))");
        return FailBoolean(result);
    }
    ConvertedArguments a;
    HRESULT hResult = ConvertArguments(args, kSignature, a);
    if (FAILED(hResult)) {
        VELA_LOG_FAILURE(hResult, "ConvertArguments", "FAILED(hResult)");
        return FailBoolean(result);
    }
    VARIANT_BOOL vbSuccess = VARIANT_FALSE;
    hResult = m_objCryptoAgent.VELA_ImportEncryptCert(a.text[0].get(), a.text[1].get(), a.text[2].get(), a.number[3],
                                                      &vbSuccess);
    return FinishBoolean(vela_traceScope, hResult, vbSuccess, TEXT("m_objCryptoAgent.ImportEncryptCert"),
                         TEXT("VARIANT_FALSE == vbSuccess"), result);
}

bool CScriptablePluginObject::npVELA_GetVersion(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::npVELA_GetVersion");
    TraceArguments(args, argCount);
    if (argCount != 0) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameters", "argCount != 0");
        return FailString(result);
    }
    return FinishString(vela_traceScope, VELA_OK, kVersionText, TEXT("Version"), result);
}

bool CScriptablePluginObject::npGetLastErrorDesc(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    VELA_TRACE_SCOPE("CScriptablePluginObject::npGetLastErrorDesc");
    TraceArguments(args, argCount);
    if (argCount != 0) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameters", "argCount != 0");
        return FailString(result);
    }
    BStrOut bstrErrorDesc;
    HRESULT hResult = m_objCryptoAgent.GetLastErrorDesc(&bstrErrorDesc.bstr);
    return FinishString(vela_traceScope, hResult, bstrErrorDesc.bstr, TEXT("m_objCryptoAgent.GetLastErrorDesc"),
                        result);
}
