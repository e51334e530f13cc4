// Placeholder registry until the database-backed registry lands: every key
// is missing.
#include <windows.h>

extern "C" LSTATUS RegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY result) {
    if (result) *result = nullptr;
    return ERROR_FILE_NOT_FOUND;
}
extern "C" LSTATUS RegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES,
                                   PHKEY result, LPDWORD) {
    if (result) *result = nullptr;
    return ERROR_ACCESS_DENIED;
}
extern "C" LSTATUS RegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_INVALID_HANDLE; }
extern "C" LSTATUS RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return ERROR_INVALID_HANDLE; }
extern "C" LSTATUS RegDeleteKeyW(HKEY, LPCWSTR) { return ERROR_FILE_NOT_FOUND; }
extern "C" LSTATUS RegDeleteValueW(HKEY, LPCWSTR) { return ERROR_FILE_NOT_FOUND; }
extern "C" LSTATUS RegEnumKeyExW(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD, PFILETIME) {
    return ERROR_NO_MORE_ITEMS;
}
extern "C" LSTATUS RegCloseKey(HKEY) { return ERROR_SUCCESS; }
