// Helpers shared by the implementation files of the platform layer. Not
// part of the Windows API surface; the core never includes this header.
#pragma once
#include <windows.h>
#include <string>

namespace tessera {

std::string ToUtf8(const WCHAR* text);
std::string ToUtf8(const WCHAR* text, size_t length);
std::u16string ToUtf16(const std::string& text);
std::u16string ToUtf16(const char* text, size_t length);
// Returns FALSE after setting the thread's last error; convenient in
// BOOL-returning API implementations: `return Fail(NTE_BAD_KEYSET);`
inline BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}
// The language the user interface runs in (1033 or 2052), from the locale
// environment (LC_ALL, then LC_MESSAGES, then LANG).
WORD UserInterfaceLanguage();

}  // namespace tessera
