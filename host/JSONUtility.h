// Request and response JSON of the native-messaging host: parsing one
// request object, reading its parameters by position, building the
// response object and turning it (or, when there is none, the fixed
// fallback layout) into the response text.
#pragma once
#include <windows.h>

#include <cJSON.h>

#include <memory>
#include <string>

#include "Misc.h"

struct JSONDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using JSONPtr = std::unique_ptr<cJSON, JSONDeleter>;

// Text allocated through cJSON's allocator (printed objects and the
// fallback responses), released with cJSON_free.
struct JSONTextDeleter {
    void operator()(char* text) const { cJSON_free(text); }
};
using JSONText = std::unique_ptr<char, JSONTextDeleter>;

// Kinds of the "result" value handed to ConstructResponseJSON.
constexpr int RESULT_KIND_FALSE = 0;   // one byte, 0 or non-zero -> false / true
constexpr int RESULT_KIND_TRUE = 1;    // the same
constexpr int RESULT_KIND_DOUBLE = 3;  // double -> number
constexpr int RESULT_KIND_STRING = 4;  // NUL-terminated UTF-8 -> string
constexpr int RESULT_KIND_INT = 7;     // 32-bit signed integer -> number

// Status of ParseRequestMsgToJSON for a request that is not a usable
// request object.
constexpr HRESULT VELA_E_JSON_REQUEST = (HRESULT)255;

// Bounds of a request text, checked before it is parsed: no operation takes
// more than four parameters, each at most an object holding the value, so
// a request object is a few levels deep and a few dozen values large.
// Deeper or larger texts are refused with VELA_E_JSON_REQUEST.
constexpr size_t JSON_MAX_REQUEST_DEPTH = 16;
constexpr size_t JSON_MAX_REQUEST_VALUES = 256;

// Fallback responses carry this error code.
constexpr int FALLBACK_ERROR_CODE = (int)NTE_INTERNAL_ERROR;

// Parses one request text. On success hands out "function", a deep copy
// of "params" and, when present, "randomId"; on failure hands out nothing.
// 0, ERROR_INVALID_PARAMETER for a null or empty text, 255 otherwise.
HRESULT ParseRequestMsgToJSON(JSONText& pszFunctionName, JSONPtr& pJSONParams, const char* pszRequestMsg,
                              JSONText& pszRandomId);

// Parameter readers: element nIndex of the list, either the value itself or
// an object whose member "param" holds it. The string is copied into a new
// buffer; the integer is left unchanged when the value is 0.
HRESULT ConverJSONArrayItemtoNULLEndString(const cJSON* pJSONArgs, int nIndex, CharBuffer& pszNULLEndString);
HRESULT ConverJSONArrayItemtoint(const cJSON* pJSONArgs, int nIndex, int& nValue);

// Builds {"function", "errorcode"[, "result"]}: "result" is false when the
// error code is non-zero, else the value of the given kind when pValue is
// non-null. An unknown kind leaves no object (-1).
HRESULT ConstructResponseJSON(JSONPtr& pResponseJSON, const char* pszFunctionName, int nErrorCode, int nKind,
                              const void* pValue);

// The response text: the object printed without formatting, with "randomId"
// added when the token is non-empty; without an object, the fallback layout.
// pszResponseMsg may be null (the text is then discarded). Always 0; when
// no text can be produced at all the out-parameter stays empty.
HRESULT ConvertJSONToResponseMsg(const char* pszFunctionName, const char* pszRandomId, cJSON* pResponseJSON,
                                 JSONText* pszResponseMsg);

// The text with every byte that does not start a well-formed UTF-8
// sequence replaced by U+FFFD; null gives the empty text.
std::string WellFormedUTF8(const char* text);

// The fixed fallback layout, with both strings escaped as JSON strings:
//   {"function":"NAME", "errorcode":-2146893779, "result":false[, "randomId":"TOKEN"]}
// Null strings count as empty. Returns null when the buffer cannot be allocated.
JSONText BuildFallbackResponse(const char* pszFunctionName, const char* pszRandomId);

// Number of bytes the JSON string escape of text takes (without quotes),
// and the escape itself written to out (which must hold that many bytes).
size_t JSONEscapedLength(const char* text);
char* WriteJSONEscaped(char* out, const char* text);
