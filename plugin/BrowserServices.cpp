#include "BrowserServices.h"

#include "CryptoAgent.h"
#include "Misc.h"
#include "VelaTrace.h"

HINSTANCE g_hInstance = nullptr;
NPNetscapeFuncs g_NPNFuncs = {};
NPClass* g_pScriptableClass = nullptr;

void AttachPluginModule(HINSTANCE hInstance) {
    g_hInstance = hInstance;
    // The agents load their error texts from this module's string table.
    CCryptoAgent::s_hResourceModule = hInstance;
}

void* NPN_MemAlloc(uint32_t size) {
    VELA_TRACE_SCOPE("NPN_MemAlloc");
    return g_NPNFuncs.memalloc ? g_NPNFuncs.memalloc(size) : nullptr;
}

void NPN_MemFree(void* ptr) {
    VELA_TRACE_SCOPE("NPN_MemFree");
    if (ptr && g_NPNFuncs.memfree) g_NPNFuncs.memfree(ptr);
}

NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name) {
    VELA_TRACE_SCOPE("NPN_GetStringIdentifier");
    return g_NPNFuncs.getstringidentifier ? g_NPNFuncs.getstringidentifier(name) : nullptr;
}

NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier) {
    VELA_TRACE_SCOPE("NPN_UTF8FromIdentifier");
    return g_NPNFuncs.utf8fromidentifier ? g_NPNFuncs.utf8fromidentifier(identifier) : nullptr;
}

NPObject* NPN_CreateObject(NPP npp, NPClass* aClass) {
    VELA_TRACE_SCOPE("NPN_CreateObject");
    return g_NPNFuncs.createobject ? g_NPNFuncs.createobject(npp, aClass) : nullptr;
}

NPObject* NPN_RetainObject(NPObject* obj) {
    VELA_TRACE_SCOPE("NPN_RetainObject");
    return g_NPNFuncs.retainobject ? g_NPNFuncs.retainobject(obj) : obj;
}

void NPN_ReleaseObject(NPObject* obj) {
    VELA_TRACE_SCOPE("NPN_ReleaseObject");
    if (obj && g_NPNFuncs.releaseobject) g_NPNFuncs.releaseobject(obj);
}

void TraceIdentifierName(const WCHAR* label, NPIdentifier identifier) {
    NPUTF8* pszName = NPN_UTF8FromIdentifier(identifier);
    if (!pszName) {
        TraceInfo(TEXT("%ws: (no name)"), label);
        return;
    }
    WideBuffer pwszName;
    DWORD dwLength = 0;
    if (SUCCEEDED(UTF8ToUTF16(pszName, pwszName, dwLength)))
        TraceInfo(TEXT("%ws: %ws"), label, pwszName.get());
    NPN_MemFree(pszName);
}
