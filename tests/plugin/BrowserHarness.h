// A browser session with the plug-in: loads the library, exchanges the
// function tables, creates and destroys instances and fetches their
// scriptable objects. At the end it checks that the plug-in gave back
// everything: objects, browser memory and identifier texts.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Browser.h"
#include "PluginLibrary.h"

class CBrowserHarness {
public:
    CBrowserHarness() = default;
    ~CBrowserHarness();
    CBrowserHarness(const CBrowserHarness&) = delete;
    CBrowserHarness& operator=(const CBrowserHarness&) = delete;

    // Loads the library and resolves the five exports by name.
    ::testing::AssertionResult Load();
    // Load, then NP_GetEntryPoints with a full table and NP_Initialize with
    // the browser's full table, as a browser starts a plug-in.
    ::testing::AssertionResult Start();
    // Destroys the remaining instances, calls NP_Shutdown and checks that
    // nothing the browser lent or created is left over.
    ::testing::AssertionResult Finish();

    // The exports (valid after Load).
    NP_GetEntryPointsFunc GetEntryPoints = nullptr;
    NP_InitializeFunc Initialize = nullptr;
    NP_ShutdownFunc Shutdown = nullptr;
    NP_GetMIMEDescriptionFunc GetMIMEDescription = nullptr;
    NP_InstallFunc Install = nullptr;

    CBrowser& Browser() { return m_browser; }
    CPluginLibrary& Library() { return m_library; }
    const NPPluginFuncs& Plugin() const { return m_pluginFuncs; }

    // A new instance for the plug-in's MIME type (NPP_New); null on failure.
    NPP NewInstance();
    NPError DestroyInstance(NPP instance);
    // The instance's scriptable object: a new reference the caller releases.
    NPObject* ScriptableObject(NPP instance);

private:
    CPluginLibrary m_library;
    CBrowser m_browser;
    NPPluginFuncs m_pluginFuncs = {};
    bool m_initialised = false;
    std::vector<std::unique_ptr<NPP_t>> m_instances;
};

// The usual fixture: a started harness, finished and checked after the test.
class PluginTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.Start()); }
    // Releases the page's references, then finishes the harness.
    void TearDown() override;

    // A new instance and its scriptable object; the page's reference is
    // released in TearDown.
    NPObject* NewScriptableObject();
    ScriptResult Call(NPObject* object, const std::string& name, const std::vector<NPVariant>& args = {}) {
        return harness.Browser().Invoke(object, name, args);
    }

    CBrowserHarness harness;
    std::vector<NPObject*> pageReferences;
};
