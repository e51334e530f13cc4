// The library's exports and the instance callbacks it gives the browser.
#include <windows.h>

#include <new>

#include "BrowserServices.h"
#include "CertificateChainDelete.h"
#include "Plugin.h"
#include "ScriptablePluginObject.h"
#include "VelaTrace.h"

namespace {

const char kMIMEDescription[] = "application/npTessera:*:npTessera certificate utilities";
const char kPluginName[] = "NPRuntimeTest";
const char kPluginDescription[] = "NPRuntime scriptability API test plugin";
// The interface version announced in the plug-in's table.
constexpr uint16_t kPluginTableVersion = 22;
// Bytes a stream may deliver per write.
constexpr int32_t kWriteReadyBytes = 0x0FFFFFFF;

CPlugin* PluginOf(NPP instance) { return static_cast<CPlugin*>(instance->pdata); }

NPError NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc, char* argn[], char* argv[],
                NPSavedData* saved) {
    VELA_TRACE_SCOPE("NPP_New");
    TraceInfo(TEXT("MIME type: %s, mode: %d"), pluginType ? pluginType : "NULL", int(mode));
    if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
    CPlugin* pPlugin = new (std::nothrow) CPlugin(instance);
    if (!pPlugin) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "new CPlugin", "NULL == pPlugin");
        return NPERR_OUT_OF_MEMORY_ERROR;
    }
    instance->pdata = pPlugin;
    return NPERR_NO_ERROR;
}

NPError NPP_Destroy(NPP instance, NPSavedData** save) {
    VELA_TRACE_SCOPE("NPP_Destroy");
    if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
    if (CPlugin* pPlugin = PluginOf(instance)) {
        pPlugin->shut();
        delete pPlugin;
        // The instance record outlives the plug-in data; leave no dangling pointer.
        instance->pdata = nullptr;
    }
    return NPERR_NO_ERROR;
}

NPError NPP_SetWindow(NPP instance, NPWindow* window) {
    VELA_TRACE_SCOPE("NPP_SetWindow");
    return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

NPError NPP_NewStream(NPP instance, NPMIMEType type, NPStream* stream, NPBool seekable, uint16_t* stype) {
    VELA_TRACE_SCOPE("NPP_NewStream");
    return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

int32_t NPP_WriteReady(NPP instance, NPStream* stream) {
    VELA_TRACE_SCOPE("NPP_WriteReady");
    return instance ? kWriteReadyBytes : NPERR_INVALID_INSTANCE_ERROR;
}

int32_t NPP_Write(NPP instance, NPStream* stream, int32_t offset, int32_t len, void* buffer) {
    VELA_TRACE_SCOPE("NPP_Write");
    return instance ? len : NPERR_INVALID_INSTANCE_ERROR;
}

NPError NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason) {
    VELA_TRACE_SCOPE("NPP_DestroyStream");
    return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

void NPP_StreamAsFile(NPP instance, NPStream* stream, const char* fname) {
    VELA_TRACE_SCOPE("NPP_StreamAsFile");
}

void NPP_Print(NPP instance, NPPrint* printInfo) {
    VELA_TRACE_SCOPE("NPP_Print");
}

void NPP_URLNotify(NPP instance, const char* url, NPReason reason, void* notifyData) {
    VELA_TRACE_SCOPE("NPP_URLNotify");
}

int16_t NPP_HandleEvent(NPP instance, void* event) {
    VELA_TRACE_SCOPE("NPP_HandleEvent");
    if (!instance || !PluginOf(instance)) return 0;
    return PluginOf(instance)->handleEvent(event);
}

NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value) {
    VELA_TRACE_SCOPE("NPP_GetValue");
    TraceInfo(TEXT("variable: %d"), int(variable));
    if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
    CPlugin* pPlugin = PluginOf(instance);
    if (!pPlugin) return NPERR_GENERIC_ERROR;
    if (!value) return NPERR_INVALID_PARAM;
    switch (variable) {
    case NPPVpluginNameString:
        *static_cast<const char**>(value) = kPluginName;
        return NPERR_NO_ERROR;
    case NPPVpluginDescriptionString:
        *static_cast<const char**>(value) = kPluginDescription;
        return NPERR_NO_ERROR;
    case NPPVpluginNeedsXEmbed:
        *static_cast<NPBool*>(value) = true;
        return NPERR_NO_ERROR;
    case NPPVpluginScriptableNPObject: {
        NPObject* pObject = pPlugin->GetScriptableObject();
        *static_cast<NPObject**>(value) = pObject;
        return pObject ? NPERR_NO_ERROR : NPERR_GENERIC_ERROR;
    }
    default:
        return NPERR_GENERIC_ERROR;
    }
}

NPError NPP_SetValue(NPP instance, NPNVariable variable, void* value) {
    VELA_TRACE_SCOPE("NPP_SetValue");
    return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

}  // namespace

extern "C" {

NPError WINAPI NP_GetEntryPoints(NPPluginFuncs* pFuncs) {
    VELA_TRACE_SCOPE("NP_GetEntryPoints");
    g_pScriptableClass = GetScriptablePluginClass();
    if (!pFuncs || pFuncs->size < kMinimumPluginTableSize) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check plug-in function table", "NULL == pFuncs || pFuncs->size too small");
        return NPERR_INVALID_FUNCTABLE_ERROR;
    }
    pFuncs->version = kPluginTableVersion;
    pFuncs->newp = NPP_New;
    pFuncs->destroy = NPP_Destroy;
    pFuncs->setwindow = NPP_SetWindow;
    pFuncs->newstream = NPP_NewStream;
    pFuncs->destroystream = NPP_DestroyStream;
    pFuncs->asfile = NPP_StreamAsFile;
    pFuncs->writeready = NPP_WriteReady;
    pFuncs->write = NPP_Write;
    pFuncs->print = NPP_Print;
    pFuncs->event = NPP_HandleEvent;
    pFuncs->urlnotify = NPP_URLNotify;
    pFuncs->javaClass = nullptr;
    pFuncs->getvalue = NPP_GetValue;
    pFuncs->setvalue = NPP_SetValue;
    return NPERR_NO_ERROR;
}

NPError WINAPI NP_Initialize(NPNetscapeFuncs* pFuncs) {
    SetupTracing();
    VELA_TRACE_SCOPE("NP_Initialize");
    if (!pFuncs) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check browser function table", "NULL == pFuncs");
        return NPERR_INVALID_FUNCTABLE_ERROR;
    }
    if ((pFuncs->version >> 8) > 0) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check browser function table", "HIBYTE(pFuncs->version) > 0");
        return NPERR_INCOMPATIBLE_VERSION_ERROR;
    }
    if (pFuncs->size < kMinimumBrowserTableSize) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check browser function table", "pFuncs->size too small");
        return NPERR_INVALID_FUNCTABLE_ERROR;
    }
    NPNetscapeFuncs copy = {};
    copy.size = pFuncs->size;
    copy.version = pFuncs->version;
    copy.geturl = pFuncs->geturl;
    copy.posturl = pFuncs->posturl;
    copy.requestread = pFuncs->requestread;
    copy.newstream = pFuncs->newstream;
    copy.write = pFuncs->write;
    copy.destroystream = pFuncs->destroystream;
    copy.status = pFuncs->status;
    copy.uagent = pFuncs->uagent;
    copy.memalloc = pFuncs->memalloc;
    copy.memfree = pFuncs->memfree;
    copy.memflush = pFuncs->memflush;
    copy.reloadplugins = pFuncs->reloadplugins;
    copy.getJavaEnv = nullptr;
    copy.getJavaPeer = nullptr;
    copy.geturlnotify = pFuncs->geturlnotify;
    copy.posturlnotify = pFuncs->posturlnotify;
    copy.getvalue = pFuncs->getvalue;
    copy.setvalue = pFuncs->setvalue;
    copy.invalidaterect = pFuncs->invalidaterect;
    copy.invalidateregion = pFuncs->invalidateregion;
    copy.forceredraw = pFuncs->forceredraw;
    copy.getstringidentifier = pFuncs->getstringidentifier;
    copy.getstringidentifiers = pFuncs->getstringidentifiers;
    copy.getintidentifier = pFuncs->getintidentifier;
    copy.identifierisstring = pFuncs->identifierisstring;
    copy.utf8fromidentifier = pFuncs->utf8fromidentifier;
    copy.intfromidentifier = pFuncs->intfromidentifier;
    copy.createobject = pFuncs->createobject;
    copy.retainobject = pFuncs->retainobject;
    copy.releaseobject = pFuncs->releaseobject;
    copy.invoke = pFuncs->invoke;
    copy.invokeDefault = pFuncs->invokeDefault;
    copy.evaluate = pFuncs->evaluate;
    copy.getproperty = pFuncs->getproperty;
    copy.setproperty = pFuncs->setproperty;
    copy.removeproperty = pFuncs->removeproperty;
    copy.hasproperty = pFuncs->hasproperty;
    copy.hasmethod = pFuncs->hasmethod;
    copy.releasevariantvalue = pFuncs->releasevariantvalue;
    copy.setexception = pFuncs->setexception;
    g_NPNFuncs = copy;
    return NPERR_NO_ERROR;
}

NPError WINAPI NP_Shutdown(void) {
    TeardownTracing();
    return NPERR_NO_ERROR;
}

const char* WINAPI NP_GetMIMEDescription(void) {
    VELA_TRACE_SCOPE("NP_GetMIMEDescription");
    return kMIMEDescription;
}

// Runs the installation sequence: retired CA removal, then the RSA and SM2
// chain documents. The caller has initialised COM on this thread.
void WINAPI NP_Install(void) {
    VELA_TRACE_SCOPE("NP_Install");
    // The caller has initialised COM on this thread.
    RunInstallationSequenceForPlugin();
}

}  // extern "C"
