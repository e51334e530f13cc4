// The scriptable object page script sees: eleven methods that mirror the
// enrollment agent's operations. The browser holds a pointer to the NPObject
// header; the static trampolines of the class record turn it back into the
// object and call its virtual operation.
#pragma once
#include <windows.h>

#include "CryptoAgent.h"
#include "Misc.h"
#include "NPInterface.h"

class CScriptablePluginObjectBase : public NPObject {
public:
    explicit CScriptablePluginObjectBase(NPP npp) : NPObject{}, m_npp(npp) {}
    virtual ~CScriptablePluginObjectBase() = default;
    CScriptablePluginObjectBase(const CScriptablePluginObjectBase&) = delete;
    CScriptablePluginObjectBase& operator=(const CScriptablePluginObjectBase&) = delete;

    virtual void Invalidate();
    virtual bool HasMethod(NPIdentifier name);
    virtual bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result);
    virtual bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result);
    virtual bool HasProperty(NPIdentifier name);
    virtual bool GetProperty(NPIdentifier name, NPVariant* result);
    virtual bool SetProperty(NPIdentifier name, const NPVariant* value);
    virtual bool RemoveProperty(NPIdentifier name);
    virtual bool Enumerate(NPIdentifier** identifier, uint32_t* count);
    virtual bool Construct(const NPVariant* args, uint32_t argCount, NPVariant* result);

    static void _Deallocate(NPObject* npobj);
    static void _Invalidate(NPObject* npobj);
    static bool _HasMethod(NPObject* npobj, NPIdentifier name);
    static bool _Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args, uint32_t argCount,
                        NPVariant* result);
    static bool _InvokeDefault(NPObject* npobj, const NPVariant* args, uint32_t argCount, NPVariant* result);
    static bool _HasProperty(NPObject* npobj, NPIdentifier name);
    static bool _GetProperty(NPObject* npobj, NPIdentifier name, NPVariant* result);
    static bool _SetProperty(NPObject* npobj, NPIdentifier name, const NPVariant* value);
    static bool _RemoveProperty(NPObject* npobj, NPIdentifier name);
    static bool _Enumerate(NPObject* npobj, NPIdentifier** identifier, uint32_t* count);
    static bool _Construct(NPObject* npobj, const NPVariant* args, uint32_t argCount, NPVariant* result);

protected:
    NPP m_npp;
};

class CScriptablePluginObject : public CScriptablePluginObjectBase {
public:
    explicit CScriptablePluginObject(NPP npp);
    ~CScriptablePluginObject() override;

    bool HasMethod(NPIdentifier name) override;
    bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result) override;
    bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) override;
    bool HasProperty(NPIdentifier name) override;
    bool GetProperty(NPIdentifier name, NPVariant* result) override;
    bool SetProperty(NPIdentifier name, const NPVariant* value) override;

private:
    using Method = bool (CScriptablePluginObject::*)(const NPVariant* args, uint32_t argCount, NPVariant* result);
    struct MethodEntry {
        const char* scriptName;
        Method method;
    };
    static const MethodEntry s_methods[];
    const MethodEntry* FindMethod(NPIdentifier name) const;

    bool npVELA_GetCSPInfo(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVELA_GetAllCertInfo(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVELA_SetCSPInfo(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVELA_SetKeyAlgorithm(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVELA_GetContainer(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVELA_ImportSignCert(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVELA_PKCS10CertRequisition(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVELA_HavePermissiontoGenerateKeyPair(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVELA_ImportEncryptCert(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVELA_GetVersion(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npGetLastErrorDesc(const NPVariant* args, uint32_t argCount, NPVariant* result);

    CCryptoAgent m_objCryptoAgent;
};

// The class record handed to NPN_CreateObject.
NPClass* GetScriptablePluginClass();
NPObject* AllocateCScriptableObject(NPP npp, NPClass* aClass);

// Conversion helpers of the method bridge.
// An Int32 gives its value, a Double its value truncated toward zero (NaN
// or out of range: -2147483648), any other type -1.
LONG NPVariantToLong(const NPVariant& variant);
// Copies length UTF-8 bytes (not NUL-terminated) into a new NUL-terminated buffer.
HRESULT ConverNPStringtoNULLEndString(CharBuffer& pszText, const NPUTF8* pCharacters, uint32_t nLength);
// Sets the variant to a copy of the text in browser memory (NPN_MemAlloc);
// false, and the variant unchanged, for a null text or a failed allocation.
bool ConvertStringToNPVariant(const char* pszText, NPVariant* pVariant);
