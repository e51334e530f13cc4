// Formatting of UTF-16 text, identical on every platform (the C runtime's
// wide printf differs between them). Supported conversions: %ws and %ls
// (UTF-16 string), %s (8-bit string), %d %i %u %x %X with flags '0' and '-'
// and a width, %c (8-bit character), %p and %%. The output is always
// NUL-terminated and never longer than capacity - 1 characters; the result
// is the number of characters written.
#pragma once
#include <windows.h>

#include <cstdarg>
#include <cstddef>

int FormatWide(WCHAR* buffer, size_t capacity, const WCHAR* format, ...);
int FormatWideV(WCHAR* buffer, size_t capacity, const WCHAR* format, va_list args);

inline size_t WideLength(const WCHAR* text) {
    size_t n = 0;
    if (text)
        while (text[n]) ++n;
    return n;
}
