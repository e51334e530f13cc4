// Windows API subset for non-Windows builds: base types, status codes and
// the kernel32/oleaut32/ole32 functions the enrollment core and the front
// ends call. Names, types, values and last-error behaviour follow the
// Windows SDK so that the same sources compile against either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdarg>

#define WINAPI
#define WMIAPI
#define CALLBACK
#define STDMETHODCALLTYPE
#define APIENTRY
#define __stdcall
#define __cdecl
#define EXTERN_C extern "C"
#define CONST const
#define IN
#define OUT
#define OPTIONAL

typedef int BOOL;
typedef unsigned char BYTE, UCHAR, BOOLEAN;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef unsigned short WORD, USHORT;
typedef uint32_t DWORD, ULONG, UINT;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef ULONG* PULONG;
typedef int32_t LONG, INT, HRESULT;
typedef LONG* PLONG;
typedef int64_t LONGLONG, LONG64;
typedef uint64_t ULONGLONG, ULONG64, DWORD64, TRACEHANDLE;
typedef TRACEHANDLE* PTRACEHANDLE;
typedef intptr_t INT_PTR, LONG_PTR, LPARAM;
typedef uintptr_t UINT_PTR, ULONG_PTR, DWORD_PTR, WPARAM, SIZE_T;
typedef ULONG_PTR* PULONG_PTR;
typedef short SHORT;
typedef char CHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef WCHAR OLECHAR;
typedef OLECHAR* BSTR;
typedef const OLECHAR* LPCOLESTR;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HRSRC__* HRSRC;
typedef HANDLE HGLOBAL;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HWND__* HWND;
typedef DWORD LCID;
typedef WORD LANGID;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef short VARIANT_BOOL;
typedef INT_PTR (*FARPROC)();

#define TRUE 1
#define FALSE 0
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFF
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#ifndef TEXT
#define TEXT(s) u##s
#endif

typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID, IID, CLSID;
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

typedef struct _TIME_ZONE_INFORMATION TIME_ZONE_INFORMATION, *LPTIME_ZONE_INFORMATION;
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

typedef union _LARGE_INTEGER {
    struct { DWORD LowPart; LONG HighPart; } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;

// ---- status values -------------------------------------------------------
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define HRESULT_FROM_WIN32(x) \
    ((HRESULT)(x) <= 0 ? (HRESULT)(x) : (HRESULT)(((x) & 0x0000FFFF) | 0x80070000))
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01

#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_ABORT ((HRESULT)0x80004004)
#define E_FAIL ((HRESULT)0x80004005)
#define E_UNEXPECTED ((HRESULT)0x8000FFFF)
#define E_ACCESSDENIED ((HRESULT)0x80070005)
#define E_HANDLE ((HRESULT)0x80070006)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154)

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_FORMAT 11L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_KEY_DELETED 1018L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L


// ---- CryptoAPI and certificate-services statuses (winerror.h on Windows) ----
#define NTE_BAD_UID ((HRESULT)0x80090001L)
#define NTE_BAD_HASH ((HRESULT)0x80090002L)
#define NTE_BAD_KEY ((HRESULT)0x80090003L)
#define NTE_BAD_LEN ((HRESULT)0x80090004L)
#define NTE_BAD_DATA ((HRESULT)0x80090005L)
#define NTE_BAD_SIGNATURE ((HRESULT)0x80090006L)
#define NTE_BAD_VER ((HRESULT)0x80090007L)
#define NTE_BAD_ALGID ((HRESULT)0x80090008L)
#define NTE_BAD_FLAGS ((HRESULT)0x80090009L)
#define NTE_BAD_TYPE ((HRESULT)0x8009000AL)
#define NTE_BAD_KEY_STATE ((HRESULT)0x8009000BL)
#define NTE_BAD_HASH_STATE ((HRESULT)0x8009000CL)
#define NTE_NO_KEY ((HRESULT)0x8009000DL)
#define NTE_NO_MEMORY ((HRESULT)0x8009000EL)
#define NTE_EXISTS ((HRESULT)0x8009000FL)
#define NTE_PERM ((HRESULT)0x80090010L)
#define NTE_NOT_FOUND ((HRESULT)0x80090011L)
#define NTE_DOUBLE_ENCRYPT ((HRESULT)0x80090012L)
#define NTE_BAD_PROVIDER ((HRESULT)0x80090013L)
#define NTE_BAD_PROV_TYPE ((HRESULT)0x80090014L)
#define NTE_BAD_PUBLIC_KEY ((HRESULT)0x80090015L)
#define NTE_BAD_KEYSET ((HRESULT)0x80090016L)
#define NTE_PROV_TYPE_NOT_DEF ((HRESULT)0x80090017L)
#define NTE_PROV_TYPE_ENTRY_BAD ((HRESULT)0x80090018L)
#define NTE_KEYSET_NOT_DEF ((HRESULT)0x80090019L)
#define NTE_KEYSET_ENTRY_BAD ((HRESULT)0x8009001AL)
#define NTE_PROV_TYPE_NO_MATCH ((HRESULT)0x8009001BL)
#define NTE_SIGNATURE_FILE_BAD ((HRESULT)0x8009001CL)
#define NTE_PROVIDER_DLL_FAIL ((HRESULT)0x8009001DL)
#define NTE_PROV_DLL_NOT_FOUND ((HRESULT)0x8009001EL)
#define NTE_BAD_KEYSET_PARAM ((HRESULT)0x8009001FL)
#define NTE_FAIL ((HRESULT)0x80090020L)
#define NTE_SYS_ERR ((HRESULT)0x80090021L)
#define NTE_SILENT_CONTEXT ((HRESULT)0x80090022L)
#define NTE_INVALID_HANDLE ((HRESULT)0x80090026L)
#define NTE_INVALID_PARAMETER ((HRESULT)0x80090027L)
#define NTE_BUFFER_TOO_SMALL ((HRESULT)0x80090028L)
#define NTE_NOT_SUPPORTED ((HRESULT)0x80090029L)
#define NTE_NO_MORE_ITEMS ((HRESULT)0x8009002AL)
#define NTE_DECRYPTION_FAILURE ((HRESULT)0x8009002CL)
#define NTE_INTERNAL_ERROR ((HRESULT)0x8009002DL)
#define CRYPT_E_MSG_ERROR ((HRESULT)0x80091001L)
#define CRYPT_E_UNKNOWN_ALGO ((HRESULT)0x80091002L)
#define CRYPT_E_INVALID_MSG_TYPE ((HRESULT)0x80091004L)
#define CRYPT_E_BAD_ENCODE ((HRESULT)0x80092002L)
#define CRYPT_E_NOT_FOUND ((HRESULT)0x80092004L)
#define CRYPT_E_EXISTS ((HRESULT)0x80092005L)
#define CRYPT_E_SELF_SIGNED ((HRESULT)0x80092007L)
#define CRYPT_E_NO_KEY_PROPERTY ((HRESULT)0x8009200BL)
#define CRYPT_E_UNEXPECTED_MSG_TYPE ((HRESULT)0x8009200AL)
#define CRYPT_E_BAD_MSG ((HRESULT)0x8009200DL)
#define CRYPT_E_FILE_ERROR ((HRESULT)0x80092003L)
#define CRYPT_E_ASN1_ERROR ((HRESULT)0x80093100L)
#define CRYPT_E_ASN1_EOD ((HRESULT)0x80093102L)
#define CRYPT_E_ASN1_CORRUPT ((HRESULT)0x80093103L)
#define CRYPT_E_ASN1_BADTAG ((HRESULT)0x8009310BL)

// ---- last error ----------------------------------------------------------
EXTERN_C DWORD WINAPI GetLastError(void);
EXTERN_C void WINAPI SetLastError(DWORD dwErrCode);

// ---- text conversion -----------------------------------------------------
#define CP_ACP 0
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080
EXTERN_C int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                        int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);
EXTERN_C int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                        int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                        LPCSTR lpDefaultChar, BOOL* lpUsedDefaultChar);
EXTERN_C int WINAPI lstrlenW(LPCWSTR lpString);
EXTERN_C int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b);
EXTERN_C int _stricmp(const char* a, const char* b);
EXTERN_C int _strnicmp(const char* a, const char* b, size_t n);

// ---- modules, resources and messages --------------------------------------
#define MAKEINTRESOURCEW(i) ((LPWSTR)(ULONG_PTR)((WORD)(i)))
#define IS_INTRESOURCE(p) ((((ULONG_PTR)(p)) >> 16) == 0)
EXTERN_C HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
EXTERN_C HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
EXTERN_C BOOL WINAPI FreeLibrary(HMODULE hLibModule);
EXTERN_C FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
EXTERN_C int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
EXTERN_C HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
EXTERN_C HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage);
EXTERN_C DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
EXTERN_C HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
EXTERN_C LPVOID WINAPI LockResource(HGLOBAL hResData);
EXTERN_C BOOL WINAPI FreeResource(HGLOBAL hResData);

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF
EXTERN_C DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                     DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize,
                                     va_list* Arguments);
EXTERN_C LANGID WINAPI GetUserDefaultUILanguage(void);
EXTERN_C LANGID WINAPI GetThreadUILanguage(void);
EXTERN_C BOOL WINAPI SetThreadLocale(LCID Locale);

// ---- GUIDs and COM -------------------------------------------------------
#define RPC_S_OK 0
EXTERN_C HRESULT WINAPI CoCreateGuid(GUID* pguid);
EXTERN_C int WINAPI StringFromGUID2(REFGUID rguid, LPWSTR lpsz, int cchMax);
#define COINIT_APARTMENTTHREADED 0x2
#define COINIT_MULTITHREADED 0x0
#define CLSCTX_INPROC_SERVER 0x1
EXTERN_C HRESULT WINAPI CoInitialize(LPVOID pvReserved);
EXTERN_C HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
EXTERN_C void WINAPI CoUninitialize(void);

// ---- length-prefixed strings (oleaut32) ------------------------------------
EXTERN_C BSTR WINAPI SysAllocString(const OLECHAR* psz);
EXTERN_C BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
EXTERN_C void WINAPI SysFreeString(BSTR bstrString);
EXTERN_C UINT WINAPI SysStringLen(BSTR pbstr);

// ---- files ---------------------------------------------------------------
#define GENERIC_READ 0x80000000
#define GENERIC_WRITE 0x40000000
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
EXTERN_C DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer);
EXTERN_C HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                   LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                   HANDLE hTemplateFile);
EXTERN_C BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
EXTERN_C BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
EXTERN_C BOOL WINAPI CloseHandle(HANDLE hObject);
EXTERN_C BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);
EXTERN_C DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);
EXTERN_C BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;
// Only "*" and "?" in the last component of the pattern are wild cards.
EXTERN_C HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
EXTERN_C BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
EXTERN_C BOOL WINAPI FindClose(HANDLE hFindFile);

// ---- time ----------------------------------------------------------------
EXTERN_C void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
EXTERN_C void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);
EXTERN_C void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
EXTERN_C BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
EXTERN_C BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
EXTERN_C BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime);
EXTERN_C BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime);
EXTERN_C BOOL WINAPI TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                                     const SYSTEMTIME* lpLocalTime,
                                                     LPSYSTEMTIME lpUniversalTime);
EXTERN_C BOOL WINAPI SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                                     const SYSTEMTIME* lpUniversalTime,
                                                     LPSYSTEMTIME lpLocalTime);
EXTERN_C LONG WINAPI CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2);
EXTERN_C DWORD WINAPI GetCurrentProcessId(void);

// ---- memory --------------------------------------------------------------
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
typedef HANDLE HLOCAL;
EXTERN_C HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
EXTERN_C HLOCAL WINAPI LocalFree(HLOCAL hMem);

// ---- shell string helpers (shlwapi) ----------------------------------------
EXTERN_C LPWSTR WINAPI StrStrIW(LPCWSTR lpFirst, LPCWSTR lpSrch);

// Components that other parts of the layer add.
#include <winreg.h>
