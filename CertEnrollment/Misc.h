// Text and binary utilities shared by the whole core: UTF-8/UTF-16
// conversion, Base64, hexadecimal texts, byte order, "||" lists, GUID
// strings, temporary files and provider parameters. Every buffer returned
// is newly allocated and owned by the caller (through the holders below);
// lengths never count a terminating zero.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>

#include <memory>
#include <string>
#include <vector>

#include "VelaStatus.h"

using WString = std::basic_string<WCHAR>;
using ByteBuffer = std::unique_ptr<BYTE[]>;
using CharBuffer = std::unique_ptr<char[]>;
using WideBuffer = std::unique_ptr<WCHAR[]>;

// Zero-filled allocation that reports failure instead of throwing.
template <typename T>
std::unique_ptr<T[]> AllocZeroed(size_t count) {
    std::unique_ptr<T[]> p(new (std::nothrow) T[count ? count : 1]());
    return p;
}

HRESULT UTF16ToUTF8(const WCHAR* pwszWide, CharBuffer& pszUTF8, DWORD& dwLength);
HRESULT UTF8ToUTF16(const char* pszUTF8, WideBuffer& pwszWide, DWORD& dwLength);

// Base64 in lines of 76 characters (19 groups) separated by CR LF.
HRESULT Base64EncodeEx(DWORD dwLength, CharBuffer& pszText, const BYTE* pbData, DWORD& dwTextLength);
// Skips every character outside the alphabet; stops at a NUL where a new
// group would begin. nTextLength <= 0 fails with E_FAIL.
HRESULT Base64DecodeEx(int nTextLength, ByteBuffer& pbData, const char* pszText, DWORD& dwDataLength);

// Lower-case hex, last byte first: 01 AB 10 -> "10ab01".
HRESULT ConvertBinaryDataToString(DWORD dwLength, WString& wstrHex, const BYTE* pbData);
// Inverse of the above; the buffer holds dwLength + 4 bytes, the last four zero.
HRESULT ConvertStringToBinaryData(DWORD& dwLength, const WCHAR* pwszHex, ByteBuffer& pbData);

void SwapByteOrder(BYTE* pbBuffer, DWORD dwLength);
// Appends the "||"-separated items of text; stops at the first empty item.
void SplitStrings(const WCHAR* pwszText, std::vector<WString>& list);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", 38 characters.
HRESULT CreateGUIDStr(WString& wstrName);
// The user's temporary directory, ending with a path separator.
HRESULT GetTempDirPath(WString& wstrPath);
// Writes the data to <temp>\<GUID>.VELA; on failure the path stays untouched.
void DumpDatatoTempFile(WString& wstrPath, const BYTE* pbData, DWORD dwLength);
// Diagnostic copies of installed certificates: <local application data>\Tessera,
// the newest VELA_CERT_COPY_LIMIT of them.
constexpr const WCHAR* VELA_CERT_COPY_FOLDER = TEXT("Tessera");
constexpr size_t VELA_CERT_COPY_LIMIT = 16;
// The folder of the copies, created when missing.
HRESULT GetCertificateCopyDirPath(WString& wstrPath);
// When the data decode as a certificate: writes them to <folder>\<GUID>.VELA
// and deletes the oldest copies beyond the limit. Otherwise, and on any
// failure (logged), nothing is written and the path stays untouched.
void KeepCertificateCopy(WString& wstrPath, const BYTE* pbData, DWORD dwLength);
// One CryptGetProvParam value (measured, then read into a zero-filled buffer).
HRESULT GetProviderInfo(DWORD& dwLength, HCRYPTPROV hProvider, DWORD dwParam, ByteBuffer& pbValue);

// Small string helpers used by several modules.
WString TrimSpaces(const WString& text);             // removes U+0020 at both ends only
bool EqualsNoCaseAscii(const WString& a, const WCHAR* b);
bool ContainsText(const WString& text, const WCHAR* part);  // case-sensitive substring
inline WString ToWString(const WCHAR* text) { return text ? WString(text) : WString(); }
