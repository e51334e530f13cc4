#include "TestPlatform.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace testsupport {

void SetUserInterfaceLanguage(LANGID language) {
    SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
    SetThreadUILanguage(language);
}

void SetEnvironment(const char* name, const char* value) { _putenv_s(name, value); }
void UnsetEnvironment(const char* name) { _putenv_s(name, ""); }

std::string MakeTemporaryDirectory() {
    WCHAR base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    for (int attempt = 0; attempt < 100; ++attempt) {
        WCHAR name[MAX_PATH];
        swprintf(name, MAX_PATH, L"%lstessera-test-%08lx-%d", base, GetTickCount(), attempt);
        if (CreateDirectoryW(name, nullptr)) return NarrowPath(name);
    }
    return std::string();
}

bool ReadFile(const std::string& path, std::vector<unsigned char>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string NarrowPath(const WCHAR* path) {
    int n = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? size_t(n - 1) : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, path, -1, out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace testsupport
