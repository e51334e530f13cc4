#include "Plugin.h"

#include "BrowserServices.h"
#include "VelaTrace.h"

CPlugin::CPlugin(NPP pNPInstance)
    : m_pNPInstance(pNPInstance), m_bInitialised(false), m_pWindow(nullptr), m_pScriptableObject(nullptr) {
    VELA_TRACE_SCOPE("CPlugin::CPlugin");
    if (m_pNPInstance) m_pNPInstance->pdata = this;
}

CPlugin::~CPlugin() {
    VELA_TRACE_SCOPE("CPlugin::~CPlugin");
    if (m_pScriptableObject) {
        NPN_ReleaseObject(m_pScriptableObject);
        m_pScriptableObject = nullptr;
    }
}

void CPlugin::shut() {
    VELA_TRACE_SCOPE("CPlugin::shut");
    m_bInitialised = false;
    m_pWindow = nullptr;
}

int16_t CPlugin::handleEvent(void* event) {
    VELA_TRACE_SCOPE("CPlugin::handleEvent");
    return 0;
}

NPObject* CPlugin::GetScriptableObject() {
    VELA_TRACE_SCOPE("CPlugin::GetScriptableObject");
    if (!m_pScriptableObject) {
        if (!g_pScriptableClass) {
            VELA_LOG_FAILURE(E_POINTER, "Check scriptable class", "NULL == g_pScriptableClass");
            return nullptr;
        }
        m_pScriptableObject = NPN_CreateObject(m_pNPInstance, g_pScriptableClass);
        if (!m_pScriptableObject) {
            VELA_LOG_FAILURE(E_OUTOFMEMORY, "NPN_CreateObject", "NULL == m_pScriptableObject");
            return nullptr;
        }
    }
    return NPN_RetainObject(m_pScriptableObject);
}
