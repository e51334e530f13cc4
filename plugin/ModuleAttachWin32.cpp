// Windows: the library entry point records the DLL's own module handle.
#include <windows.h>

#include "BrowserServices.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) {
    if (fdwReason == DLL_PROCESS_ATTACH) AttachPluginModule(hinstDLL);
    return TRUE;
}
