// The library's exports and the instance callbacks, driven as a browser
// drives them.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include <objbase.h>

#include <filesystem>

#include "BrowserHarness.h"
#include "TestPlatform.h"

namespace {

// The members each table check covers, on this build's ABI: size and
// version through setvalue for the plug-in's table, through
// getauthenticationinfo for the browser's.
constexpr size_t kPluginTableThreshold = sizeof(void*) == 8 ? 120 : 60;
constexpr size_t kBrowserTableThreshold = sizeof(void*) == 8 ? 392 : 196;

static_assert(offsetof(NPPluginFuncs, setvalue) + sizeof(void*) == kPluginTableThreshold,
              "plug-in table layout differs from the published one");
static_assert(offsetof(NPNetscapeFuncs, getauthenticationinfo) + sizeof(void*) == kBrowserTableThreshold,
              "browser table layout differs from the published one");

class EntryPointTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.Load()); }
    CBrowserHarness harness;
};

TEST_F(EntryPointTest, ExportsTheFiveEntryPointsAndNothingElse) {
    CPluginLibrary& library = harness.Library();
    const char* exports[] = {"NP_GetEntryPoints", "NP_Initialize", "NP_Shutdown", "NP_GetMIMEDescription",
                             "NP_Install"};
    if (CPluginLibrary::HasOrdinals()) {
        for (unsigned ordinal = 1; ordinal <= 5; ++ordinal)
            EXPECT_EQ(library.SymbolByOrdinal(ordinal), library.Symbol(exports[ordinal - 1])) << ordinal;
        EXPECT_EQ(library.SymbolByOrdinal(6), nullptr);
    }
    // Names of the plug-in's internals, the core and the platform layer.
    for (const char* hidden : {"NPP_New", "NPP_GetValue", "DllMain", "AllocateCScriptableObject", "SetupTracing",
                               "TesseraStringResources", "GetLastError", "LoadStringW", "CryptAcquireContextW"})
        EXPECT_EQ(library.Symbol(hidden), nullptr) << hidden;
}

TEST_F(EntryPointTest, DescribesItsMIMEType) {
    EXPECT_STREQ(harness.GetMIMEDescription(), "application/npTessera:*:npTessera certificate utilities");
}

TEST_F(EntryPointTest, VersionResourceCarriesTheRegistrationEntries) {
    if (!CPluginLibrary::HasVersionResources()) GTEST_SKIP() << "no version resources on this platform";
    std::string path = CPluginLibrary::BuiltLibraryPath();
    EXPECT_EQ(CPluginLibrary::VersionString(path, "MIMEType").value_or("<missing>"), "application/tessera-plugin");
    EXPECT_EQ(CPluginLibrary::VersionString(path, "FileExtents").value_or("<missing>"), "*");
    EXPECT_EQ(CPluginLibrary::VersionString(path, "ProductVersion").value_or("<missing>"), "3.2.0.3");
}

// The table is filled with a pattern first, so that every byte the plug-in
// writes shows, and so does every byte beyond the claimed size it must not.
TEST_F(EntryPointTest, GetEntryPointsChecksTheTableSize) {
    struct Case {
        size_t size;
        NPError expected;
    } cases[] = {
        {0, NPERR_INVALID_FUNCTABLE_ERROR},
        {kPluginTableThreshold - 1, NPERR_INVALID_FUNCTABLE_ERROR},
        {kPluginTableThreshold, NPERR_NO_ERROR},
        {sizeof(NPPluginFuncs), NPERR_NO_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        NPPluginFuncs table;
        std::memset(&table, 0xAB, sizeof table);
        table.size = uint16_t(c.size);
        NPPluginFuncs before = table;
        ASSERT_EQ(harness.GetEntryPoints(&table), c.expected);
        const auto* now = reinterpret_cast<const unsigned char*>(&table);
        const auto* was = reinterpret_cast<const unsigned char*>(&before);
        if (c.expected != NPERR_NO_ERROR) {
            EXPECT_EQ(std::memcmp(now, was, sizeof table), 0) << "a refused table was written";
            continue;
        }
        EXPECT_EQ(table.size, c.size);
        EXPECT_EQ(table.version, 22);
        void* entries[] = {reinterpret_cast<void*>(table.newp),       reinterpret_cast<void*>(table.destroy),
                           reinterpret_cast<void*>(table.setwindow),  reinterpret_cast<void*>(table.newstream),
                           reinterpret_cast<void*>(table.destroystream), reinterpret_cast<void*>(table.asfile),
                           reinterpret_cast<void*>(table.writeready), reinterpret_cast<void*>(table.write),
                           reinterpret_cast<void*>(table.print),      reinterpret_cast<void*>(table.event),
                           reinterpret_cast<void*>(table.urlnotify),  reinterpret_cast<void*>(table.getvalue),
                           reinterpret_cast<void*>(table.setvalue)};
        for (void* entry : entries) {
            EXPECT_NE(entry, nullptr);
            EXPECT_NE(reinterpret_cast<uintptr_t>(entry), uintptr_t(0xABABABABABABABABull));
        }
        EXPECT_EQ(table.javaClass, nullptr);
        EXPECT_EQ(std::memcmp(now + kPluginTableThreshold, was + kPluginTableThreshold,
                              sizeof table - kPluginTableThreshold),
                  0)
            << "wrote past the members it fills";
    }
    EXPECT_EQ(harness.GetEntryPoints(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);
}

TEST_F(EntryPointTest, InitializeChecksVersionBeforeSize) {
    struct Case {
        uint16_t version;
        size_t size;
        NPError expected;
    } cases[] = {
        {0x0100, sizeof(NPNetscapeFuncs), NPERR_INCOMPATIBLE_VERSION_ERROR},
        {0x0100, 10, NPERR_INCOMPATIBLE_VERSION_ERROR},
        {0x1A16, sizeof(NPNetscapeFuncs), NPERR_INCOMPATIBLE_VERSION_ERROR},
        {0x0016, kBrowserTableThreshold - 1, NPERR_INVALID_FUNCTABLE_ERROR},
        {0x0016, 0, NPERR_INVALID_FUNCTABLE_ERROR},
        {0x0016, kBrowserTableThreshold, NPERR_NO_ERROR},
        {0x00FF, sizeof(NPNetscapeFuncs), NPERR_NO_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.version << " " << std::dec << c.size);
        NPNetscapeFuncs table = harness.Browser().Functions();
        table.version = c.version;
        table.size = uint16_t(c.size);
        EXPECT_EQ(harness.Initialize(&table), c.expected);
        EXPECT_EQ(harness.Shutdown(), NPERR_NO_ERROR);
    }
    EXPECT_EQ(harness.Initialize(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);
    EXPECT_EQ(harness.Shutdown(), NPERR_NO_ERROR);
}

// A browser table of exactly the threshold size, in a heap block of that
// size: reading a member beyond it is an overflow the sanitizer build
// reports. The plug-in then works with the table it copied.
TEST_F(EntryPointTest, WorksWithABrowserTableOfTheMinimumSize) {
    std::vector<unsigned char> block(kBrowserTableThreshold);
    std::memcpy(block.data(), &harness.Browser().Functions(), kBrowserTableThreshold);
    auto* table = reinterpret_cast<NPNetscapeFuncs*>(block.data());
    table->size = uint16_t(kBrowserTableThreshold);
    NPPluginFuncs plugin = {};
    plugin.size = sizeof plugin;
    ASSERT_EQ(harness.GetEntryPoints(&plugin), NPERR_NO_ERROR);
    ASSERT_EQ(harness.Initialize(table), NPERR_NO_ERROR);

    NPP_t instance = {};
    ASSERT_EQ(plugin.newp(nullptr, &instance, NP_EMBED, 0, nullptr, nullptr, nullptr), NPERR_NO_ERROR);
    NPObject* object = nullptr;
    ASSERT_EQ(plugin.getvalue(&instance, NPPVpluginScriptableNPObject, &object), NPERR_NO_ERROR);
    ScriptResult version = harness.Browser().Invoke(object, "VELA_GetVersion", {});
    EXPECT_TRUE(version.ok);
    EXPECT_EQ(version.text, "3.2.0.3");
    harness.Browser().Release(object);
    EXPECT_EQ(plugin.destroy(&instance, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(harness.Shutdown(), NPERR_NO_ERROR);
    EXPECT_EQ(harness.Browser().LiveObjects(), 0u);
    EXPECT_EQ(harness.Browser().OutstandingAllocations(), 0u);
}

// An installer calls NP_Install on a thread where it has initialised COM,
// without starting the plug-in. Where the platform lets the stores be
// chosen, the sequence works on stores of the test's own.
TEST_F(EntryPointTest, InstallRunsWithoutABrowser) {
    std::string stores = testsupport::MakeTemporaryDirectory();
    ASSERT_FALSE(stores.empty());
    testsupport::SetEnvironment("TESSERA_STORE_DIR", stores.c_str());
    testsupport::SetEnvironment("TESSERA_MACHINE_STORE_DIR", stores.c_str());
    HRESULT hr = CoInitialize(nullptr);
    harness.Install();
    if (SUCCEEDED(hr)) CoUninitialize();
    testsupport::UnsetEnvironment("TESSERA_STORE_DIR");
    testsupport::UnsetEnvironment("TESSERA_MACHINE_STORE_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(stores, ignored);
    EXPECT_EQ(harness.Browser().OutstandingAllocations(), 0u);
}

using InstanceTest = PluginTest;

TEST_F(InstanceTest, CallbacksRefuseANullInstance) {
    const NPPluginFuncs& p = harness.Plugin();
    char mime[] = "application/npTessera";
    uint16_t stype = NP_NORMAL;
    NPStream stream = {};
    char data[16] = {};
    EXPECT_EQ(p.newp(mime, nullptr, NP_EMBED, 0, nullptr, nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(p.destroy(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(p.setwindow(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(p.newstream(nullptr, mime, &stream, false, &stype), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(p.destroystream(nullptr, &stream, NPRES_DONE), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(p.writeready(nullptr, &stream), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(p.write(nullptr, &stream, 0, sizeof data, data), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(p.getvalue(nullptr, NPPVpluginNameString, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(p.setvalue(nullptr, NPNVprivateModeBool, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(p.event(nullptr, nullptr), 0);
    p.asfile(nullptr, &stream, "file");
    p.print(nullptr, nullptr);
    p.urlnotify(nullptr, "http://example.invalid/", NPRES_DONE, nullptr);
}

TEST_F(InstanceTest, StreamsAreAcceptedAndDropped) {
    const NPPluginFuncs& p = harness.Plugin();
    NPP instance = harness.NewInstance();
    ASSERT_NE(instance, nullptr);
    char mime[] = "application/octet-stream";
    NPStream stream = {};
    uint16_t stype = NP_NORMAL;
    std::vector<char> data(4096, 'x');
    NPWindow window = {};
    EXPECT_EQ(p.setwindow(instance, &window), NPERR_NO_ERROR);
    EXPECT_EQ(p.newstream(instance, mime, &stream, false, &stype), NPERR_NO_ERROR);
    EXPECT_EQ(p.writeready(instance, &stream), 0x0FFFFFFF);
    EXPECT_EQ(p.write(instance, &stream, 0, int32_t(data.size()), data.data()), 4096);
    EXPECT_EQ(p.destroystream(instance, &stream, NPRES_DONE), NPERR_NO_ERROR);
    EXPECT_EQ(p.event(instance, nullptr), 0);
    EXPECT_EQ(p.setvalue(instance, NPNVprivateModeBool, nullptr), NPERR_NO_ERROR);
}

TEST_F(InstanceTest, GetValueNeedsAnInstanceWithPluginData) {
    NPP_t bare = {};
    const char* text = nullptr;
    EXPECT_EQ(harness.Plugin().getvalue(&bare, NPPVpluginNameString, &text), NPERR_GENERIC_ERROR);
    EXPECT_EQ(text, nullptr);
}

TEST_F(InstanceTest, GetValueAnswersNameDescriptionAndXEmbed) {
    NPP instance = harness.NewInstance();
    ASSERT_NE(instance, nullptr);
    const NPPluginFuncs& p = harness.Plugin();
    const char* text = nullptr;
    ASSERT_EQ(p.getvalue(instance, NPPVpluginNameString, &text), NPERR_NO_ERROR);
    EXPECT_STREQ(text, "NPRuntimeTest");
    ASSERT_EQ(p.getvalue(instance, NPPVpluginDescriptionString, &text), NPERR_NO_ERROR);
    EXPECT_STREQ(text, "NPRuntime scriptability API test plugin");
    // One byte is written, the neighbours stay.
    unsigned char flag[3] = {0x55, 0x00, 0x55};
    ASSERT_EQ(p.getvalue(instance, NPPVpluginNeedsXEmbed, &flag[1]), NPERR_NO_ERROR);
    EXPECT_EQ(flag[0], 0x55);
    EXPECT_EQ(flag[1], 1);
    EXPECT_EQ(flag[2], 0x55);
    void* other = nullptr;
    EXPECT_EQ(p.getvalue(instance, NPPVpluginWindowBool, &other), NPERR_GENERIC_ERROR);
    EXPECT_EQ(p.getvalue(instance, NPPVformValue, &other), NPERR_GENERIC_ERROR);
}

TEST_F(InstanceTest, EveryScriptableObjectRequestAddsOneReference) {
    NPP instance = harness.NewInstance();
    ASSERT_NE(instance, nullptr);
    NPObject* first = harness.ScriptableObject(instance);
    ASSERT_NE(first, nullptr);
    // The plug-in's own reference and the one handed to the browser.
    EXPECT_EQ(first->referenceCount, 2u);
    NPObject* second = harness.ScriptableObject(instance);
    EXPECT_EQ(second, first);
    EXPECT_EQ(first->referenceCount, 3u);
    harness.Browser().Release(second);
    harness.Browser().Release(first);
    EXPECT_EQ(first->referenceCount, 1u);
    EXPECT_TRUE(harness.Browser().IsLive(first));
    EXPECT_EQ(harness.DestroyInstance(instance), NPERR_NO_ERROR);
    EXPECT_FALSE(harness.Browser().IsLive(first));
}

// The object belongs to the browser's references too: destroying the
// instance drops only the plug-in's, and the page can go on calling.
TEST_F(InstanceTest, ObjectOutlivesItsInstanceWhileThePageHoldsIt) {
    NPP instance = harness.NewInstance();
    ASSERT_NE(instance, nullptr);
    NPObject* object = harness.ScriptableObject(instance);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(harness.DestroyInstance(instance), NPERR_NO_ERROR);
    ASSERT_TRUE(harness.Browser().IsLive(object));
    EXPECT_EQ(object->referenceCount, 1u);
    ScriptResult version = harness.Browser().Invoke(object, "VELA_GetVersion", {});
    EXPECT_EQ(version.text, "3.2.0.3");
    harness.Browser().Release(object);
    EXPECT_FALSE(harness.Browser().IsLive(object));
}

TEST_F(InstanceTest, FailedObjectCreationIsRetriedOnTheNextRequest) {
    NPP instance = harness.NewInstance();
    ASSERT_NE(instance, nullptr);
    harness.Browser().FailAllocations(1);
    NPObject* object = reinterpret_cast<NPObject*>(uintptr_t(1));
    EXPECT_EQ(harness.Plugin().getvalue(instance, NPPVpluginScriptableNPObject, &object), NPERR_GENERIC_ERROR);
    EXPECT_EQ(object, nullptr);
    object = harness.ScriptableObject(instance);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->referenceCount, 2u);
    harness.Browser().Release(object);
}

TEST_F(InstanceTest, DestroyWithoutPluginDataSucceeds) {
    NPP_t bare = {};
    EXPECT_EQ(harness.Plugin().destroy(&bare, nullptr), NPERR_NO_ERROR);
}

}  // namespace
