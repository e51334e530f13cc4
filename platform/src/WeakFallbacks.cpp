// Fallback definitions for API functions whose real implementation lives in
// a component that may not be linked yet; the real definitions take
// precedence. Each fails with ERROR_CALL_NOT_IMPLEMENTED.
#include <windows.h>
#include <wincrypt.h>

extern "C" __attribute__((weak)) BOOL CryptGetProvParam(HCRYPTPROV, DWORD, BYTE*, DWORD*, DWORD) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

extern "C" __attribute__((weak)) BOOL CryptReleaseContext(HCRYPTPROV, DWORD) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
