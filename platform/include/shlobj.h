// Shell folders (shell32 subset).
#pragma once
#include <windows.h>

#define CSIDL_LOCAL_APPDATA 0x001c
#define CSIDL_FLAG_CREATE 0x8000
#define SHGFP_TYPE_CURRENT 0

// CSIDL_LOCAL_APPDATA, the user's own non-roaming folder, is the XDG cache
// directory ($XDG_CACHE_HOME, else $HOME/.cache): what the programs keep
// there (diagnostic copies) may be removed at any time.
EXTERN_C HRESULT WINAPI SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath);
