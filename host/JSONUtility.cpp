#include "JSONUtility.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "VelaTrace.h"

namespace {

CharBuffer CopyText(const char* text) {
    size_t length = std::strlen(text);
    CharBuffer copy = AllocZeroed<char>(length + 1);
    if (copy) std::memcpy(copy.get(), text, length);
    return copy;
}

// Adds item under name; the item is released when it cannot be added.
bool AddMember(cJSON* object, const char* name, cJSON* item) {
    if (!item) return false;
    if (!cJSON_AddItemToObject(object, name, item)) {
        cJSON_Delete(item);
        return false;
    }
    return true;
}

// The element nIndex of a parameter list, after the count rule shared by
// both readers.
HRESULT GetListElement(const char* function, const cJSON* pJSONArgs, int nIndex, const cJSON*& pJSONItem) {
    if (!pJSONArgs) {
        VELA_HOST_FAILURE(ERROR_INVALID_PARAMETER, function, "Check parameter(pJSONArgs)", "NULL == pJSONArgs");
        return ERROR_INVALID_PARAMETER;
    }
    int nCount = cJSON_GetArraySize(pJSONArgs);
    if (nIndex < 0 || 0 == nCount || nCount <= nIndex) {
        VELA_HOST_FAILURE(ERROR_INVALID_PARAMETER, function, "Check parameter(nIndex)",
                          "(0 == nCount || nCount <= nIndex)");
        return ERROR_INVALID_PARAMETER;
    }
    pJSONItem = cJSON_GetArrayItem(pJSONArgs, nIndex);
    if (!pJSONItem) {
        VELA_HOST_FAILURE(NTE_INTERNAL_ERROR, function, "cJSON_GetArrayItem", "NULL == pJSONItem");
        return NTE_INTERNAL_ERROR;
    }
    return VELA_OK;
}

// Whether a string of the JSON text holds the escape \u0000. The parsed
// strings are NUL-terminated, so such a string would be cut short without
// notice (a subject, container name or token other than the one sent).
bool HasEscapedNul(const char* text) {
    // Without the six characters anywhere there is nothing to look at
    // closer (the usual case; strstr scans far faster than the loop).
    if (!std::strstr(text, "\\u0000")) return false;
    bool inString = false;
    for (const char* p = text; *p; ++p) {
        if (!inString) {
            inString = *p == '"';
        } else if (*p == '"') {
            inString = false;
        } else if (*p == '\\') {
            if (std::strncmp(p + 1, "u0000", 5) == 0) return true;
            if (p[1]) ++p;
        }
    }
    return false;
}

// Whether the first JSON value of the text stays within the request bounds:
// containers nested at most JSON_MAX_REQUEST_DEPTH deep and at most
// JSON_MAX_REQUEST_VALUES values in all. Each value after the first opens a
// container or follows a comma, so those characters bound the count. The
// scan ends where the first container closes: text after it is ignored by
// the parser too. A text whose first value is no container is answered as
// no request whatever follows, so counting on there changes no answer.
// A text that is not JSON may pass; the parser refuses it.
bool WithinRequestBounds(const char* text, const char*& pszReason) {
    size_t nDepth = 0, nValues = 1;
    for (const char* p = text; *p; ++p) {
        switch (*p) {
        case '"':
            // Skip the string: to its closing quote, stepping over escapes.
            for (++p;;) {
                p += std::strcspn(p, "\"\\");
                if (*p != '\\') break;
                if (!*++p) break;
                ++p;
            }
            if (!*p) return true;
            break;
        case '[':
        case '{':
            if (++nDepth > JSON_MAX_REQUEST_DEPTH) {
                pszReason = "nDepth > JSON_MAX_REQUEST_DEPTH";
                return false;
            }
            [[fallthrough]];
        case ',':
            if (++nValues > JSON_MAX_REQUEST_VALUES) {
                pszReason = "nValues > JSON_MAX_REQUEST_VALUES";
                return false;
            }
            break;
        case ']':
        case '}':
            if (nDepth == 0 || --nDepth == 0) return true;
            break;
        default: break;
        }
    }
    return true;
}

}  // namespace

HRESULT ParseRequestMsgToJSON(JSONText& pszFunctionName, JSONPtr& pJSONParams, const char* pszRequestMsg,
                              JSONText& pszRandomId) {
    VELA_TRACE_SCOPE("ParseRequestMsgToJSON");
    static const char kFunction[] = "ParseRequestMsgToJSON";
    if (!pszRequestMsg || !*pszRequestMsg) {
        VELA_HOST_FAILURE(ERROR_INVALID_PARAMETER, kFunction, "Check parameter(pszRequestMsg)",
                          "NULL == pszRequestMsg || 0 == *pszRequestMsg");
        return ERROR_INVALID_PARAMETER;
    }
    if (HasEscapedNul(pszRequestMsg)) {
        VELA_HOST_FAILURE(VELA_E_JSON_REQUEST, kFunction, "Check text(\\u0000)", "NUL inside a string");
        return VELA_E_JSON_REQUEST;
    }
    // The parser builds a node for every value: a text of small values
    // would cost some sixty times its size before anything is checked.
    const char* pszReason = nullptr;
    if (!WithinRequestBounds(pszRequestMsg, pszReason)) {
        VELA_HOST_FAILURE(VELA_E_JSON_REQUEST, kFunction, "Check text(bounds)", pszReason);
        return VELA_E_JSON_REQUEST;
    }
    // Text after the first complete value is ignored (not null-terminated mode).
    JSONPtr pJsonRoot(cJSON_Parse(pszRequestMsg));
    if (!pJsonRoot) {
        VELA_HOST_FAILURE(VELA_E_JSON_REQUEST, kFunction, "cJSON_Parse", "NULL == pJsonRoot");
        return VELA_E_JSON_REQUEST;
    }
    // Member names match without regard to ASCII case; the first match wins.
    // A value that is not an object has no members.
    cJSON* pFunction = cJSON_IsObject(pJsonRoot.get()) ? cJSON_GetObjectItem(pJsonRoot.get(), "function") : nullptr;
    if (!pFunction) {
        VELA_HOST_FAILURE(VELA_E_JSON_REQUEST, kFunction, "cJSON_GetObjectItem(function)", "NULL == pFunction");
        return VELA_E_JSON_REQUEST;
    }
    const char* pszUTF8FuncName = cJSON_IsString(pFunction) ? pFunction->valuestring : nullptr;
    if (!pszUTF8FuncName) {
        VELA_HOST_FAILURE(VELA_E_JSON_REQUEST, kFunction, "cJSON_GetStringValue(function)",
                          "NULL == pszUTF8FuncName");
        return VELA_E_JSON_REQUEST;
    }
    const cJSON* pParamsArray = cJSON_GetObjectItem(pJsonRoot.get(), "params");
    if (!pParamsArray) {
        VELA_HOST_FAILURE(VELA_E_JSON_REQUEST, kFunction, "cJSON_GetObjectItem(params)", "NULL == pParamsArray");
        return VELA_E_JSON_REQUEST;
    }
    cJSON* pRandomId = cJSON_GetObjectItem(pJsonRoot.get(), "randomId");
    if (pRandomId && !(cJSON_IsString(pRandomId) && pRandomId->valuestring)) {
        VELA_HOST_FAILURE(VELA_E_JSON_REQUEST, kFunction, "cJSON_GetStringValue(randomId)", "NULL == pszUTF8RandomId");
        return VELA_E_JSON_REQUEST;
    }
    JSONPtr params(cJSON_Duplicate(pParamsArray, 1));
    if (!params) {
        VELA_HOST_FAILURE(VELA_E_JSON_REQUEST, kFunction, "cJSON_Duplicate(params)", "NULL == pJSONParams");
        return VELA_E_JSON_REQUEST;
    }
    // The strings are taken over from the parsed document instead of being
    // copied (a name may be as long as the request itself); the document
    // then no longer owns them.
    pszFunctionName.reset(pFunction->valuestring);
    pFunction->valuestring = nullptr;
    pszRandomId.reset(pRandomId ? pRandomId->valuestring : nullptr);
    if (pRandomId) pRandomId->valuestring = nullptr;
    pJSONParams = std::move(params);
    VELA_HOST_SUCCESS(kFunction, "ParseRequestMsgToJSON");
    return VELA_OK;
}

HRESULT ConverJSONArrayItemtoNULLEndString(const cJSON* pJSONArgs, int nIndex, CharBuffer& pszNULLEndString) {
    VELA_TRACE_SCOPE("ConverJSONArrayItemtoNULLEndString");
    static const char kFunction[] = "ConverJSONArrayItemtoNULLEndString";
    const cJSON* pJSONItem = nullptr;
    HRESULT nResult = GetListElement(kFunction, pJSONArgs, nIndex, pJSONItem);
    if (nResult != VELA_OK) return nResult;

    const char* pszJSONItem = nullptr;
    if (cJSON_IsObject(pJSONItem)) {
        // An object without "param" is a value of the wrong type, never read.
        const cJSON* pParam = cJSON_GetObjectItem(pJSONItem, "param");
        if (!cJSON_IsString(pParam)) {
            VELA_HOST_FAILURE(VELA_E_JSON_PARAM_TYPE, kFunction, "Check type(param)", "cJSON_String != nItemType");
            return VELA_E_JSON_PARAM_TYPE;
        }
        pszJSONItem = pParam->valuestring;
        if (!pszJSONItem) {
            VELA_HOST_FAILURE(VELA_E_JSON_PARAM_TYPE, kFunction, "Check value(param)", "NULL == pszJSONItem");
            return VELA_E_JSON_PARAM_TYPE;
        }
    } else {
        if (!cJSON_IsString(pJSONItem) || !pJSONItem->valuestring) {
            VELA_HOST_FAILURE(VELA_E_JSON_PARAM_TYPE, kFunction, "Check type(item)",
                              "cJSON_String != pJSONItem->type");
            return VELA_E_JSON_PARAM_TYPE;
        }
        pszJSONItem = pJSONItem->valuestring;
    }
    CharBuffer copy = CopyText(pszJSONItem);
    if (!copy) {
        VELA_HOST_FAILURE(-1, kFunction, "New memory", "!pszNULLEndString");
        return -1;
    }
    pszNULLEndString = std::move(copy);
    VELA_HOST_SUCCESS(kFunction, "ConverJSONArrayItemtoNULLEndString");
    return VELA_OK;
}

HRESULT ConverJSONArrayItemtoint(const cJSON* pJSONArgs, int nIndex, int& nValue) {
    VELA_TRACE_SCOPE("ConverJSONArrayItemtoint");
    static const char kFunction[] = "ConverJSONArrayItemtoint";
    const cJSON* pJSONItem = nullptr;
    HRESULT nResult = GetListElement(kFunction, pJSONArgs, nIndex, pJSONItem);
    if (nResult != VELA_OK) return nResult;

    const cJSON* pNumber = cJSON_IsObject(pJSONItem) ? cJSON_GetObjectItem(pJSONItem, "param") : pJSONItem;
    if (!cJSON_IsNumber(pNumber)) {
        VELA_HOST_FAILURE(VELA_E_JSON_PARAM_TYPE, kFunction, "Check type(item)", "(cJSON_Number != nItemType)");
        return VELA_E_JSON_PARAM_TYPE;
    }
    // cJSON keeps the integer value saturated to the 32-bit range.
    if (pNumber->valueint != 0) nValue = pNumber->valueint;
    VELA_HOST_SUCCESS(kFunction, "ConverJSONArrayItemtoint");
    return VELA_OK;
}

HRESULT ConstructResponseJSON(JSONPtr& pResponse, const char* pszFunctionName, int nErrorCode, int nKind,
                              const void* pValue) {
    VELA_TRACE_SCOPE("ConstructResponseJSON");
    static const char kFunction[] = "ConstructResponseJSON";
    if (!pszFunctionName || !*pszFunctionName) {
        VELA_HOST_FAILURE(ERROR_INVALID_PARAMETER, kFunction, "Check parameter(pszFunctionName)",
                          "NULL == pszFunctionName || 0 == *pszFunctionName");
        return ERROR_INVALID_PARAMETER;
    }
    switch (nKind) {
    case RESULT_KIND_FALSE:
    case RESULT_KIND_TRUE:
    case RESULT_KIND_DOUBLE:
    case RESULT_KIND_STRING:
    case RESULT_KIND_INT: break;
    default:
        VELA_HOST_FAILURE(-1, kFunction, "Check parameter(nKind)", "unknown result kind");
        return -1;
    }
    JSONPtr pResponseJSON(cJSON_CreateObject());
    if (!pResponseJSON) {
        VELA_HOST_FAILURE(VELA_E_JSON_CREATE, kFunction, "cJSON_CreateObject", "NULL == pResponseJSON");
        return VELA_E_JSON_CREATE;
    }
    bool ok = AddMember(pResponseJSON.get(), "function", cJSON_CreateString(pszFunctionName)) &&
              AddMember(pResponseJSON.get(), "errorcode", cJSON_CreateNumber(nErrorCode));
    if (ok && nErrorCode != 0) {
        ok = AddMember(pResponseJSON.get(), "result", cJSON_CreateFalse());
    } else if (ok && pValue) {
        cJSON* pResult = nullptr;
        switch (nKind) {
        case RESULT_KIND_FALSE:
        case RESULT_KIND_TRUE: pResult = cJSON_CreateBool(*static_cast<const unsigned char*>(pValue) != 0); break;
        case RESULT_KIND_DOUBLE: pResult = cJSON_CreateNumber(*static_cast<const double*>(pValue)); break;
        case RESULT_KIND_STRING: pResult = cJSON_CreateString(static_cast<const char*>(pValue)); break;
        case RESULT_KIND_INT: pResult = cJSON_CreateNumber(*static_cast<const int*>(pValue)); break;
        }
        ok = AddMember(pResponseJSON.get(), "result", pResult);
    }
    if (!ok) {
        VELA_HOST_FAILURE(VELA_E_JSON_CREATE, kFunction, "cJSON_AddItemToObject", "NULL == pResponseJSON");
        return VELA_E_JSON_CREATE;
    }
    pResponse = std::move(pResponseJSON);
    VELA_HOST_SUCCESS(kFunction, "ConstructResponseJSON");
    return VELA_OK;
}

namespace {

// Bytes of the JSON escape of each byte: 1 for bytes taken as they are,
// 2 for the short escapes, 6 for \u00XX.
struct EscapeTable {
    unsigned char size[256];
    char shortForm[256];
    constexpr EscapeTable() : size(), shortForm() {
        for (int c = 0; c < 256; ++c) size[c] = c < 0x20 ? 6 : 1;
        const char pairs[][2] = {{'"', '"'}, {'\\', '\\'}, {'\b', 'b'}, {'\f', 'f'}, {'\n', 'n'}, {'\r', 'r'}, {'\t', 't'}};
        for (const auto& pair : pairs) {
            size[(unsigned char)pair[0]] = 2;
            shortForm[(unsigned char)pair[0]] = pair[1];
        }
    }
};
constexpr EscapeTable kEscape;

}  // namespace

namespace {

// Eight bytes at a time: a non-zero mark when one of them needs an escape
// (a control character, quote or backslash). Long names and tokens are
// mostly runs without any.
inline uint64_t EscapeMark(const unsigned char* p) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    uint64_t x;
    std::memcpy(&x, p, sizeof x);
    auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHigh; };
    uint64_t below0x20 = (x - kOnes * 0x20) & ~x & kHigh;
    return below0x20 | hasZero(x ^ (kOnes * '"')) | hasZero(x ^ (kOnes * '\\'));
}

inline bool PlainWord(const unsigned char* p) { return EscapeMark(p) == 0; }

// Thirty-two bytes with one test.
inline bool PlainBlock(const unsigned char* p) {
    return (EscapeMark(p) | EscapeMark(p + 8) | EscapeMark(p + 16) | EscapeMark(p + 24)) == 0;
}

}  // namespace

size_t JSONEscapedLength(const char* text) {
    if (!text) return 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    const size_t n = std::strlen(text);
    size_t length = 0, i = 0;
    for (; i + 32 <= n; i += 32) {
        if (PlainBlock(p + i)) {
            length += 32;
        } else {
            for (size_t k = i; k < i + 32; ++k) length += kEscape.size[p[k]];
        }
    }
    for (; i < n; ++i) length += kEscape.size[p[i]];
    return length;
}

char* WriteJSONEscaped(char* out, const char* text) {
    static const char kHex[] = "0123456789abcdef";
    if (!text) return out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    const size_t n = std::strlen(text);
    size_t i = 0;
    while (i < n) {
        // Runs of bytes that need no escape are copied at once.
        size_t run = i;
        while (run + 8 <= n && PlainWord(p + run)) run += 8;
        while (run < n && kEscape.size[p[run]] == 1) ++run;
        if (run != i) {
            std::memcpy(out, p + i, run - i);
            out += run - i;
            i = run;
            continue;
        }
        *out++ = '\\';
        if (kEscape.size[p[i]] == 2) {
            *out++ = kEscape.shortForm[p[i]];
        } else {
            *out++ = 'u';
            *out++ = '0';
            *out++ = '0';
            *out++ = kHex[p[i] >> 4];
            *out++ = kHex[p[i] & 0xF];
        }
        ++i;
    }
    return out;
}

namespace {

// A text with the length of its JSON escape: one that needs no escape (the
// usual case, and the long names of oversized requests) is copied at once
// instead of being scanned a second time.
struct EscapedText {
    const char* text;
    size_t raw, escaped;
    explicit EscapedText(const char* p)
        : text(p), raw(p ? std::strlen(p) : 0), escaped(JSONEscapedLength(p)) {}
    char* Write(char* out) const {
        if (escaped != raw) return WriteJSONEscaped(out, text);
        if (raw) std::memcpy(out, text, raw);
        return out + raw;
    }
};

}  // namespace

JSONText BuildFallbackResponse(const char* pszFunctionName, const char* pszRandomId) {
    // The fixed layout; both strings are escaped so that any name or token
    // still yields one valid JSON object with exactly these members.
    static const char kHead[] = "{\"function\":\"";
    static const char kCode[] = "\", \"errorcode\":";
    static const char kRandom[] = ", \"result\":false, \"randomId\":\"";
    static const char kRandomTail[] = "\"}";
    static const char kTail[] = ", \"result\":false}";
    const bool withRandomId = pszRandomId && *pszRandomId;
    char code[16];
    int codeLength = std::snprintf(code, sizeof code, "%d", FALLBACK_ERROR_CODE);
    const EscapedText name(pszFunctionName), randomId(withRandomId ? pszRandomId : nullptr);
    size_t size = sizeof kHead - 1 + name.escaped + sizeof kCode - 1 + size_t(codeLength) +
                  (withRandomId ? sizeof kRandom - 1 + randomId.escaped + sizeof kRandomTail - 1 : sizeof kTail - 1);
    JSONText text(static_cast<char*>(cJSON_malloc(size + 1)));
    if (!text) return text;
    char* out = text.get();
    auto put = [&out](const char* part, size_t length) {
        std::memcpy(out, part, length);
        out += length;
    };
    put(kHead, sizeof kHead - 1);
    out = name.Write(out);
    put(kCode, sizeof kCode - 1);
    put(code, size_t(codeLength));
    if (withRandomId) {
        put(kRandom, sizeof kRandom - 1);
        out = randomId.Write(out);
        put(kRandomTail, sizeof kRandomTail - 1);
    } else {
        put(kTail, sizeof kTail - 1);
    }
    *out = '\0';
    return text;
}

namespace {

// Length of the well-formed UTF-8 sequence at p (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), 0 when there is none.
// Eight bytes below 0x80.
inline bool AsciiWord(const unsigned char* p) {
    uint64_t x;
    std::memcpy(&x, p, sizeof x);
    return (x & 0x8080808080808080ull) == 0;
}

size_t UTF8SequenceLength(const unsigned char* p) {
    const unsigned char c = p[0];
    if (c < 0x80) return 1;
    size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0) return 0;
    const unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (p[1] < low || p[1] > high) return 0;
    for (size_t i = 2; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return n;
}

}  // namespace

std::string WellFormedUTF8(const char* text) {
    std::string out;
    if (!text) return out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* const end = p + std::strlen(text);
    out.reserve(size_t(end - p));
    while (p < end) {
        // Well-formed runs (ASCII eight bytes at a time) are copied at once.
        const unsigned char* run = p;
        for (;;) {
            while (end - run >= 8 && AsciiWord(run)) run += 8;
            size_t n = run < end ? UTF8SequenceLength(run) : 0;
            if (n == 0) break;
            run += n;
        }
        out.append(reinterpret_cast<const char*>(p), size_t(run - p));
        p = run;
        if (p < end) {
            out += "\xEF\xBF\xBD";
            ++p;
        }
    }
    return out;
}

HRESULT ConvertJSONToResponseMsg(const char* pszFunctionName, const char* pszRandomId, cJSON* pResponseJSON,
                                 JSONText* pszResponseMsg) {
    VELA_TRACE_SCOPE("ConvertJSONToResponseMsg");
    static const char kFunction[] = "ConvertJSONToResponseMsg";
    // The name and the token are echoed from the request, whose strings
    // cJSON takes byte for byte; the response must stay a UTF-8 text.
    const std::string strFunctionName = WellFormedUTF8(pszFunctionName);
    const std::string strRandomId = WellFormedUTF8(pszRandomId);
    pszFunctionName = pszFunctionName ? strFunctionName.c_str() : nullptr;
    pszRandomId = pszRandomId ? strRandomId.c_str() : nullptr;
    JSONText text;
    if (pResponseJSON) {
        if (pszRandomId && *pszRandomId &&
            !AddMember(pResponseJSON, "randomId", cJSON_CreateString(pszRandomId)))
            VELA_HOST_FAILURE(VELA_E_JSON_CREATE, kFunction, "cJSON_AddItemToObject(randomId)", "FALSE == bResult");
        text.reset(cJSON_PrintUnformatted(pResponseJSON));
        if (!text)
            VELA_HOST_FAILURE(VELA_E_JSON_CREATE, kFunction, "cJSON_PrintUnformatted", "NULL == pszResponseMsg");
    }
    // Without an object (or when it cannot be printed) the fixed layout answers.
    if (!text) {
        text = BuildFallbackResponse(pszFunctionName, pszRandomId);
        if (!text) VELA_HOST_FAILURE(-1, kFunction, "New memory", "!pszResponseMsg");
    }
    if (pszResponseMsg) *pszResponseMsg = std::move(text);
    VELA_HOST_SUCCESS(kFunction, "ConvertJSONToResponseMsg");
    return VELA_OK;
}
