#pragma once
#include <windows.h>

// Appends pszMore to the path (MAX_PATH characters) with one separator.
EXTERN_C BOOL WINAPI PathAppendW(LPWSTR pszPath, LPCWSTR pszMore);
