// One CPlugin per plug-in instance (embedded element). It draws nothing;
// its one job is to hand the browser the instance's scriptable object.
#pragma once
#include "NPInterface.h"

class CPlugin {
public:
    // Stores the instance and itself as the instance's plug-in data.
    explicit CPlugin(NPP pNPInstance);
    // Drops the plug-in's own reference to the scriptable object.
    ~CPlugin();
    CPlugin(const CPlugin&) = delete;
    CPlugin& operator=(const CPlugin&) = delete;

    void shut();
    int16_t handleEvent(void* event);
    // Creates the scriptable object on the first call; every call hands the
    // caller a new reference (the browser releases it). Null when the class
    // record is not known yet or the browser could not create the object.
    NPObject* GetScriptableObject();

    NPBool isInitialized() const { return m_bInitialised; }

private:
    NPP m_pNPInstance;
    NPBool m_bInitialised;
    NPWindow* m_pWindow;
    NPObject* m_pScriptableObject;
};
