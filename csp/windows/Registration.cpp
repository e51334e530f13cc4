// Self-registration (regsvr32): both Tessera providers under
// HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>, with the
// DLL's full path as "Image Path", "Type" 1 and "SigInFile" 0 (no signature
// resource; Windows 8 and later load unsigned providers). Without the right
// to write those keys registration fails with E_ACCESSDENIED and leaves the
// registry as it was.
#include <windows.h>

#include <string>

namespace {

HMODULE g_hModule = nullptr;

const wchar_t kProviderRoot[] = L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";
const wchar_t* const kProviderNames[] = {L"Tessera RSA Software CSP", L"Tessera SM2 Software CSP"};
constexpr DWORD kProviderType = 1;  // PROV_RSA_FULL, the type the enrollment opens both with

HRESULT FromWin32(LONG rc) { return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(DWORD(rc)); }

std::wstring KeyPath(const wchar_t* name) { return std::wstring(kProviderRoot) + name; }

bool KeyExists(const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(name).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

LONG WriteProvider(const wchar_t* name, const std::wstring& image) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyPath(name).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    DWORD type = kProviderType, signature = 0;
    rc = RegSetValueExW(key, L"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(image.c_str()),
                        DWORD((image.size() + 1) * sizeof(wchar_t)));
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExW(key, L"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof(type));
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExW(key, L"SigInFile", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&signature),
                            sizeof(signature));
    RegCloseKey(key);
    return rc;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_hModule = hInstance;
        DisableThreadLibraryCalls(hInstance);
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllRegisterServer(void) {
    wchar_t path[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(g_hModule, path, DWORD(sizeof(path) / sizeof(path[0])));
    if (n == 0 || n >= sizeof(path) / sizeof(path[0])) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    std::wstring image(path, n);
    bool existed[2] = {KeyExists(kProviderNames[0]), KeyExists(kProviderNames[1])};
    for (int i = 0; i < 2; ++i) {
        LONG rc = WriteProvider(kProviderNames[i], image);
        if (rc != ERROR_SUCCESS) {
            // Nothing half-written: the keys this call created go again.
            for (int j = 0; j <= i; ++j)
                if (!existed[j]) RegDeleteKeyW(HKEY_LOCAL_MACHINE, KeyPath(kProviderNames[j]).c_str());
            return FromWin32(rc);
        }
    }
    return S_OK;
}

extern "C" HRESULT WINAPI DllUnregisterServer(void) {
    // Checked first, so that a caller without the right removes neither.
    for (const wchar_t* name : kProviderNames) {
        HKEY key = nullptr;
        LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(name).c_str(), 0, DELETE | KEY_READ, &key);
        if (rc == ERROR_FILE_NOT_FOUND) continue;
        if (rc != ERROR_SUCCESS) return FromWin32(rc);
        RegCloseKey(key);
    }
    for (const wchar_t* name : kProviderNames) {
        LONG rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, KeyPath(name).c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return FromWin32(rc);
    }
    return S_OK;
}
