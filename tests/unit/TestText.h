// Conversions between the platform's wide text and UTF-8 for assertions.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "Misc.h"

inline std::string Utf8(const WCHAR* text) {
    if (!text) return "<null>";
    CharBuffer out;
    DWORD length = 0;
    return UTF16ToUTF8(text, out, length) == VELA_OK ? std::string(out.get(), length) : "<bad>";
}

inline WString Wide(const char* utf8) {
    WideBuffer out;
    DWORD length = 0;
    return UTF8ToUTF16(utf8, out, length) == VELA_OK ? WString(out.get(), length) : WString();
}

// Owns a BSTR for the length of a test.
struct Bstr {
    BSTR value = nullptr;
    Bstr() = default;
    explicit Bstr(const char* utf8) : value(SysAllocString(Wide(utf8).c_str())) {}
    ~Bstr() { SysFreeString(value); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR* operator&() { return &value; }
    operator BSTR() const { return value; }
};
