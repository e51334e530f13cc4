// The plug-in's globals and the browser services it calls. NP_Initialize
// copies the browser's function table into g_NPNFuncs; every service is
// then reached through one of the wrappers below, which opens a trace
// scope and tolerates a browser that left the entry empty.
#pragma once
#include <windows.h>

#include <cstddef>

#include "NPInterface.h"

// The library's own module (set when the library is attached to the
// process); its resources hold the error texts and the CA-chain documents.
extern HINSTANCE g_hInstance;
// The plug-in's copy of the browser's function table.
extern NPNetscapeFuncs g_NPNFuncs;
// The class record of the scriptable object; null until NP_GetEntryPoints.
extern NPClass* g_pScriptableClass;

// Stores the module handle (called from the library's attach hook).
void AttachPluginModule(HINSTANCE hInstance);

// The part of the browser's table the plug-in relies on: a table whose size
// does not reach the end of getauthenticationinfo is refused. Measured on
// the build's own ABI (196 bytes on 32-bit, 392 on 64-bit).
constexpr size_t kMinimumBrowserTableSize =
    offsetof(NPNetscapeFuncs, getauthenticationinfo) + sizeof(NPNetscapeFuncs::getauthenticationinfo);
// The part of the plug-in's table NP_GetEntryPoints writes: size and
// version through setvalue (60 bytes on 32-bit, 120 on 64-bit).
constexpr size_t kMinimumPluginTableSize =
    offsetof(NPPluginFuncs, setvalue) + sizeof(NPPluginFuncs::setvalue);

void* NPN_MemAlloc(uint32_t size);
void NPN_MemFree(void* ptr);
NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name);
// The text belongs to the caller, who frees it with NPN_MemFree.
NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier);
NPObject* NPN_CreateObject(NPP npp, NPClass* aClass);
NPObject* NPN_RetainObject(NPObject* obj);
void NPN_ReleaseObject(NPObject* obj);

// Traces "<label>: <name>" for an identifier, fetching the name from the
// browser and handing the text back to it afterwards.
void TraceIdentifierName(const WCHAR* label, NPIdentifier identifier);
