// Statuses: signed 32-bit values in the shape of an HRESULT. 0 is success,
// negative is failure. The system's own statuses are 0xA0070000 plus the
// identifier of their error text.
#pragma once
#include <windows.h>
#include <oleauto.h>

#define VELA_OK ((HRESULT)0)

#define VELA_STATUS(code) ((HRESULT)(0xA0070000u | (code)))
#define VELA_ERROR_TEXT(id, name, en, zh) constexpr HRESULT name = VELA_STATUS(id);
#include "ErrorText.def"
#undef VELA_ERROR_TEXT

// Host statuses without an error text.
constexpr HRESULT VELA_E_JSON_CREATE = VELA_STATUS(0x3202);
constexpr HRESULT VELA_E_JSON_PARAM_TYPE = VELA_STATUS(0x3204);

// Application-defined result values: customer bit set, severity clear.
constexpr HRESULT VELA_R_ASN1_DECODE = (HRESULT)0x20001041;
constexpr HRESULT VELA_R_XML_CHILD_NOT_FOUND = (HRESULT)0x20001402;

// Turns GetLastError() after a failing platform call, or a 32-bit code that
// is either a status or a Win32 error, into a status.
HRESULT StatusFromLastError(LONG value);

// The same for the routines that give the application-defined bit no special
// treatment: (code & 0xFFFF) | 0x80070000 for a positive code.
HRESULT StatusFromWin32(LONG value);

// The text that GetLastErrorDesc reports for a status: the module's error
// text (own statuses) or the platform's message text, then "\n(0x%08x)".
// hModule is the module whose string table holds the error texts.
BSTR BuildErrorDescription(HINSTANCE hModule, HRESULT status);
// Appends "\n(0x%08x)" to the text in buffer, shortening the text first if
// the suffix would not fit in capacity characters (terminator included).
void AppendStatusSuffix(WCHAR* buffer, size_t capacity, HRESULT status);
