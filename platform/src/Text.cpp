// UTF-8 / UTF-16 conversion of the platform layer: well-formed text converts
// exactly; malformed input and lone surrogates become U+FFFD, never an error.
// Plain C++, so the Windows build of the provider engine uses it too.
#include <tessera/platform_internal.h>

#include <string>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point; malformed input yields U+FFFD and consumes one byte.
char32_t DecodeUtf8(const unsigned char*& p, const unsigned char* end) {
    unsigned char c = *p++;
    if (c < 0x80) return c;
    int extra = (c >= 0xF0 && c <= 0xF4) ? 3 : (c >= 0xE0) && c < 0xF0 ? 2 : (c >= 0xC2 && c < 0xE0) ? 1 : -1;
    if (extra < 0) return kReplacement;
    char32_t cp = c & (0x3F >> extra);
    const unsigned char* q = p;
    for (int i = 0; i < extra; ++i) {
        if (q == end || (*q & 0xC0) != 0x80) return kReplacement;
        cp = (cp << 6) | (*q++ & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return kReplacement;
    p = q;
    return cp;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(char16_t(0xD800 + (cp >> 10)));
        out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(char16_t(cp));
    }
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

std::u16string Utf8ToUtf16(const char* text, size_t length) {
    std::u16string out;
    out.reserve(length);
    auto p = reinterpret_cast<const unsigned char*>(text);
    auto end = p + length;
    while (p < end) AppendUtf16(out, DecodeUtf8(p, end));
    return out;
}

std::string Utf16ToUtf8(const WCHAR* text, size_t length) {
    std::string out;
    out.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

}  // namespace

namespace tessera {
std::u16string ToUtf16(const char* text, size_t length) { return Utf8ToUtf16(text, length); }
std::string ToUtf8(const WCHAR* text) {
    return text ? Utf16ToUtf8(text, std::char_traits<WCHAR>::length(text)) : std::string();
}
std::string ToUtf8(const WCHAR* text, size_t length) { return Utf16ToUtf8(text, length); }
std::u16string ToUtf16(const std::string& text) { return Utf8ToUtf16(text.data(), text.size()); }
}  // namespace tessera
