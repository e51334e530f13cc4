#include "Misc.h"

#include <shlobj.h>
#include <shlwapi.h>

#include "VelaFormat.h"
#include "VelaTrace.h"

#include <algorithm>
#include <cstring>

namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a Base64 alphabet character, or -1 for anything else.
constexpr int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The same as a table: the value, or kNotBase64 (high bit set) for every
// character outside the alphabet, so four looked-up values can be tested at once.
constexpr unsigned char kNotBase64 = 0x80;
struct Base64Table {
    unsigned char value[256];
    constexpr Base64Table() : value() {
        for (int c = 0; c < 256; ++c) {
            int v = Base64Value((unsigned char)c);
            value[c] = v < 0 ? kNotBase64 : (unsigned char)v;
        }
    }
};
constexpr Base64Table kBase64Table;

int HexValue(WCHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

}  // namespace

HRESULT UTF16ToUTF8(const WCHAR* pwszWide, CharBuffer& pszUTF8, DWORD& dwLength) {
    VELA_TRACE_SCOPE("UTF16ToUTF8");
    if (!pwszWide) return E_POINTER;
    int needed = WideCharToMultiByte(CP_UTF8, 0, pwszWide, -1, nullptr, 0, nullptr, nullptr);
    if (needed == 0) {
        HRESULT hr = StatusFromWin32((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "WideCharToMultiByte", "0 == nLength");
        return hr;
    }
    CharBuffer buffer = AllocZeroed<char>((size_t)needed);
    if (!buffer) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New Memory", "NULL == pszUTF8");
        return E_OUTOFMEMORY;
    }
    if (WideCharToMultiByte(CP_UTF8, 0, pwszWide, -1, buffer.get(), needed, nullptr, nullptr) == 0) {
        HRESULT hr = StatusFromWin32((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "WideCharToMultiByte", "0 == nResult");
        return hr;
    }
    pszUTF8 = std::move(buffer);
    dwLength = (DWORD)needed - 1;
    return VELA_OK;
}

HRESULT UTF8ToUTF16(const char* pszUTF8, WideBuffer& pwszWide, DWORD& dwLength) {
    VELA_TRACE_SCOPE("UTF8ToUTF16");
    if (!pszUTF8) return E_POINTER;
    int bytes = (int)std::strlen(pszUTF8) + 1;
    int needed = MultiByteToWideChar(CP_UTF8, 0, pszUTF8, bytes, nullptr, 0);
    if (needed == 0) {
        HRESULT hr = StatusFromWin32((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "MultiByteToWideChar", "0 == nLength");
        return hr;
    }
    WideBuffer buffer = AllocZeroed<WCHAR>((size_t)needed);
    if (!buffer) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New Memory", "NULL == pwszWide");
        return E_OUTOFMEMORY;
    }
    if (MultiByteToWideChar(CP_UTF8, 0, pszUTF8, bytes, buffer.get(), needed) == 0) {
        HRESULT hr = StatusFromWin32((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "MultiByteToWideChar", "0 == nResult");
        return hr;
    }
    pwszWide = std::move(buffer);
    dwLength = (DWORD)needed - 1;
    return VELA_OK;
}

HRESULT Base64EncodeEx(DWORD dwLength, CharBuffer& pszText, const BYTE* pbData, DWORD& dwTextLength) {
    VELA_TRACE_SCOPE("Base64EncodeEx");
    const size_t groups = dwLength / 3;
    const size_t tail = dwLength % 3;
    const size_t fullLines = groups / 19;
    const size_t size = groups * 4 + (tail ? 4 : 0) + fullLines * 2;
    CharBuffer text = AllocZeroed<char>(size + 1);
    if (!text) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New Memory", "NULL == pszText");
        return E_OUTOFMEMORY;
    }
    char* out = text.get();
    const BYTE* in = pbData;
    for (size_t g = 0; g < groups; ++g, in += 3) {
        DWORD v = (DWORD(in[0]) << 16) | (DWORD(in[1]) << 8) | in[2];
        *out++ = kBase64Alphabet[(v >> 18) & 63];
        *out++ = kBase64Alphabet[(v >> 12) & 63];
        *out++ = kBase64Alphabet[(v >> 6) & 63];
        *out++ = kBase64Alphabet[v & 63];
        if ((g + 1) % 19 == 0) {
            *out++ = '\r';
            *out++ = '\n';
        }
    }
    if (tail) {
        DWORD v = DWORD(in[0]) << 16;
        if (tail == 2) v |= DWORD(in[1]) << 8;
        *out++ = kBase64Alphabet[(v >> 18) & 63];
        *out++ = kBase64Alphabet[(v >> 12) & 63];
        *out++ = tail == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
        *out++ = '=';
    }
    dwTextLength = (DWORD)(out - text.get());
    pszText = std::move(text);
    return VELA_OK;
}

HRESULT Base64DecodeEx(int nTextLength, ByteBuffer& pbData, const char* pszText, DWORD& dwDataLength) {
    VELA_TRACE_SCOPE("Base64DecodeEx");
    if (nTextLength <= 0 || !pszText) {
        TraceInfo(TEXT("Base64DecodeEx: text length %d"), nTextLength);
        VELA_LOG_FAILURE(E_FAIL, "Check parameter", "nTextLength <= 0");
        return E_FAIL;
    }
    // Every byte past the decoded data is zero, as if the buffer had been
    // cleared first; only that tail is cleared.
    ByteBuffer data(new (std::nothrow) BYTE[(size_t)nTextLength]);
    if (!data) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New Memory", "NULL == pbData");
        return E_OUTOFMEMORY;
    }
    const unsigned char* text = reinterpret_cast<const unsigned char*>(pszText);
    const unsigned char* table = kBase64Table.value;
    BYTE* out = data.get();
    DWORD group = 0;
    int count = 0;
    for (int i = 0; i < nTextLength;) {
        // Four alphabet characters at a group boundary: a whole group at once.
        if (count == 0 && nTextLength - i >= 4) {
            unsigned a = table[text[i]], b = table[text[i + 1]], c = table[text[i + 2]], d = table[text[i + 3]];
            if (((a | b | c | d) & kNotBase64) == 0) {
                DWORD whole = a << 18 | b << 12 | c << 6 | d;
                out[0] = BYTE(whole >> 16);
                out[1] = BYTE(whole >> 8);
                out[2] = BYTE(whole);
                out += 3;
                i += 4;
                continue;
            }
        }
        // Otherwise one character: a zero where a group would begin ends the
        // text, anything outside the alphabet is skipped.
        unsigned char ch = text[i++];
        if (ch == 0 && count == 0) break;
        unsigned v = table[ch];
        if (v & kNotBase64) continue;
        group = (group << 6) | v;
        if (++count == 4) {
            *out++ = BYTE(group >> 16);
            *out++ = BYTE(group >> 8);
            *out++ = BYTE(group);
            group = 0;
            count = 0;
        }
    }
    // A final incomplete group of k characters gives (6k)/8 bytes.
    if (count >= 2) {
        group <<= 6 * (4 - count);
        *out++ = BYTE(group >> 16);
        if (count == 3) *out++ = BYTE(group >> 8);
    }
    dwDataLength = (DWORD)(out - data.get());
    std::memset(out, 0, (size_t)nTextLength - dwDataLength);
    pbData = std::move(data);
    return VELA_OK;
}

HRESULT ConvertBinaryDataToString(DWORD dwLength, WString& wstrHex, const BYTE* pbData) {
    VELA_TRACE_SCOPE("ConvertBinaryDataToString");
    static const WCHAR kDigits[] = TEXT("0123456789abcdef");
    WString text;
    text.reserve((size_t)dwLength * 2);
    for (DWORD i = dwLength; i > 0; --i) {
        text.push_back(kDigits[pbData[i - 1] >> 4]);
        text.push_back(kDigits[pbData[i - 1] & 0xF]);
    }
    wstrHex = std::move(text);
    return VELA_OK;
}

HRESULT ConvertStringToBinaryData(DWORD& dwLength, const WCHAR* pwszHex, ByteBuffer& pbData) {
    VELA_TRACE_SCOPE("ConvertStringToBinaryData");
    if (!pwszHex) {
        VELA_LOG_FAILURE(E_INVALIDARG, "Check parameter", "NULL == pwszHex");
        return E_INVALIDARG;
    }
    size_t characters = WideLength(pwszHex);
    for (size_t i = 0; i < characters; ++i) {
        if (HexValue(pwszHex[i]) < 0) {
            VELA_LOG_FAILURE(E_INVALIDARG, "Check hex string", "wstrScanned != wstrHex");
            return E_INVALIDARG;
        }
    }
    DWORD length = (DWORD)(characters / 2);
    ByteBuffer data = AllocZeroed<BYTE>((size_t)length + 4);
    if (!data) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "Dispatch memory failed.", "NULL == pbData");
        return E_OUTOFMEMORY;
    }
    for (DWORD i = 0; i < length; ++i) {
        size_t pair = (size_t)(length - 1 - i) * 2;
        data[i] = BYTE((HexValue(pwszHex[pair]) << 4) | HexValue(pwszHex[pair + 1]));
    }
    dwLength = length;
    pbData = std::move(data);
    return VELA_OK;
}

void SwapByteOrder(BYTE* pbBuffer, DWORD dwLength) {
    if (!pbBuffer) return;
    for (DWORD i = 0, j = dwLength; i + 1 < j; ++i, --j) {
        BYTE t = pbBuffer[i];
        pbBuffer[i] = pbBuffer[j - 1];
        pbBuffer[j - 1] = t;
    }
}

void SplitStrings(const WCHAR* pwszText, std::vector<WString>& list) {
    if (!pwszText) return;
    const WCHAR* start = pwszText;
    for (;;) {
        const WCHAR* p = start;
        while (*p && !(p[0] == u'|' && p[1] == u'|')) ++p;
        if (p == start) return;  // an empty item ends the split
        try {
            list.emplace_back(start, (size_t)(p - start));
        } catch (const std::bad_alloc&) {
            // an item that cannot be copied is skipped
        }
        if (!*p) return;
        start = p + 2;
    }
}

HRESULT CreateGUIDStr(WString& wstrName) {
    VELA_TRACE_SCOPE("CreateGUIDStr");
    GUID guid = {};
    HRESULT hr = CoCreateGuid(&guid);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "CoCreateGuid", "FAILED(hResult)");
        return hr;
    }
    WCHAR text[64] = {};
    int n = FormatWide(text, 64, TEXT("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}"), (unsigned)guid.Data1,
                       (unsigned)guid.Data2, (unsigned)guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                       guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    if (n != 38) {
        hr = StatusFromWin32((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "Format GUID", "38 != nLength");
        return FAILED(hr) ? hr : E_FAIL;
    }
    wstrName.assign(text, 38);
    return VELA_OK;
}

HRESULT GetTempDirPath(WString& wstrPath) {
    VELA_TRACE_SCOPE("GetTempDirPath");
    WCHAR buffer[MAX_PATH] = {};
    DWORD n = GetTempPathW(MAX_PATH, buffer);
    if (n == 0 || n >= MAX_PATH) {
        HRESULT hr = StatusFromWin32((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "GetTempPath", "0 == dwResult");
        return FAILED(hr) ? hr : E_FAIL;
    }
    wstrPath.assign(buffer, n);
    return VELA_OK;
}

namespace {
struct FileCloser {
    void operator()(HANDLE h) const {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using FileHolder = std::unique_ptr<void, FileCloser>;
}  // namespace

namespace {

// Writes the data into a new file of that name (an existing one is deleted
// first); every failure is logged.
bool WriteNewFile(const WString& path, const BYTE* pbData, DWORD dwLength) {
    VELA_TRACE_SCOPE("WriteNewFile");
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES && !DeleteFileW(path.c_str())) {
        VELA_LOG_FAILURE(StatusFromWin32((LONG)GetLastError()), "DeleteFile", "FALSE == bResult");
        return false;
    }
    FileHolder file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        VELA_LOG_FAILURE(StatusFromWin32((LONG)GetLastError()), "CreateFile", "INVALID_HANDLE_VALUE == hFile");
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), pbData, dwLength, &written, nullptr) || written != dwLength) {
        VELA_LOG_FAILURE(StatusFromWin32((LONG)GetLastError()), "WriteFile", "FALSE == bResult");
        return false;
    }
    return true;
}

}  // namespace

void DumpDatatoTempFile(WString& wstrPath, const BYTE* pbData, DWORD dwLength) {
    VELA_TRACE_SCOPE("DumpDatatoTempFile");
    WString name, directory;
    HRESULT hr = CreateGUIDStr(name);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "CreateGUIDStr", "FAILED(hResult)");
        return;
    }
    hr = GetTempDirPath(directory);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetTempDirPath", "FAILED(hResult)");
        return;
    }
    WString path = directory + name + TEXT(".VELA");
    if (WriteNewFile(path, pbData, dwLength)) wstrPath = path;
}

HRESULT GetCertificateCopyDirPath(WString& wstrPath) {
    VELA_TRACE_SCOPE("GetCertificateCopyDirPath");
    WCHAR buffer[MAX_PATH] = {};
    HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                                  buffer);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "SHGetFolderPath", "FAILED(hResult)");
        return hr;
    }
    if (!PathAppendW(buffer, VELA_CERT_COPY_FOLDER)) {
        VELA_LOG_FAILURE(E_FAIL, "PathAppend", "FALSE == bResult");
        return E_FAIL;
    }
    if (!CreateDirectoryW(buffer, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        hr = StatusFromWin32((LONG)GetLastError());
        VELA_LOG_FAILURE(FAILED(hr) ? hr : E_FAIL, "CreateDirectory", "FALSE == bResult");
        return FAILED(hr) ? hr : E_FAIL;
    }
    wstrPath = buffer;
    return VELA_OK;
}

namespace {

WString JoinPath(const WString& directory, const WString& name) {
    WCHAR buffer[MAX_PATH] = {};
    if (directory.size() >= MAX_PATH) return WString();
    std::memcpy(buffer, directory.c_str(), directory.size() * sizeof(WCHAR));
    return PathAppendW(buffer, name.c_str()) ? WString(buffer) : WString();
}

// Deletes the oldest copies in the folder so that at most
// VELA_CERT_COPY_LIMIT remain; the copy named wstrKeep is never deleted.
void PruneCertificateCopies(const WString& directory, const WString& wstrKeep) {
    VELA_TRACE_SCOPE("PruneCertificateCopies");
    struct Copy {
        ULONGLONG time;
        WString name;
    };
    std::vector<Copy> others;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(JoinPath(directory, TEXT("*.VELA")).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || wstrKeep == data.cFileName) continue;
        ULONGLONG time = (ULONGLONG)data.ftLastWriteTime.dwHighDateTime << 32 | data.ftLastWriteTime.dwLowDateTime;
        others.push_back(Copy{time, data.cFileName});
    } while (FindNextFileW(find, &data));
    FindClose(find);
    if (others.size() < VELA_CERT_COPY_LIMIT) return;
    // Newest first; the copies past the limit (counting the one kept) go.
    std::sort(others.begin(), others.end(), [](const Copy& a, const Copy& b) { return a.time > b.time; });
    for (size_t i = VELA_CERT_COPY_LIMIT - 1; i < others.size(); ++i) {
        WString path = JoinPath(directory, others[i].name);
        if (path.empty() || !DeleteFileW(path.c_str()))
            VELA_LOG_FAILURE(StatusFromWin32((LONG)GetLastError()), "DeleteFile", "FALSE == bResult");
    }
}

}  // namespace

void KeepCertificateCopy(WString& wstrPath, const BYTE* pbData, DWORD dwLength) {
    VELA_TRACE_SCOPE("KeepCertificateCopy");
    PCCERT_CONTEXT pCert = pbData ? CertCreateCertificateContext(X509_ASN_ENCODING, pbData, dwLength) : nullptr;
    if (!pCert) {
        TraceInfo(TEXT("KeepCertificateCopy - not a certificate, no copy kept"));
        return;
    }
    CertFreeCertificateContext(pCert);
    WString name, directory;
    HRESULT hr = CreateGUIDStr(name);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "CreateGUIDStr", "FAILED(hResult)");
        return;
    }
    hr = GetCertificateCopyDirPath(directory);
    if (FAILED(hr)) {
        VELA_LOG_FAILURE(hr, "GetCertificateCopyDirPath", "FAILED(hResult)");
        return;
    }
    name += TEXT(".VELA");
    WString path = JoinPath(directory, name);
    if (path.empty()) {
        VELA_LOG_FAILURE(E_FAIL, "PathAppend", "FALSE == bResult");
        return;
    }
    if (!WriteNewFile(path, pbData, dwLength)) return;
    wstrPath = path;
    PruneCertificateCopies(directory, name);
}

HRESULT GetProviderInfo(DWORD& dwLength, HCRYPTPROV hProvider, DWORD dwParam, ByteBuffer& pbValue) {
    VELA_TRACE_SCOPE("GetProviderInfo");
    DWORD size = 0;
    if (!CryptGetProvParam(hProvider, dwParam, nullptr, &size, 0)) {
        HRESULT hr = StatusFromWin32((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "CryptGetProvParam", "FALSE == bResult");
        return hr;
    }
    if (size == 0) {
        VELA_LOG_FAILURE(E_FAIL, "CryptGetProvParam", "0 == dwLength");
        return E_FAIL;
    }
    ByteBuffer value = AllocZeroed<BYTE>(size);
    if (!value) {
        VELA_LOG_FAILURE(E_OUTOFMEMORY, "New Memory", "NULL == pbValue");
        return E_OUTOFMEMORY;
    }
    if (!CryptGetProvParam(hProvider, dwParam, value.get(), &size, 0)) {
        HRESULT hr = StatusFromWin32((LONG)GetLastError());
        VELA_LOG_FAILURE(hr, "CryptGetProvParam", "FALSE == bResult");
        return hr;
    }
    dwLength = size;
    pbValue = std::move(value);
    return VELA_OK;
}

WString TrimSpaces(const WString& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && text[begin] == u' ') ++begin;
    while (end > begin && text[end - 1] == u' ') --end;
    return text.substr(begin, end - begin);
}

bool EqualsNoCaseAscii(const WString& a, const WCHAR* b) {
    size_t n = WideLength(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        WCHAR x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z') x = WCHAR(x + 32);
        if (y >= u'A' && y <= u'Z') y = WCHAR(y + 32);
        if (x != y) return false;
    }
    return true;
}

bool ContainsText(const WString& text, const WCHAR* part) { return text.find(part) != WString::npos; }
