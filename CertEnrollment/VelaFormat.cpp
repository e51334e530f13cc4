#include "VelaFormat.h"

namespace {

struct Output {
    WCHAR* buffer;
    size_t capacity;
    size_t length = 0;
    void Put(WCHAR c) {
        if (length + 1 < capacity) buffer[length++] = c;
    }
};

struct Conversion {
    bool zeroPad = false;
    bool leftAlign = false;
    int width = 0;
};

void PutPadded(Output& out, const WCHAR* text, size_t length, const Conversion& conv) {
    size_t pad = conv.width > 0 && size_t(conv.width) > length ? size_t(conv.width) - length : 0;
    if (!conv.leftAlign)
        for (size_t i = 0; i < pad; ++i) out.Put(conv.zeroPad ? u'0' : u' ');
    for (size_t i = 0; i < length; ++i) out.Put(text[i]);
    if (conv.leftAlign)
        for (size_t i = 0; i < pad; ++i) out.Put(u' ');
}

void PutNumber(Output& out, unsigned long long value, bool negative, unsigned base, bool upper, Conversion conv) {
    WCHAR digits[24];
    size_t n = 0;
    do {
        unsigned d = unsigned(value % base);
        digits[n++] = WCHAR(d < 10 ? u'0' + d : (upper ? u'A' : u'a') + d - 10);
        value /= base;
    } while (value);
    WCHAR text[26];
    size_t length = 0;
    if (negative && conv.zeroPad) {
        out.Put(u'-');
        if (conv.width > 0) --conv.width;
    } else if (negative) {
        text[length++] = u'-';
    }
    while (n) text[length++] = digits[--n];
    PutPadded(out, text, length, conv);
}

void PutNarrow(Output& out, const char* text, const Conversion& conv) {
    if (!text) text = "(null)";
    WCHAR chunk[1];
    size_t length = 0;
    while (text[length]) ++length;
    size_t pad = conv.width > 0 && size_t(conv.width) > length ? size_t(conv.width) - length : 0;
    if (!conv.leftAlign)
        for (size_t i = 0; i < pad; ++i) out.Put(u' ');
    // 8-bit arguments are ASCII or UTF-8; bytes are widened one by one.
    for (size_t i = 0; i < length; ++i) {
        chunk[0] = WCHAR((unsigned char)text[i]);
        out.Put(chunk[0]);
    }
    if (conv.leftAlign)
        for (size_t i = 0; i < pad; ++i) out.Put(u' ');
}

}  // namespace

int FormatWideV(WCHAR* buffer, size_t capacity, const WCHAR* format, va_list args) {
    if (!buffer || capacity == 0) return 0;
    Output out{buffer, capacity};
    for (const WCHAR* p = format; p && *p; ++p) {
        if (*p != u'%') {
            out.Put(*p);
            continue;
        }
        ++p;
        Conversion conv;
        for (;; ++p) {
            if (*p == u'0') conv.zeroPad = true;
            else if (*p == u'-') conv.leftAlign = true;
            else break;
        }
        while (*p >= u'0' && *p <= u'9') conv.width = conv.width * 10 + (*p++ - u'0');
        bool longLong = false;
        if (*p == u'l' && p[1] == u'l') longLong = true, p += 2;
        else if (*p == u'l' && p[1] != u's') ++p;
        switch (*p) {
        case u'w':
        case u'l':
            if (p[1] == u's') {
                ++p;
                const WCHAR* s = va_arg(args, const WCHAR*);
                if (!s) s = TEXT("(null)");
                PutPadded(out, s, WideLength(s), conv);
            }
            break;
        case u's': PutNarrow(out, va_arg(args, const char*), conv); break;
        case u'c': out.Put(WCHAR((unsigned char)va_arg(args, int))); break;
        case u'd':
        case u'i': {
            long long v = longLong ? va_arg(args, long long) : va_arg(args, int);
            PutNumber(out, v < 0 ? 0ULL - (unsigned long long)v : (unsigned long long)v, v < 0, 10, false, conv);
            break;
        }
        case u'u':
        case u'x':
        case u'X': {
            unsigned long long v = longLong ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
            PutNumber(out, v, false, *p == u'u' ? 10 : 16, *p == u'X', conv);
            break;
        }
        case u'p':
            PutNumber(out, (unsigned long long)(uintptr_t)va_arg(args, void*), false, 16, false, conv);
            break;
        case u'%': out.Put(u'%'); break;
        case 0: --p; break;
        default: out.Put(u'%'); out.Put(*p); break;
        }
    }
    buffer[out.length] = 0;
    return int(out.length);
}

int FormatWide(WCHAR* buffer, size_t capacity, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatWideV(buffer, capacity, format, args);
    va_end(args);
    return n;
}
