#include "PluginLibrary.h"

#include <windows.h>

#include <vector>

namespace {

std::wstring Widen(const std::string& text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? n : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), n);
    wide.resize(wcslen(wide.c_str()));
    return wide;
}

// The build names files with forward slashes; under Wine a path from the
// Unix side lives on drive Z:.
std::wstring WindowsPath(const std::string& path) {
    std::wstring wide = Widen(path);
    for (auto& c : wide)
        if (c == L'/') c = L'\\';
    if (!wide.empty() && wide[0] == L'\\') wide = L"Z:" + wide;
    return wide;
}

}  // namespace

bool CPluginLibrary::Open(const std::string& path) {
    Close();
    HMODULE module = LoadLibraryW(WindowsPath(path).c_str());
    if (!module) {
        m_error = "LoadLibraryW failed with error " + std::to_string(GetLastError());
        return false;
    }
    m_handle = module;
    return true;
}

void CPluginLibrary::Close() {
    if (m_handle) FreeLibrary(static_cast<HMODULE>(m_handle));
    m_handle = nullptr;
}

void* CPluginLibrary::Symbol(const char* name) const {
    if (!m_handle) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_handle), name));
}

void* CPluginLibrary::SymbolByOrdinal(unsigned ordinal) const {
    if (!m_handle) return nullptr;
    return reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(m_handle), reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(ordinal))));
}

std::string CPluginLibrary::BuiltLibraryPath() { return TESSERA_PLUGIN_PATH; }

bool CPluginLibrary::HasVersionResources() { return true; }

std::optional<std::string> CPluginLibrary::VersionString(const std::string& path, const std::string& key) {
    std::wstring file = WindowsPath(path);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
    if (!size) return std::nullopt;
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return std::nullopt;
    std::wstring query = L"\\StringFileInfo\\040904E4\\" + Widen(key);
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || !value) return std::nullopt;
    const wchar_t* text = static_cast<const wchar_t*>(value);
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(n > 0 ? n : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), n, nullptr, nullptr);
    narrow.resize(strlen(narrow.c_str()));
    return narrow;
}

bool CPluginLibrary::StartTraceSession(const std::string&) { return false; }

void CPluginLibrary::StopTraceSession() {}

bool CPluginLibrary::HasOrdinals() { return true; }
