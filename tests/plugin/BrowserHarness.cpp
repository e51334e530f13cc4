#include "BrowserHarness.h"

namespace {

char kMIMEType[] = "application/npTessera";

}  // namespace

CBrowserHarness::~CBrowserHarness() {
    for (auto& instance : m_instances)
        if (m_pluginFuncs.destroy) m_pluginFuncs.destroy(instance.get(), nullptr);
    m_instances.clear();
    if (m_initialised && Shutdown) Shutdown();
}

::testing::AssertionResult CBrowserHarness::Load() {
    std::string path = CPluginLibrary::BuiltLibraryPath();
    if (!m_library.Open(path)) return ::testing::AssertionFailure() << "cannot load " << path << ": " << m_library.Error();
    GetEntryPoints = reinterpret_cast<NP_GetEntryPointsFunc>(m_library.Symbol("NP_GetEntryPoints"));
    Initialize = reinterpret_cast<NP_InitializeFunc>(m_library.Symbol("NP_Initialize"));
    Shutdown = reinterpret_cast<NP_ShutdownFunc>(m_library.Symbol("NP_Shutdown"));
    GetMIMEDescription = reinterpret_cast<NP_GetMIMEDescriptionFunc>(m_library.Symbol("NP_GetMIMEDescription"));
    Install = reinterpret_cast<NP_InstallFunc>(m_library.Symbol("NP_Install"));
    if (!GetEntryPoints || !Initialize || !Shutdown || !GetMIMEDescription || !Install)
        return ::testing::AssertionFailure() << "an NP_ export is missing from " << path;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult CBrowserHarness::Start() {
    auto loaded = Load();
    if (!loaded) return loaded;
    m_pluginFuncs = {};
    m_pluginFuncs.size = sizeof(NPPluginFuncs);
    NPError error = GetEntryPoints(&m_pluginFuncs);
    if (error != NPERR_NO_ERROR) return ::testing::AssertionFailure() << "NP_GetEntryPoints: " << error;
    NPNetscapeFuncs browserFuncs = m_browser.Functions();
    error = Initialize(&browserFuncs);
    m_initialised = true;
    if (error != NPERR_NO_ERROR) return ::testing::AssertionFailure() << "NP_Initialize: " << error;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult CBrowserHarness::Finish() {
    for (auto& instance : m_instances) {
        NPError error = m_pluginFuncs.destroy(instance.get(), nullptr);
        if (error != NPERR_NO_ERROR) return ::testing::AssertionFailure() << "NPP_Destroy: " << error;
        if (instance->pdata) return ::testing::AssertionFailure() << "NPP_Destroy left plug-in data";
    }
    m_instances.clear();
    if (m_initialised) {
        NPError error = Shutdown();
        m_initialised = false;
        if (error != NPERR_NO_ERROR) return ::testing::AssertionFailure() << "NP_Shutdown: " << error;
    }
    const CBrowser& b = m_browser;
    if (b.LiveObjects() || b.OutstandingAllocations() || b.BadCalls())
        return ::testing::AssertionFailure()
               << b.LiveObjects() << " objects alive, " << b.OutstandingAllocations() << " allocations ("
               << b.OutstandingIdentifierTexts() << " identifier texts) not freed, " << b.BadCalls()
               << " calls with memory or objects the browser never handed out";
    return ::testing::AssertionSuccess();
}

NPP CBrowserHarness::NewInstance() {
    auto instance = std::make_unique<NPP_t>();
    instance->pdata = nullptr;
    instance->ndata = &m_browser;
    NPError error = m_pluginFuncs.newp(kMIMEType, instance.get(), NP_EMBED, 0, nullptr, nullptr, nullptr);
    if (error != NPERR_NO_ERROR) return nullptr;
    m_instances.push_back(std::move(instance));
    return m_instances.back().get();
}

NPError CBrowserHarness::DestroyInstance(NPP instance) {
    NPError error = m_pluginFuncs.destroy(instance, nullptr);
    for (auto it = m_instances.begin(); it != m_instances.end(); ++it)
        if (it->get() == instance) {
            m_instances.erase(it);
            break;
        }
    return error;
}

NPObject* CBrowserHarness::ScriptableObject(NPP instance) {
    NPObject* object = nullptr;
    NPError error = m_pluginFuncs.getvalue(instance, NPPVpluginScriptableNPObject, &object);
    return error == NPERR_NO_ERROR ? object : nullptr;
}

void PluginTest::TearDown() {
    for (NPObject* object : pageReferences) harness.Browser().Release(object);
    pageReferences.clear();
    EXPECT_TRUE(harness.Finish());
}

NPObject* PluginTest::NewScriptableObject() {
    NPP instance = harness.NewInstance();
    if (!instance) return nullptr;
    NPObject* object = harness.ScriptableObject(instance);
    if (object) pageReferences.push_back(object);
    return object;
}
