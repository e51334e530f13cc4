// Loading the built plug-in library as a browser does (LoadLibraryW and
// GetProcAddress on Windows, dlopen and dlsym elsewhere), and the few other
// things about the library that differ between the platforms.
#pragma once
#include <optional>
#include <string>

class CPluginLibrary {
public:
    CPluginLibrary() = default;
    ~CPluginLibrary() { Close(); }
    CPluginLibrary(const CPluginLibrary&) = delete;
    CPluginLibrary& operator=(const CPluginLibrary&) = delete;

    // Loads the library; on failure Error() says why.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return m_handle != nullptr; }
    // An export by name, or null.
    void* Symbol(const char* name) const;
    // An export by ordinal, where the platform has ordinals (else null).
    void* SymbolByOrdinal(unsigned ordinal) const;
    const std::string& Error() const { return m_error; }

    // The library the build produced.
    static std::string BuiltLibraryPath();
    // Whether libraries carry a version resource on this platform.
    static bool HasVersionResources();
    // Whether exports also have ordinals on this platform.
    static bool HasOrdinals();
    // A string of the library's version resource (English, code page 1252).
    static std::optional<std::string> VersionString(const std::string& path, const std::string& key);
    // Directs the plug-in's trace messages (all kinds) to a file, where the
    // platform lets a test start a trace session; false where it does not.
    static bool StartTraceSession(const std::string& file);
    static void StopTraceSession();

private:
    void* m_handle = nullptr;
    std::string m_error;
};
