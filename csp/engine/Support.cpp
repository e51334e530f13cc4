// The few helpers of the platform layer that the provider engine calls,
// for the Windows DLL: UTF-8/UTF-16 conversion, the link of a certificate
// into the user's "MY" store, and the ownership checks of the
// service-provider interface (a key or hash handle belongs to one context).
#include "crypt/Csp.h"

#include <tessera/platform_internal.h>
#include <tessera/store_internal.h>

extern "C" BOOL TesseraCspLinkCertificate(const BYTE* der, DWORD length, const WCHAR* container,
                                          const WCHAR* provider, DWORD providerType, DWORD keySpec);

namespace tessera {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// One code point from p (advanced past it); malformed input gives U+FFFD.
char32_t DecodeUtf8(const unsigned char*& p, const unsigned char* end) {
    unsigned char lead = *p++;
    if (lead < 0x80) return lead;
    int extra = lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 && lead < 0xE0 ? 1 : -1;
    if (extra < 0) return kReplacement;
    char32_t cp = lead & (0x3F >> extra);
    for (int i = 0; i < extra; ++i) {
        if (p == end || (*p & 0xC0) != 0x80) return kReplacement;
        cp = (cp << 6) | (*p++ & 0x3F);
    }
    static const char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
    return cp;
}

}  // namespace

std::string ToUtf8(const WCHAR* text, size_t length) {
    std::string out;
    out.reserve(length);
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

std::string ToUtf8(const WCHAR* text) {
    return text ? ToUtf8(text, std::char_traits<WCHAR>::length(text)) : std::string();
}

std::u16string ToUtf16(const std::string& text) {
    std::u16string out;
    auto p = reinterpret_cast<const unsigned char*>(text.data());
    auto end = p + text.size();
    while (p < end) {
        char32_t cp = DecodeUtf8(p, end);
        if (cp >= 0x10000) {
            out += char16_t(0xD800 + ((cp - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += char16_t(cp);
        }
    }
    return out;
}

}  // namespace tessera

BOOL TesseraStoreAddLinkedCertificate(const BYTE* der, DWORD length, const WCHAR* container, const WCHAR* provider,
                                      DWORD providerType, DWORD keySpec) {
    return TesseraCspLinkCertificate(der, length, container, provider, providerType, keySpec);
}

using namespace tessera::crypt;

// Whether the key (hash) handle was made on the context hProv: the
// dispatcher passes both, and a handle of another context is refused.
extern "C" BOOL TesseraEngineKeyOwnedBy(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    auto context = Contexts().Find(hProv);
    auto key = Keys().Find(hKey);
    return context && key && key->context == context;
}

extern "C" BOOL TesseraEngineHashOwnedBy(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    auto context = Contexts().Find(hProv);
    auto hash = Hashes().Find(hHash);
    return context && hash && hash->context == context;
}

extern "C" BOOL TesseraEngineContextKnown(HCRYPTPROV hProv) { return Contexts().Find(hProv) != nullptr; }
