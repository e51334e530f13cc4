// Name rendering: CertNameToStrW over an encoded X.500 name and
// CertGetNameStringW over a certificate, with the attribute labels, quoting
// and separators of the Windows certificate services.
#include "CertInternal.h"
#include "Der.h"

#include <tessera/platform_internal.h>

#include <cstring>
#include <string>
#include <vector>

namespace tessera::cert {
namespace {

struct Attribute {
    std::string oid;
    BYTE tag = 0;
    const BYTE* value = nullptr;
    size_t length = 0;
};
using Rdn = std::vector<Attribute>;

// Splits an encoded Name into its RDNs; false when it is not a Name.
bool ParseName(const BYTE* data, size_t length, std::vector<Rdn>& rdns) {
    DerReader top(data, length);
    DerElement name;
    if (!top.Next(name, 0x30) || !top.AtEnd()) return false;
    DerReader sets(name);
    while (!sets.AtEnd()) {
        DerElement set;
        if (!sets.Next(set, 0x31)) return false;
        Rdn rdn;
        DerReader atvs(set);
        while (!atvs.AtEnd()) {
            DerElement atv, oid, value;
            if (!atvs.Next(atv, 0x30)) return false;
            DerReader parts(atv);
            if (!parts.Next(oid, 0x06) || !parts.Next(value)) return false;
            std::string text = OidText(oid.content, oid.length);
            if (text.empty()) return false;
            rdn.push_back(Attribute{text, value.tag, value.content, value.length});
        }
        rdns.push_back(std::move(rdn));
    }
    return true;
}

bool ValidUtf8(const BYTE* p, size_t n) {
    for (size_t i = 0; i < n;) {
        BYTE c = p[i];
        size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
        if (extra == 9 || i + extra >= n + (extra ? 0 : 1)) return false;
        for (size_t k = 1; k <= extra; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        i += extra + 1;
    }
    return true;
}

void AppendCodePoint(std::u16string& out, char32_t cp) {
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
        cp -= 0x10000;
        out.push_back(char16_t(0xD800 + (cp >> 10)));
        out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else if (cp < 0x10000) {
        out.push_back(char16_t(cp));
    } else {
        out.push_back(u'\xFFFD');
    }
}

std::u16string ValueText(const Attribute& a) {
    std::u16string out;
    switch (a.tag) {
    case 0x0C:  // UTF8String
        return ToUtf16(std::string(reinterpret_cast<const char*>(a.value), a.length));
    case 0x1E:  // BMPString
        for (size_t i = 0; i + 1 < a.length; i += 2) out.push_back(char16_t((a.value[i] << 8) | a.value[i + 1]));
        return out;
    case 0x1C:  // UniversalString
        for (size_t i = 0; i + 3 < a.length; i += 4)
            AppendCodePoint(out, char32_t(a.value[i]) << 24 | char32_t(a.value[i + 1]) << 16 |
                                     char32_t(a.value[i + 2]) << 8 | a.value[i + 3]);
        return out;
    case 0x14:  // T61String: UTF-8 when it decodes as such
        if (ValidUtf8(a.value, a.length)) return ToUtf16(std::string(reinterpret_cast<const char*>(a.value), a.length));
        [[fallthrough]];
    case 0x12:
    case 0x13:
    case 0x15:
    case 0x16:
    case 0x19:
    case 0x1A:
    case 0x1B:
        for (size_t i = 0; i < a.length; ++i) out.push_back(char16_t(a.value[i]));
        return out;
    default: {
        // Not a string type: the value's bytes in hexadecimal.
        static const char digits[] = "0123456789ABCDEF";
        out.push_back(u'#');
        for (size_t i = 0; i < a.length; ++i) {
            out.push_back(char16_t(digits[a.value[i] >> 4]));
            out.push_back(char16_t(digits[a.value[i] & 15]));
        }
        return out;
    }
    }
}

struct Label {
    const char* oid;
    const char16_t* label;
};
const Label kLabels[] = {
    {"2.5.4.3", u"CN"},
    {"2.5.4.4", u"SN"},
    {"2.5.4.5", u"SERIALNUMBER"},
    {"2.5.4.6", u"C"},
    {"2.5.4.7", u"L"},
    {"2.5.4.8", u"S"},
    {"2.5.4.9", u"STREET"},
    {"2.5.4.10", u"O"},
    {"2.5.4.11", u"OU"},
    {"2.5.4.12", u"T"},
    {"2.5.4.13", u"Description"},
    {"2.5.4.17", u"PostalCode"},
    {"2.5.4.18", u"POBox"},
    {"2.5.4.20", u"Phone"},
    {"2.5.4.24", u"X21Address"},
    {"2.5.4.42", u"G"},
    {"2.5.4.43", u"I"},
    {"2.5.4.46", u"dnQualifier"},
    {"1.2.840.113549.1.9.1", u"E"},
    {"0.9.2342.19200300.100.1.25", u"DC"},
};

std::u16string LabelFor(const std::string& oid) {
    for (const Label& l : kLabels)
        if (oid == l.oid) return l.label;
    return ToUtf16(oid);
}

bool NeedsQuotes(const std::u16string& v) {
    if (v.empty()) return false;
    if (v.front() == u' ' || v.back() == u' ') return true;
    for (char16_t c : v)
        if (std::u16string_view(u",+=\"\n<>#;").find(c) != std::u16string_view::npos) return true;
    return false;
}

std::u16string Quote(const std::u16string& v) {
    std::u16string out = u"\"";
    for (char16_t c : v) {
        out.push_back(c);
        if (c == u'"') out.push_back(u'"');
    }
    out.push_back(u'"');
    return out;
}

std::u16string Render(const std::vector<Rdn>& rdns, DWORD type) {
    const DWORD form = type & 0xFFFF;
    std::u16string rdnSeparator = u", ";
    if (type & CERT_NAME_STR_SEMICOLON_FLAG) rdnSeparator = u"; ";
    if (type & CERT_NAME_STR_CRLF_FLAG) rdnSeparator = u"\r\n";
    const std::u16string plus = (type & CERT_NAME_STR_NO_PLUS_FLAG) ? u" " : u" + ";
    const bool quote = !(type & CERT_NAME_STR_NO_QUOTING_FLAG);
    const bool reverse = (type & CERT_NAME_STR_REVERSE_FLAG) != 0;
    std::u16string out;
    for (size_t n = 0; n < rdns.size(); ++n) {
        const Rdn& rdn = rdns[reverse ? rdns.size() - 1 - n : n];
        if (n) out += rdnSeparator;
        for (size_t i = 0; i < rdn.size(); ++i) {
            if (i) out += plus;
            if (form == CERT_X500_NAME_STR) out += LabelFor(rdn[i].oid) + u"=";
            else if (form == CERT_OID_NAME_STR) out += ToUtf16(rdn[i].oid) + u"=";
            std::u16string value = ValueText(rdn[i]);
            out += quote && NeedsQuotes(value) ? Quote(value) : value;
        }
    }
    return out;
}

DWORD CopyText(const std::u16string& text, LPWSTR out, DWORD capacity) {
    const DWORD needed = DWORD(text.size() + 1);
    if (!out || capacity == 0) return needed;
    DWORD n = std::min<DWORD>(needed - 1, capacity - 1);
    std::memcpy(out, text.data(), n * sizeof(WCHAR));
    out[n] = 0;
    return n + 1;
}

const Attribute* FindAttribute(const std::vector<Rdn>& rdns, const char* oid) {
    for (const Rdn& rdn : rdns)
        for (const Attribute& a : rdn)
            if (a.oid == oid) return &a;
    return nullptr;
}

}  // namespace

bool IsName(const BYTE* data, size_t length) {
    std::vector<Rdn> rdns;
    return ParseName(data, length, rdns);
}

}  // namespace tessera::cert

using namespace tessera;
using namespace tessera::cert;

extern "C" DWORD CertNameToStrW(DWORD encoding, const CERT_NAME_BLOB* name, DWORD type, LPWSTR out, DWORD capacity) {
    std::vector<Rdn> rdns;
    const DWORD form = type & 0xFFFF;
    if (!name || (form != CERT_SIMPLE_NAME_STR && form != CERT_OID_NAME_STR && form != CERT_X500_NAME_STR) ||
        !ParseName(name->pbData, name->cbData, rdns)) {
        if (out && capacity) out[0] = 0;
        SetLastError(name ? DWORD(CRYPT_E_ASN1_BADTAG) : DWORD(E_INVALIDARG));
        return 1;
    }
    return CopyText(Render(rdns, type), out, capacity);
}

extern "C" DWORD CertGetNameStringW(PCCERT_CONTEXT context, DWORD type, DWORD flags, void* para, LPWSTR out,
                                    DWORD capacity) {
    std::u16string text;
    CertObject* o = FromContext(context);
    std::vector<Rdn> rdns;
    if (o) {
        const Bytes& name = (flags & CERT_NAME_ISSUER_FLAG) ? o->issuer : o->subject;
        if (!ParseName(name.data(), name.size(), rdns)) rdns.clear();
    }
    switch (o ? type : 0) {
    case CERT_NAME_SIMPLE_DISPLAY_TYPE:
    case CERT_NAME_FRIENDLY_DISPLAY_TYPE: {
        if (type == CERT_NAME_FRIENDLY_DISPLAY_TYPE) {
            auto friendly = o->properties.find(CERT_FRIENDLY_NAME_PROP_ID);
            if (friendly != o->properties.end() && friendly->second.size() >= 2) {
                for (size_t i = 0; i + 1 < friendly->second.size(); i += 2) {
                    char16_t c = char16_t(friendly->second[i] | (friendly->second[i + 1] << 8));
                    if (!c) break;
                    text.push_back(c);
                }
                break;
            }
        }
        const Attribute* a = nullptr;
        for (const char* oid : {szOID_COMMON_NAME, szOID_ORGANIZATIONAL_UNIT_NAME, szOID_ORGANIZATION_NAME,
                                szOID_RSA_emailAddr})
            if ((a = FindAttribute(rdns, oid))) break;
        if (!a && !rdns.empty() && !rdns.front().empty()) a = &rdns.front().front();
        if (a) text = ValueText(*a);
        break;
    }
    case CERT_NAME_EMAIL_TYPE: {
        if (const Attribute* a = FindAttribute(rdns, szOID_RSA_emailAddr)) text = ValueText(*a);
        break;
    }
    case CERT_NAME_ATTR_TYPE: {
        const char* oid = static_cast<const char*>(para);
        if (oid)
            if (const Attribute* a = FindAttribute(rdns, oid)) text = ValueText(*a);
        break;
    }
    case CERT_NAME_RDN_TYPE: {
        DWORD strType = para ? *static_cast<const DWORD*>(para) : CERT_X500_NAME_STR;
        if ((strType & 0xFFFF) == 0) strType |= CERT_X500_NAME_STR;
        text = Render(rdns, strType);
        break;
    }
    default:
        break;
    }
    return CopyText(text, out, capacity);
}
