#include "SetupTestSupport.h"

namespace setuptest {

// Windows builds its "ROOT" store from the trusted-root registry key. Wine
// builds it from the host's certificate bundle and never reads that key.
bool RootStoreReadsRegistry() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return !(ntdll && GetProcAddress(ntdll, "wine_get_version"));
}

}  // namespace setuptest
