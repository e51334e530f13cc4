#include "PluginLibrary.h"

#include <dlfcn.h>
#include <stdlib.h>

bool CPluginLibrary::Open(const std::string& path) {
    Close();
    // Lazy binding, as browsers load plug-ins; RTLD_LOCAL keeps the
    // library's symbols out of the global scope.
    m_handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!m_handle) {
        const char* error = dlerror();
        m_error = error ? error : "dlopen failed";
        return false;
    }
    return true;
}

void CPluginLibrary::Close() {
    if (m_handle) dlclose(m_handle);
    m_handle = nullptr;
}

void* CPluginLibrary::Symbol(const char* name) const { return m_handle ? dlsym(m_handle, name) : nullptr; }

void* CPluginLibrary::SymbolByOrdinal(unsigned) const { return nullptr; }

std::string CPluginLibrary::BuiltLibraryPath() { return TESSERA_PLUGIN_PATH; }

bool CPluginLibrary::HasVersionResources() { return false; }

std::optional<std::string> CPluginLibrary::VersionString(const std::string&, const std::string&) {
    return std::nullopt;
}

bool CPluginLibrary::StartTraceSession(const std::string& file) {
    std::string control = "0xF," + file;
    return setenv("TESSERA_TRACE", control.c_str(), 1) == 0;
}

void CPluginLibrary::StopTraceSession() { unsetenv("TESSERA_TRACE"); }

bool CPluginLibrary::HasOrdinals() { return false; }
