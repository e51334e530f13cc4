// Byte and text helpers shared by the request tests.
#pragma once
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "Misc.h"

namespace testbytes {

using Bytes = std::vector<BYTE>;

// "30 03 02 01 05" -> bytes (blanks ignored).
inline Bytes Hex(const char* text) {
    Bytes out;
    int high = -1;
    for (const char* p = text; *p; ++p) {
        int v;
        if (*p >= '0' && *p <= '9') v = *p - '0';
        else if (*p >= 'a' && *p <= 'f') v = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F') v = *p - 'A' + 10;
        else continue;
        if (high < 0) high = v;
        else out.push_back(BYTE(high << 4 | v)), high = -1;
    }
    return out;
}

inline std::string ToHex(const BYTE* pb, size_t cb) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < cb; ++i) {
        if (i) out.push_back(' ');
        out.push_back(digits[pb[i] >> 4]);
        out.push_back(digits[pb[i] & 15]);
    }
    return out;
}
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }
inline Bytes ToBytes(const ByteBuffer& pb, DWORD cb) { return Bytes(pb.get(), pb.get() + cb); }

// UTF-8 literal -> UTF-16 text.
inline WString W(const char* utf8) {
    WString out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8);
    while (*p) {
        unsigned long c = *p++;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra) c &= 0x3F >> extra;
        for (int i = 0; i < extra && *p; ++i) c = (c << 6) | (*p++ & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(WCHAR(0xD800 + (c >> 10)));
            out.push_back(WCHAR(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(WCHAR(c));
        }
    }
    return out;
}

}  // namespace testbytes
