#include "PKCS10Request.h"

#include <cstring>

#include "ASN1Engine.h"
#include "VelaTrace.h"

namespace {

// Number of length octets for a content length (definite form, minimal).
DWORD LengthOctetCount(DWORD dwLength) {
    if (dwLength < 0x80) return 1;
    if (dwLength <= 0xFF) return 2;
    if (dwLength <= 0xFFFF) return 3;
    if (dwLength <= 0xFFFFFF) return 4;
    return 5;
}

BYTE* WriteLength(BYTE* p, DWORD dwLength) {
    DWORD n = LengthOctetCount(dwLength);
    if (n == 1) {
        *p++ = (BYTE)dwLength;
        return p;
    }
    *p++ = (BYTE)(0x80 | (n - 1));
    for (DWORD i = n - 1; i > 0; --i) *p++ = (BYTE)(dwLength >> (8 * (i - 1)));
    return p;
}

// Size of a whole element with this content length; 0 when it would not
// fit in 32 bits.
DWORD ElementSize(DWORD dwContentLength) {
    ULONGLONG total = 1ull + LengthOctetCount(dwContentLength) + dwContentLength;
    return total > 0xFFFFFFFFull ? 0 : (DWORD)total;
}

BYTE* WriteHeader(BYTE* p, BYTE bTag, DWORD dwContentLength) {
    *p++ = bTag;
    return WriteLength(p, dwContentLength);
}

bool IsEncodableTag(BYTE bTag) {
    switch (bTag) {
        case 0x02: case 0x04: case 0x06: case 0x0C: case 0x13: case 0x16:
        case 0x1E: case 0x30: case 0x31: case 0x80: case 0xA0:
            return true;
        default:
            return false;
    }
}

// A leaf element whose content may be empty (the string and bit-string
// forms; ASN1Encode itself refuses empty content).
HRESULT EncodeLeaf(BYTE bTag, const BYTE* pbPrefix, DWORD dwPrefixLength, const BYTE* pbContent,
                   DWORD dwContentLength, ByteBuffer& pbEncoded, DWORD& dwEncodedLength) {
    if (dwContentLength > 0xFFFFFFF0u - dwPrefixLength) return E_OUTOFMEMORY;
    DWORD dwInner = dwPrefixLength + dwContentLength;
    DWORD dwTotal = ElementSize(dwInner);
    if (!dwTotal) return E_OUTOFMEMORY;
    ByteBuffer buffer(new (std::nothrow) BYTE[dwTotal]);
    if (!buffer) return E_OUTOFMEMORY;
    BYTE* p = WriteHeader(buffer.get(), bTag, dwInner);
    if (dwPrefixLength) std::memcpy(p, pbPrefix, dwPrefixLength), p += dwPrefixLength;
    if (dwContentLength) std::memcpy(p, pbContent, dwContentLength);
    pbEncoded = std::move(buffer);
    dwEncodedLength = dwTotal;
    return VELA_OK;
}

// UTF-16 to UTF-8 with unpaired surrogates replaced by U+FFFD (the rule of
// the platforms' converters), so both platforms give the same bytes.
size_t UTF8Size(const WCHAR* pwsz, size_t cch) {
    size_t n = 0;
    for (size_t i = 0; i < cch; ++i) {
        unsigned c = pwsz[i];
        if (c < 0x80) n += 1;
        else if (c < 0x800) n += 2;
        else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < cch && pwsz[i + 1] >= 0xDC00 && pwsz[i + 1] <= 0xDFFF)
            n += 4, ++i;
        else n += 3;
    }
    return n;
}

BYTE* WriteUTF8(BYTE* p, const WCHAR* pwsz, size_t cch) {
    for (size_t i = 0; i < cch; ++i) {
        unsigned long c = pwsz[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < cch && pwsz[i + 1] >= 0xDC00 && pwsz[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (pwsz[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            *p++ = (BYTE)c;
        } else if (c < 0x800) {
            *p++ = (BYTE)(0xC0 | (c >> 6));
            *p++ = (BYTE)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *p++ = (BYTE)(0xE0 | (c >> 12));
            *p++ = (BYTE)(0x80 | ((c >> 6) & 0x3F));
            *p++ = (BYTE)(0x80 | (c & 0x3F));
        } else {
            *p++ = (BYTE)(0xF0 | (c >> 18));
            *p++ = (BYTE)(0x80 | ((c >> 12) & 0x3F));
            *p++ = (BYTE)(0x80 | ((c >> 6) & 0x3F));
            *p++ = (BYTE)(0x80 | (c & 0x3F));
        }
    }
    return p;
}

// Concatenation of encoded parts wrapped in one constructed element.
struct Part {
    const BYTE* pb;
    DWORD cb;
};

HRESULT WrapParts(BYTE bTag, std::initializer_list<Part> parts, ByteBuffer& pbEncoded, DWORD& dwEncodedLength) {
    ULONGLONG qwInner = 0;
    for (const Part& part : parts) qwInner += part.cb;
    if (qwInner == 0) return E_FAIL;
    if (qwInner > 0xFFFFFFF0ull) return E_OUTOFMEMORY;
    DWORD dwTotal = ElementSize((DWORD)qwInner);
    if (!dwTotal) return E_OUTOFMEMORY;
    ByteBuffer buffer(new (std::nothrow) BYTE[dwTotal]);
    if (!buffer) return E_OUTOFMEMORY;
    BYTE* p = WriteHeader(buffer.get(), bTag, (DWORD)qwInner);
    for (const Part& part : parts)
        if (part.cb) std::memcpy(p, part.pb, part.cb), p += part.cb;
    pbEncoded = std::move(buffer);
    dwEncodedLength = dwTotal;
    return VELA_OK;
}

// The character sets of the two 8-bit string types (X.680): a value with
// any other byte would be a string of that type that no reader accepts.
bool IsPrintableStringByte(BYTE c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return c && std::strchr(" '()+,-./:=?", c);
}

bool IsIA5StringByte(BYTE c) { return c < 0x80; }

bool AllBytes(const BYTE* pb, DWORD cb, bool (*isMember)(BYTE)) {
    for (DWORD i = 0; i < cb; ++i)
        if (!isMember(pb[i])) return false;
    return true;
}

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

WCHAR FoldAscii(WCHAR c) { return (c >= 'A' && c <= 'Z') ? (WCHAR)(c + ('a' - 'A')) : c; }

bool EqualsNoCase(const WString& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (FoldAscii(a[i]) != FoldAscii((WCHAR)(unsigned char)b[i])) return false;
    return true;
}

}  // namespace

// ---- encoder primitives ------------------------------------------------------

HRESULT CalculateASNValueLength(DWORD dwLength, ByteBuffer& pbOctets, DWORD& dwOctetCount) {
    VELA_TRACE_SCOPE("CalculateASNValueLength");
    if (dwLength == 0) {
        VELA_LOG_FAILURE(E_FAIL, "Check length", "0 == dwLength");
        return E_FAIL;
    }
    DWORD n = LengthOctetCount(dwLength);
    ByteBuffer buffer(new (std::nothrow) BYTE[n]);
    if (!buffer) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New Memory", "NULL == pbOctets");
        return E_OUTOFMEMORY;
    }
    WriteLength(buffer.get(), dwLength);
    pbOctets = std::move(buffer);
    dwOctetCount = n;
    return VELA_OK;
}

HRESULT ASN1Encode(BYTE bTag, const BYTE* pbContent, DWORD dwContentLength, ByteBuffer& pbEncoded,
                   DWORD& dwEncodedLength) {
    VELA_TRACE_SCOPE("ASN1Encode");
    if (!IsEncodableTag(bTag)) {
        VELA_LOG_FAILURE(E_FAIL, "Check tag", "unsupported tag");
        TraceInfo(TEXT("ASN1Encode: rejected tag 0x%02x"), (DWORD)bTag);
        return E_FAIL;
    }
    if (dwContentLength == 0) {
        VELA_LOG_FAILURE(E_FAIL, "CalculateASNValueLength", "0 == dwContentLength");
        return E_FAIL;
    }
    if (!pbContent) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameter", "NULL == pbContent");
        return E_INVALIDARG;
    }
    HRESULT hr = EncodeLeaf(bTag, nullptr, 0, pbContent, dwContentLength, pbEncoded, dwEncodedLength);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "New Memory", "NULL == pbEncoded");
    return hr;
}

HRESULT EncodeObjectIdentifier(const char* pszOID, ByteBuffer& pbContent, DWORD& dwContentLength) {
    VELA_TRACE_SCOPE("EncodeObjectIdentifier");
    if (!pszOID || !*pszOID) {
        VELA_LOG_FAILURE(E_FAIL, "Check OID", "empty object identifier");
        return E_FAIL;
    }
    // Arcs in order; the first two are combined as 40 * first + second.
    std::vector<ULONGLONG> arcs;
    const char* p = pszOID;
    for (;;) {
        if (!IsAsciiDigit(*p)) {
            VELA_LOG_FAILURE(E_FAIL, "Check OID", "arc is not a decimal number");
            return E_FAIL;
        }
        ULONGLONG arc = 0;
        while (IsAsciiDigit(*p)) {
            ULONGLONG digit = (ULONGLONG)(*p - '0');
            if (arc > (0xFFFFFFFFFFFFFFFFull - digit) / 10) {
                VELA_LOG_FAILURE(E_FAIL, "Check OID", "arc too large");
                return E_FAIL;
            }
            arc = arc * 10 + digit;
            ++p;
        }
        arcs.push_back(arc);
        if (*p == 0) break;
        if (*p != '.') {
            VELA_LOG_FAILURE(E_FAIL, "Check OID", "unexpected character");
            return E_FAIL;
        }
        ++p;
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40) ||
        arcs[1] > 0xFFFFFFFFFFFFFFFFull - 80) {
        VELA_LOG_FAILURE(E_FAIL, "Check OID", "invalid first arcs");
        return E_FAIL;
    }
    arcs[1] += 40 * arcs[0];

    BYTE content[512];
    DWORD n = 0;
    for (size_t i = 1; i < arcs.size(); ++i) {
        BYTE groups[10];
        int count = 0;
        ULONGLONG v = arcs[i];
        do {
            groups[count++] = (BYTE)(v & 0x7F);
            v >>= 7;
        } while (v);
        if (n + count > sizeof content) {
            VELA_LOG_FAILURE(E_FAIL, "Check OID", "object identifier too long");
            return E_FAIL;
        }
        while (count > 1) content[n++] = (BYTE)(0x80 | groups[--count]);
        content[n++] = groups[0];
    }
    ByteBuffer buffer(new (std::nothrow) BYTE[n]);
    if (!buffer) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New Memory", "NULL == pbContent");
        return E_OUTOFMEMORY;
    }
    std::memcpy(buffer.get(), content, n);
    pbContent = std::move(buffer);
    dwContentLength = n;
    return VELA_OK;
}

HRESULT ComposeAnyString(DWORD dwLength, DWORD dwValueType, const BYTE* pbValue, ByteBuffer& pbEncoded,
                         DWORD& dwEncodedLength) {
    VELA_TRACE_SCOPE("ComposeAnyString");
    if (dwLength && !pbValue) {
        VELA_LOG_FAILURE(E_INVALIDARG, "EncodeObject-PKCS_ATTRIBUTE", "NULL == pbValue");
        return E_INVALIDARG;
    }
    HRESULT hr = VELA_OK;
    switch (dwValueType) {
        case VELA_VALUE_OCTET_STRING:
            hr = EncodeLeaf(0x04, nullptr, 0, pbValue, dwLength, pbEncoded, dwEncodedLength);
            break;
        case VELA_VALUE_PRINTABLE_STRING:
            if (!AllBytes(pbValue, dwLength, IsPrintableStringByte)) {
                VELA_LOG_FAILURE(NTE_BAD_DATA, "Check value(PrintableString)", "character outside PrintableString");
                return NTE_BAD_DATA;
            }
            hr = EncodeLeaf(0x13, nullptr, 0, pbValue, dwLength, pbEncoded, dwEncodedLength);
            break;
        case VELA_VALUE_IA5_STRING:
            if (!AllBytes(pbValue, dwLength, IsIA5StringByte)) {
                VELA_LOG_FAILURE(NTE_BAD_DATA, "Check value(IA5String)", "character outside IA5String");
                return NTE_BAD_DATA;
            }
            hr = EncodeLeaf(0x16, nullptr, 0, pbValue, dwLength, pbEncoded, dwEncodedLength);
            break;
        case VELA_VALUE_UTF8_STRING: {
            const WCHAR* pwsz = reinterpret_cast<const WCHAR*>(pbValue);
            size_t cch = dwLength / sizeof(WCHAR);
            size_t cbUTF8 = UTF8Size(pwsz, cch);
            DWORD dwTotal = cbUTF8 > 0xFFFFFFF0u ? 0 : ElementSize((DWORD)cbUTF8);
            if (!dwTotal) {
                hr = E_OUTOFMEMORY;
                break;
            }
            ByteBuffer buffer(new (std::nothrow) BYTE[dwTotal]);
            if (!buffer) {
                hr = E_OUTOFMEMORY;
                break;
            }
            WriteUTF8(WriteHeader(buffer.get(), 0x0C, (DWORD)cbUTF8), pwsz, cch);
            pbEncoded = std::move(buffer);
            dwEncodedLength = dwTotal;
            break;
        }
        default:
            hr = E_INVALIDARG;
            break;
    }
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "EncodeObject-PKCS_ATTRIBUTE", "FAILED(hResult)");
    return hr;
}

HRESULT ComposeBITString(DWORD dwLength, const BYTE* pbData, ByteBuffer& pbEncoded, DWORD& dwEncodedLength) {
    VELA_TRACE_SCOPE("ComposeBITString");
    static const BYTE kNoUnusedBits = 0x00;
    HRESULT hr = (dwLength && !pbData) ? E_INVALIDARG
                                       : EncodeLeaf(0x03, &kNoUnusedBits, 1, pbData, dwLength, pbEncoded,
                                                    dwEncodedLength);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "EncodeObject", "FAILED(hResult)");
    return hr;
}

HRESULT ComposeStandardAttribute(const char* pszOID, const BYTE* pbValue, DWORD dwValueLength,
                                 ByteBuffer& pbEncoded, DWORD& dwEncodedLength) {
    VELA_TRACE_SCOPE("ComposeStandardAttribute");
    ByteBuffer oid;
    DWORD cbOid = 0;
    HRESULT hr = EncodeObjectIdentifier(pszOID, oid, cbOid);
    if (SUCCEEDED(hr) && (!pbValue || !dwValueLength)) hr = E_INVALIDARG;
    ByteBuffer oidElement, set;
    DWORD cbOidElement = 0, cbSet = 0;
    if (SUCCEEDED(hr)) hr = WrapParts(0x06, {{oid.get(), cbOid}}, oidElement, cbOidElement);
    if (SUCCEEDED(hr)) hr = WrapParts(0x31, {{pbValue, dwValueLength}}, set, cbSet);
    if (SUCCEEDED(hr))
        hr = WrapParts(0x30, {{oidElement.get(), cbOidElement}, {set.get(), cbSet}}, pbEncoded, dwEncodedLength);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "EncodeObject-PKCS_ATTRIBUTE", "FAILED(hResult)");
    return hr;
}

HRESULT ComposeSpecialAttribute(const char* pszOID, const BYTE* pbValue, DWORD dwValueLength,
                                ByteBuffer& pbEncoded, DWORD& dwEncodedLength) {
    VELA_TRACE_SCOPE("ComposeSpecialAttribute");
    ByteBuffer oid;
    DWORD cbOid = 0;
    HRESULT hr = EncodeObjectIdentifier(pszOID, oid, cbOid);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ASN1Encode-ObjectID", "FAILED(hResult)");
        return hr;
    }
    DWORD cbOidElement = ElementSize(cbOid);

    if (!pbValue) {
        // Algorithm-identifier form: SEQUENCE { OID, NULL }.
        static const BYTE kNull[2] = {0x05, 0x00};
        ByteBuffer oidElement;
        DWORD cb = 0;
        hr = WrapParts(0x06, {{oid.get(), cbOid}}, oidElement, cb);
        if (SUCCEEDED(hr)) hr = WrapParts(0x30, {{oidElement.get(), cb}, {kNull, 2}}, pbEncoded, dwEncodedLength);
        if (FAILED(hr)) VELA_LOG_FAILURE(hr, "EncodeObject-PKCS_ATTRIBUTE", "FAILED(hResult)");
        return hr;
    }

    // The value is one complete element; it is read through the decoder
    // and written again with a minimal length. Its content must not be
    // empty and its tag must be one the encoder accepts.
    ASN1NodePtr root;
    HRESULT hrDecode = DecodeASN1Memory(root, pbValue, dwValueLength);
    if (hrDecode != 0) {
        VELA_LOG_FAILURE(VELA_E_ASN1_DECODE, "DecodeASN1Memory", "0 != hResult");
        return VELA_E_ASN1_DECODE;
    }
    if (!IsEncodableTag(root->bTag) || root->dwLength == 0) {
        VELA_LOG_FAILURE(E_FAIL, "ASN1Encode-AnyString", "FAILED(hResult)");
        return E_FAIL;
    }
    DWORD cbValueElement = ElementSize(root->dwLength);
    ULONGLONG qwInner = (ULONGLONG)cbOidElement + cbValueElement;
    if (!cbValueElement || qwInner > 0xFFFFFFF0ull) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "ASN1Encode-Sequence", "FAILED(hResult)");
        return E_OUTOFMEMORY;
    }
    DWORD dwTotal = ElementSize((DWORD)qwInner);
    ByteBuffer buffer(dwTotal ? new (std::nothrow) BYTE[dwTotal] : nullptr);
    if (!buffer) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "ASN1Encode-Sequence", "FAILED(hResult)");
        return E_OUTOFMEMORY;
    }
    BYTE* p = WriteHeader(buffer.get(), 0x30, (DWORD)qwInner);
    p = WriteHeader(p, 0x06, cbOid);
    std::memcpy(p, oid.get(), cbOid);
    p += cbOid;
    p = WriteHeader(p, root->bTag, root->dwLength);
    std::memcpy(p, root->Content(), root->dwLength);
    pbEncoded = std::move(buffer);
    dwEncodedLength = dwTotal;
    return VELA_OK;
}

HRESULT SM2EncodeRawSignature(ByteBuffer& pbDer, DWORD& dwDerLength, const BYTE* pbRaw, DWORD dwRawLength) {
    VELA_TRACE_SCOPE("SM2EncodeRawSignature");
    if (!pbRaw || dwRawLength != VELA_SM2_RAW_SIGNATURE_SIZE) {
        HRESULT hr = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        VELA_LOG_FAILURE(hr, "Check SM2 raw signature size", "64 != dwRawLength");
        return hr;
    }
    // Each half as a minimal DER INTEGER: leading zero octets dropped while
    // the next octet keeps the value positive, 00 prefixed when the top bit
    // of the first remaining octet is set.
    BYTE integers[2][2 + 33];
    DWORD sizes[2];
    for (int k = 0; k < 2; ++k) {
        const BYTE* half = pbRaw + 32 * k;
        DWORD start = 0;
        while (start < 31 && half[start] == 0 && half[start + 1] < 0x80) ++start;
        bool pad = half[start] >= 0x80;
        DWORD cbContent = 32 - start + (pad ? 1 : 0);
        BYTE* p = integers[k];
        *p++ = 0x02;
        *p++ = (BYTE)cbContent;
        if (pad) *p++ = 0x00;
        std::memcpy(p, half + start, 32 - start);
        sizes[k] = 2 + cbContent;
    }
    HRESULT hr = WrapParts(0x30, {{integers[0], sizes[0]}, {integers[1], sizes[1]}}, pbDer, dwDerLength);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ASN1Encode(5)", "FAILED(hResult)");
    return hr;
}

// ---- subject DN ------------------------------------------------------------------

HRESULT SplidWstr(const WString& wstrText, WCHAR wcSeparator, std::vector<WString>& items) {
    if (wstrText.empty()) return VELA_OK;
    size_t start = 0;
    for (;;) {
        size_t pos = wstrText.find(wcSeparator, start);
        if (pos == WString::npos) {
            items.emplace_back(wstrText, start);
            return VELA_OK;
        }
        items.emplace_back(wstrText, start, pos - start);
        start = pos + 1;
    }
}

WString ReplaceWchar(const WString& wstrText, WCHAR wcRemove) {
    WString result;
    result.reserve(wstrText.size());
    for (WCHAR c : wstrText)
        if (c != wcRemove) result.push_back(c);
    return result;
}

std::string GetObjectID(const WString& wstrName) {
    static const struct {
        const char* name;
        const char* oid;
    } kNames[] = {
        {"CN", "2.5.4.3"},
        {"SERIALNUMBER", "2.5.4.5"},
        {"C", "2.5.4.6"},
        {"L", "2.5.4.7"},
        {"S", "2.5.4.8"},
        {"ST", "2.5.4.8"},
        {"STREET", "2.5.4.9"},
        {"O", "2.5.4.10"},
        {"OU", "2.5.4.11"},
        {"businessCategory", "2.5.4.15"},
        {"PostalCode", "2.5.4.17"},
        {"E", "1.2.840.113549.1.9.1"},
        {"Email", "1.2.840.113549.1.9.1"},
        {"jurisdictionOfIncorporationLocalityName", "1.3.6.1.4.1.311.60.2.1.1"},
        {"jurisdictionOfIncorporationStateOrProvinceName", "1.3.6.1.4.1.311.60.2.1.2"},
        {"jurisdictionOfIncorporationCountryName", "1.3.6.1.4.1.311.60.2.1.3"},
    };
    for (const auto& entry : kNames)
        if (EqualsNoCase(wstrName, entry.name)) return entry.oid;
    VELA_TRACE_SCOPE("GetObjectID");
    WString wstrLine = TEXT("unknown subject attribute name: ") + wstrName;
    TraceResult(E_FAIL, wstrLine.c_str());
    return std::string();
}

HRESULT ParseSubject(const WCHAR* pwszSubject, std::vector<SubjectAttribute>& attributes) {
    VELA_TRACE_SCOPE("ParseSubject");
    std::vector<WString> items;
    SplidWstr(ToWString(pwszSubject), ',', items);
    std::vector<SubjectAttribute> parsed;
    parsed.reserve(items.size());
    for (const WString& item : items) {
        std::vector<WString> pair;
        SplidWstr(item, '=', pair);
        if (pair.size() != 2) {
            VELA_LOG_FAILURE(NTE_BAD_DATA, "SplidWstr-Pair", "2 != vecPair.size()");
            return NTE_BAD_DATA;
        }
        parsed.push_back({GetObjectID(ReplaceWchar(pair[0], ' ')), std::move(pair[1])});
    }
    attributes = std::move(parsed);
    return VELA_OK;
}

HRESULT ComposeSubjectChild(const SubjectAttribute& attribute, ByteBuffer& pbRDN, DWORD& dwRDNLength) {
    VELA_TRACE_SCOPE("ComposeSubjectChild");
    const std::string& oid = attribute.strOID;
    ByteBuffer value;
    DWORD cbValue = 0;
    HRESULT hr = VELA_OK;
    if (oid == "2.5.4.6" || oid == "2.5.4.5" || oid == "1.3.6.1.4.1.311.60.2.1.3" || oid == "1.2.840.113549.1.9.1") {
        // PrintableString or IA5String of the value's UTF-8 bytes.
        bool email = oid == "1.2.840.113549.1.9.1";
        const WString& text = attribute.wstrValue;
        size_t cb = UTF8Size(text.data(), text.size());
        std::string utf8(cb, '\0');
        WriteUTF8(reinterpret_cast<BYTE*>(utf8.data()), text.data(), text.size());
        hr = ComposeAnyString((DWORD)cb, email ? VELA_VALUE_IA5_STRING : VELA_VALUE_PRINTABLE_STRING,
                              reinterpret_cast<const BYTE*>(utf8.data()), value, cbValue);
        if (FAILED(hr)) {
            if (email) VELA_LOG_FAILURE(hr, "ComposeAnyString(Email)", "FAILED(hResult)");
            else VELA_LOG_FAILURE(hr, "ComposeAnyString(CountryName)", "FAILED(hResult)");
            return hr;
        }
    } else {
        hr = ComposeAnyString((DWORD)(attribute.wstrValue.size() * sizeof(WCHAR)), VELA_VALUE_UTF8_STRING,
                              reinterpret_cast<const BYTE*>(attribute.wstrValue.data()), value, cbValue);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "ComposeAnyString", "FAILED(hResult)");
            return hr;
        }
    }
    ByteBuffer sequence;
    DWORD cbSequence = 0;
    hr = ComposeSpecialAttribute(oid.c_str(), value.get(), cbValue, sequence, cbSequence);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeSpecialAttribute", "FAILED(hResult)");
        return hr;
    }
    hr = ASN1Encode(0x31, sequence.get(), cbSequence, pbRDN, dwRDNLength);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ASN1Encode", "FAILED(hResult)");
    return hr;
}

HRESULT ComposeSubject(const WCHAR* pwszSubject, ByteBuffer& pbName, DWORD& dwNameLength) {
    VELA_TRACE_SCOPE("ComposeSubject");
    std::vector<SubjectAttribute> attributes;
    HRESULT hr = ParseSubject(pwszSubject, attributes);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ParseSubject", "FAILED(hResult)");
        return hr;
    }
    // The RDN written last in the text comes first in the Name.
    std::vector<BYTE> rdns;
    for (size_t i = attributes.size(); i-- > 0;) {
        ByteBuffer rdn;
        DWORD cbRDN = 0;
        hr = ComposeSubjectChild(attributes[i], rdn, cbRDN);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "ComposeSubjectChild", "FAILED(hResult)");
            return hr;
        }
        rdns.insert(rdns.end(), rdn.get(), rdn.get() + cbRDN);
    }
    hr = ASN1Encode(0x30, rdns.data(), (DWORD)rdns.size(), pbName, dwNameLength);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ASN1Encode", "FAILED(hResult)");
    return hr;
}

// ---- request composition -------------------------------------------------------------

HRESULT ConvertSM2BlobToPoint(const BYTE* pbBlob, DWORD dwBlobLength, ByteBuffer& pbPoint, DWORD& dwPointLength) {
    VELA_TRACE_SCOPE("ConvertSM2BlobToPoint");
    if (!pbBlob || dwBlobLength < VELA_SM2_PUBLIC_KEY_BLOB_SIZE) {
        VELA_LOG_FAILURE(NTE_BAD_KEY, "Check SM2 public key blob", "dwBlobLength < 140");
        return NTE_BAD_KEY;
    }
    DWORD dwBits = 0;
    std::memcpy(&dwBits, pbBlob + 8, 4);
    TraceInfo(TEXT("SM2 public key: %u bits"), dwBits);
    ByteBuffer point(new (std::nothrow) BYTE[65]);
    if (!point) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New Memory", "NULL == pbPoint");
        return E_OUTOFMEMORY;
    }
    point[0] = 0x04;
    for (int i = 0; i < 32; ++i) {
        point[1 + i] = pbBlob[12 + 31 - i];
        point[33 + i] = pbBlob[76 + 31 - i];
    }
    pbPoint = std::move(point);
    dwPointLength = 65;
    return VELA_OK;
}

HRESULT ConvertSM2BlobToTemporaryKey(const BYTE* pbBlob, DWORD dwBlobLength, ByteBuffer& pbKey,
                                     DWORD& dwKeyLength) {
    VELA_TRACE_SCOPE("ConvertSM2BlobToTemporaryKey");
    if (!pbBlob || dwBlobLength < VELA_SM2_PUBLIC_KEY_BLOB_SIZE) {
        VELA_LOG_FAILURE(NTE_BAD_KEY, "Check SM2 public key blob", "dwBlobLength < 140");
        return NTE_BAD_KEY;
    }
    ByteBuffer key(new (std::nothrow) BYTE[VELA_SM2_TEMPORARY_KEY_SIZE]);
    if (!key) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New Memory", "NULL == pbKey");
        return E_OUTOFMEMORY;
    }
    static const BYTE kHeader[8] = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    std::memcpy(key.get(), kHeader, 8);
    for (int field = 0; field < 2; ++field) {
        const BYTE* src = pbBlob + 12 + 64 * field;
        BYTE* dst = key.get() + 8 + 64 * field;
        for (int i = 0; i < 32; ++i) dst[i] = src[31 - i];
        std::memcpy(dst + 32, src + 32, 32);
    }
    pbKey = std::move(key);
    dwKeyLength = VELA_SM2_TEMPORARY_KEY_SIZE;
    return VELA_OK;
}

HRESULT ComposeSignPublicKeyData(const char* pszKeyAlgOID, const char* pszParamsOID, const BYTE* pbPublicKey,
                                 DWORD dwPublicKeyLength, DWORD dwSM2, ByteBuffer& pbKeyInfo,
                                 DWORD& dwKeyInfoLength) {
    VELA_TRACE_SCOPE("ComposeSignPublicKeyData");
    ByteBuffer algorithm;
    DWORD cbAlgorithm = 0;
    HRESULT hr = VELA_OK;
    if (dwSM2) {
        ByteBuffer params;
        DWORD cbParams = 0;
        hr = ComposeSpecialAttribute(pszParamsOID, nullptr, 0, params, cbParams);
        if (FAILED(hr) || cbParams < 6) {
            if (SUCCEEDED(hr)) hr = E_FAIL;
            VELA_LOG_FAILURE(hr, "ComposeSpecialAttribute(SM2)", "FAILED(hResult)");
            return hr;
        }
        // Keep the bare OID element: drop the SEQUENCE header and the NULL.
        hr = ComposeSpecialAttribute(pszKeyAlgOID, params.get() + 2, cbParams - 4, algorithm, cbAlgorithm);
    } else {
        hr = ComposeSpecialAttribute(pszKeyAlgOID, nullptr, 0, algorithm, cbAlgorithm);
    }
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeSpecialAttribute", "FAILED(hResult)");
        return hr;
    }
    ByteBuffer bits;
    DWORD cbBits = 0;
    hr = ComposeBITString(dwPublicKeyLength, pbPublicKey, bits, cbBits);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeBITString", "FAILED(hResult)");
        return hr;
    }
    hr = WrapParts(0x30, {{algorithm.get(), cbAlgorithm}, {bits.get(), cbBits}}, pbKeyInfo, dwKeyInfoLength);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ASN1Encode", "FAILED(hResult)");
    return hr;
}

HRESULT ComposeAttributes(const BYTE* pbTempPublicKey, DWORD dwTempPublicKeyLength, ByteBuffer& pbAttributes,
                          DWORD& dwAttributesLength) {
    VELA_TRACE_SCOPE("ComposeAttributes");
    static const char kChallengePassword[] = "520913";
    ByteBuffer password, passwordAttribute, keyString, keySequence, keyOctets, keyAttribute;
    DWORD cbPassword = 0, cbPasswordAttribute = 0, cbKeyString = 0, cbKeySequence = 0, cbKeyOctets = 0,
          cbKeyAttribute = 0;
    HRESULT hr = ComposeAnyString(6, VELA_VALUE_PRINTABLE_STRING, reinterpret_cast<const BYTE*>(kChallengePassword),
                                  password, cbPassword);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeAnyString", "FAILED(hResult)");
        return hr;
    }
    hr = ComposeSpecialAttribute(VELA_OID_CHALLENGE_PASSWORD, password.get(), cbPassword, passwordAttribute,
                                 cbPasswordAttribute);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeSpecialAttribute", "FAILED(hResult)");
        return hr;
    }
    hr = ComposeAnyString(dwTempPublicKeyLength, VELA_VALUE_OCTET_STRING, pbTempPublicKey, keyString, cbKeyString);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeAnyString", "FAILED(hResult)");
        return hr;
    }
    static const BYTE kVersionOne[3] = {0x02, 0x01, 0x01};
    hr = WrapParts(0x30, {{kVersionOne, 3}, {keyString.get(), cbKeyString}}, keySequence, cbKeySequence);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ASN1Encode", "FAILED(hResult)");
        return hr;
    }
    hr = ComposeAnyString(cbKeySequence, VELA_VALUE_OCTET_STRING, keySequence.get(), keyOctets, cbKeyOctets);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeAnyString", "FAILED(hResult)");
        return hr;
    }
    hr = ComposeSpecialAttribute(VELA_OID_TEMPORARY_PUBLIC_KEY, keyOctets.get(), cbKeyOctets, keyAttribute,
                                 cbKeyAttribute);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeSpecialAttribute", "FAILED(hResult)");
        return hr;
    }
    hr = WrapParts(0xA0, {{passwordAttribute.get(), cbPasswordAttribute}, {keyAttribute.get(), cbKeyAttribute}},
                   pbAttributes, dwAttributesLength);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ASN1Encode", "FAILED(hResult)");
    return hr;
}

HRESULT ComposeCertRequestInfo(const WCHAR* pwszSubject, const char* pszKeyAlgOID, const char* pszParamsOID,
                               const BYTE* pbPublicKey, DWORD dwPublicKeyLength, const BYTE* pbTempPublicKey,
                               DWORD dwTempPublicKeyLength, DWORD dwSM2, ByteBuffer& pbInfo,
                               DWORD& dwInfoLength) {
    VELA_TRACE_SCOPE("ComposeCertRequestInfo");
    ByteBuffer name, keyInfo, attributes;
    DWORD cbName = 0, cbKeyInfo = 0, cbAttributes = 0;
    HRESULT hr = ComposeSubject(pwszSubject, name, cbName);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeSubject", "FAILED(hResult)");
        return hr;
    }
    hr = ComposeSignPublicKeyData(pszKeyAlgOID, pszParamsOID, pbPublicKey, dwPublicKeyLength, dwSM2, keyInfo,
                                  cbKeyInfo);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "ComposeSignPublicKeyData", "FAILED(hResult)");
        return hr;
    }
    if (pbTempPublicKey) {
        hr = ComposeAttributes(pbTempPublicKey, dwTempPublicKeyLength, attributes, cbAttributes);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "ComposeAttributes", "FAILED(hResult)");
            return hr;
        }
    }
    static const BYTE kVersionZero[3] = {0x02, 0x01, 0x00};
    hr = WrapParts(0x30,
                   {{kVersionZero, 3}, {name.get(), cbName}, {keyInfo.get(), cbKeyInfo},
                    {attributes.get(), cbAttributes}},
                   pbInfo, dwInfoLength);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ASN1Encode", "FAILED(hResult)");
    return hr;
}

HRESULT ComposeSignAlgorithm(const char* pszSignAlgOID, ByteBuffer& pbAlgorithm, DWORD& dwAlgorithmLength) {
    VELA_TRACE_SCOPE("ComposeSignAlgorithm");
    HRESULT hr = ComposeSpecialAttribute(pszSignAlgOID, nullptr, 0, pbAlgorithm, dwAlgorithmLength);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ComposeSpecialAttribute", "FAILED(hResult)");
    return hr;
}

HRESULT ComposeSignature(const BYTE* pbSignature, DWORD dwSignatureLength, DWORD dwSM2, ByteBuffer& pbBitString,
                         DWORD& dwBitStringLength) {
    VELA_TRACE_SCOPE("ComposeSignature");
    HRESULT hr = VELA_OK;
    if (dwSM2) {
        ByteBuffer der;
        DWORD cbDer = 0;
        hr = SM2EncodeRawSignature(der, cbDer, pbSignature, dwSignatureLength);
        if (FAILED(hr)) {
            VELA_LOG_FAILURE(hr, "SM2EncodeRawSignature", "FAILED(hResult)");
            return hr;
        }
        hr = ComposeBITString(cbDer, der.get(), pbBitString, dwBitStringLength);
        if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ComposeBITString(SM2)", "FAILED(hResult)");
        return hr;
    }
    hr = ComposeBITString(dwSignatureLength, pbSignature, pbBitString, dwBitStringLength);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ComposeBITString(RSA)", "FAILED(hResult)");
    return hr;
}

HRESULT ComposeCertRequest(const BYTE* pbInfo, DWORD dwInfoLength, const BYTE* pbAlgorithm, DWORD dwAlgorithmLength,
                           const BYTE* pbSignature, DWORD dwSignatureLength, ByteBuffer& pbRequest,
                           DWORD& dwRequestLength) {
    VELA_TRACE_SCOPE("ComposeCertRequest");
    HRESULT hr = WrapParts(
        0x30, {{pbInfo, dwInfoLength}, {pbAlgorithm, dwAlgorithmLength}, {pbSignature, dwSignatureLength}},
        pbRequest, dwRequestLength);
    if (FAILED(hr)) VELA_LOG_FAILURE(hr, "ASN1Encode", "FAILED(hResult)");
    return hr;
}

HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(DWORD& dwWrappedLength, const char* pszText,
                                                      DWORD dwTextLength, CharBuffer& pszWrapped) {
    VELA_TRACE_SCOPE("TransformBase64EncodedDatatoHoldCRLFPer64Chars");
    if (!pszText && dwTextLength) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameter", "NULL == pszText");
        return E_INVALIDARG;
    }
    DWORD dwChars = 0;
    for (DWORD i = 0; i < dwTextLength; ++i)
        if (pszText[i] != '\r' && pszText[i] != '\n') ++dwChars;
    DWORD dwBreaks = dwChars ? (dwChars - 1) / 64 : 0;
    ULONGLONG qwSize = (ULONGLONG)dwChars + 2ull * dwBreaks;
    CharBuffer wrapped(qwSize < 0xFFFFFFFFull ? new (std::nothrow) char[qwSize + 1] : nullptr);
    if (!wrapped) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "new memory failed.", "NULL == pszWrapped");
        return E_OUTOFMEMORY;
    }
    char* p = wrapped.get();
    DWORD dwWritten = 0;
    for (DWORD i = 0; i < dwTextLength; ++i) {
        char c = pszText[i];
        if (c == '\r' || c == '\n') continue;
        if (dwWritten && dwWritten % 64 == 0) *p++ = '\r', *p++ = '\n';
        *p++ = c;
        ++dwWritten;
    }
    *p = 0;
    pszWrapped = std::move(wrapped);
    dwWrappedLength = (DWORD)qwSize;
    return VELA_OK;
}
