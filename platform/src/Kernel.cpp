// kernel32 / oleaut32 / ole32 / shlwapi subset: last error, text conversion,
// modules and resources, system message texts, GUIDs, BSTRs, files, time.
#include <windows.h>
#include <io.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <evntrace.h>
#include <tessera/platform_internal.h>
#include <tessera/resources.h>

#include <openssl/rand.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
thread_local DWORD t_lastError = 0;
}

extern "C" DWORD GetLastError(void) { return t_lastError; }
extern "C" void SetLastError(DWORD code) { t_lastError = code; }

// ---- UTF-8 / UTF-16 (conversion itself in Text.cpp) ----------------------
namespace {
bool SupportedCodePage(UINT codePage) { return codePage == CP_UTF8 || codePage == CP_ACP; }
}  // namespace

extern "C" int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceLength,
                                   LPWSTR target, int targetLength) {
    if (!SupportedCodePage(codePage) || !source || sourceLength == 0 || targetLength < 0 ||
        (targetLength > 0 && !target)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = sourceLength < 0 ? std::strlen(source) + 1 : size_t(sourceLength);
    std::u16string wide = tessera::ToUtf16(source, length);
    if (targetLength == 0) return int(wide.size());
    if (wide.size() > size_t(targetLength)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(target, wide.data(), wide.size() * sizeof(WCHAR));
    return int(wide.size());
}

extern "C" int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceLength,
                                   LPSTR target, int targetLength, LPCSTR, BOOL* usedDefault) {
    if (!SupportedCodePage(codePage) || !source || sourceLength == 0 || targetLength < 0 ||
        (targetLength > 0 && !target)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (usedDefault) *usedDefault = FALSE;
    size_t length = sourceLength < 0 ? std::char_traits<WCHAR>::length(source) + 1 : size_t(sourceLength);
    std::string narrow = tessera::ToUtf8(source, length);
    if (targetLength == 0) return int(narrow.size());
    if (narrow.size() > size_t(targetLength)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(target, narrow.data(), narrow.size());
    return int(narrow.size());
}

extern "C" int lstrlenW(LPCWSTR text) { return text ? int(std::char_traits<WCHAR>::length(text)) : 0; }

namespace {
WCHAR FoldAscii(WCHAR c) { return (c >= u'A' && c <= u'Z') ? WCHAR(c + 32) : c; }
}

extern "C" int lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    for (;; ++a, ++b) {
        WCHAR x = FoldAscii(*a), y = FoldAscii(*b);
        if (x != y) return x < y ? -1 : 1;
        if (!x) return 0;
    }
}

extern "C" int _stricmp(const char* a, const char* b) { return strcasecmp(a, b); }
extern "C" int _strnicmp(const char* a, const char* b, size_t n) { return strncasecmp(a, b, n); }

extern "C" LPWSTR StrStrIW(LPCWSTR first, LPCWSTR search) {
    if (!first || !search) return nullptr;
    if (!*search) return const_cast<LPWSTR>(first);
    for (; *first; ++first) {
        const WCHAR* a = first;
        const WCHAR* b = search;
        while (*a && *b && FoldAscii(*a) == FoldAscii(*b)) ++a, ++b;
        if (!*b) return const_cast<LPWSTR>(first);
    }
    return nullptr;
}

// ---- modules and resources -------------------------------------------------
namespace {
// The executable's own module. Libraries resolved by name are pseudo modules
// whose procedures this layer supplies itself.
int g_selfModule;
int g_advapi32Module;
}

extern "C" HMODULE GetModuleHandleW(LPCWSTR name) {
    if (!name) return reinterpret_cast<HMODULE>(&g_selfModule);
    return nullptr;
}

extern "C" HMODULE LoadLibraryW(LPCWSTR name) {
    std::string n = tessera::ToUtf8(name);
    for (auto& c : n) c = char(std::tolower((unsigned char)c));
    if (n == "advapi32" || n == "advapi32.dll") return reinterpret_cast<HMODULE>(&g_advapi32Module);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

extern "C" BOOL FreeLibrary(HMODULE) { return TRUE; }

extern "C" FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (module == reinterpret_cast<HMODULE>(&g_advapi32Module) && name) {
        if (std::strcmp(name, "TraceMessage") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&TraceMessage));
        if (std::strcmp(name, "TraceMessageVa") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&TraceMessageVa));
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

namespace tessera {
WORD UserInterfaceLanguage() {
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        std::string v(value);
        if (v.rfind("zh_CN", 0) == 0 || v.rfind("zh_SG", 0) == 0 || v.rfind("zh_Hans", 0) == 0) return 2052;
        return 1033;
    }
    return 1033;
}
}  // namespace tessera

extern "C" LANGID GetUserDefaultUILanguage(void) { return tessera::UserInterfaceLanguage(); }
extern "C" LANGID GetThreadUILanguage(void) { return tessera::UserInterfaceLanguage(); }
extern "C" BOOL SetThreadLocale(LCID) { return TRUE; }

extern "C" int LoadStringW(HINSTANCE, UINT id, LPWSTR buffer, int capacity) {
    if (!buffer || capacity <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    buffer[0] = 0;
    size_t count = 0;
    const TesseraStringResource* table = TesseraStringResources(&count);
    WORD language = tessera::UserInterfaceLanguage();
    const char* found = nullptr;
    for (size_t i = 0; i < count; ++i) {
        if (table[i].id != id) continue;
        if (table[i].language == language) { found = table[i].utf8; break; }
        if (!found && table[i].language == 1033) found = table[i].utf8;
    }
    if (!found) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    std::u16string text = tessera::ToUtf16(found);
    size_t n = std::min(text.size(), size_t(capacity - 1));
    std::memcpy(buffer, text.data(), n * sizeof(WCHAR));
    buffer[n] = 0;
    return int(n);
}

namespace {
struct ResourceHandle {
    const TesseraDataResource* entry;
};

const TesseraDataResource* LookupData(LPCWSTR name, LPCWSTR type, int language) {
    if (!IS_INTRESOURCE(name) || IS_INTRESOURCE(type)) return nullptr;
    UINT id = UINT(reinterpret_cast<ULONG_PTR>(name));
    std::string t = tessera::ToUtf8(type);
    size_t count = 0;
    const TesseraDataResource* table = TesseraDataResources(&count);
    for (size_t i = 0; i < count; ++i)
        if (table[i].id == id && _stricmp(table[i].type, t.c_str()) == 0 &&
            (language < 0 || table[i].language == language))
            return &table[i];
    return nullptr;
}
}  // namespace

extern "C" HRSRC FindResourceW(HMODULE, LPCWSTR name, LPCWSTR type) {
    const TesseraDataResource* entry = LookupData(name, type, -1);
    if (!entry) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HRSRC>(const_cast<TesseraDataResource*>(entry));
}

extern "C" HRSRC FindResourceExW(HMODULE, LPCWSTR type, LPCWSTR name, WORD language) {
    const TesseraDataResource* entry = LookupData(name, type, language);
    if (!entry) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HRSRC>(const_cast<TesseraDataResource*>(entry));
}

extern "C" DWORD SizeofResource(HMODULE, HRSRC info) {
    if (!info) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return reinterpret_cast<const TesseraDataResource*>(info)->size;
}

extern "C" HGLOBAL LoadResource(HMODULE, HRSRC info) {
    if (!info) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<unsigned char*>(reinterpret_cast<const TesseraDataResource*>(info)->data);
}

extern "C" LPVOID LockResource(HGLOBAL data) { return data; }
extern "C" BOOL FreeResource(HGLOBAL) { return FALSE; }

// ---- GUIDs, COM, BSTR ------------------------------------------------------
extern "C" HRESULT CoCreateGuid(GUID* guid) {
    if (!guid) return E_INVALIDARG;
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return E_FAIL;
    bytes[6] = (bytes[6] & 0x0F) | 0x40;  // version 4
    bytes[8] = (bytes[8] & 0x3F) | 0x80;  // RFC 4122 variant
    guid->Data1 = (DWORD(bytes[0]) << 24) | (DWORD(bytes[1]) << 16) | (DWORD(bytes[2]) << 8) | bytes[3];
    guid->Data2 = WORD((bytes[4] << 8) | bytes[5]);
    guid->Data3 = WORD((bytes[6] << 8) | bytes[7]);
    std::memcpy(guid->Data4, bytes + 8, 8);
    return S_OK;
}

extern "C" int StringFromGUID2(REFGUID g, LPWSTR out, int capacity) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    if (!out || capacity < 39) return 0;
    for (int i = 0; i < 39; ++i) out[i] = WCHAR(text[i]);
    return 39;
}

namespace {
thread_local int t_comInitCount = 0;
}
extern "C" HRESULT CoInitialize(LPVOID) { return CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
extern "C" HRESULT CoInitializeEx(LPVOID, DWORD) { return t_comInitCount++ == 0 ? S_OK : S_FALSE; }
extern "C" void CoUninitialize(void) {
    if (t_comInitCount > 0) --t_comInitCount;
}

// A BSTR is preceded by its byte length (32-bit) and followed by a NUL.
extern "C" BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    auto* block = static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + (size_t(length) + 1) * sizeof(OLECHAR)));
    if (!block) return nullptr;
    uint32_t bytes = length * sizeof(OLECHAR);
    std::memcpy(block, &bytes, sizeof bytes);
    auto* str = reinterpret_cast<OLECHAR*>(block + sizeof(uint32_t));
    if (text) std::memcpy(str, text, length * sizeof(OLECHAR));
    else std::memset(str, 0, length * sizeof(OLECHAR));
    str[length] = 0;
    return str;
}

extern "C" BSTR SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    return SysAllocStringLen(text, UINT(std::char_traits<OLECHAR>::length(text)));
}

extern "C" void SysFreeString(BSTR text) {
    if (text) std::free(reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t));
}

extern "C" UINT SysStringLen(BSTR text) {
    if (!text) return 0;
    uint32_t bytes;
    std::memcpy(&bytes, reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t), sizeof bytes);
    return bytes / sizeof(OLECHAR);
}

// ---- files -------------------------------------------------------------------
namespace {
DWORD ErrorFromErrno(int e) {
    switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    default: return ERROR_INVALID_FUNCTION;
    }
}

struct FileHandle {
    int fd;
};
}  // namespace

extern "C" DWORD GetTempPathW(DWORD capacity, LPWSTR buffer) {
    const char* dir = std::getenv("TMPDIR");
    std::string path = (dir && *dir) ? dir : "/tmp";
    if (path.back() != '/') path.push_back('/');
    std::u16string wide = tessera::ToUtf16(path);
    if (wide.size() + 1 > capacity || !buffer) return DWORD(wide.size() + 1);
    std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    return DWORD(wide.size());
}

extern "C" HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition,
                              DWORD, HANDLE) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) flags |= O_RDWR;
    else if (access & GENERIC_WRITE) flags |= O_WRONLY;
    else flags |= O_RDONLY;
    switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default: break;
    }
    int fd = ::open(tessera::ToUtf8(name).c_str(), flags, 0600);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    return new FileHandle{fd};
}

extern "C" BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    if (!file || file == INVALID_HANDLE_VALUE) return tessera::Fail(ERROR_INVALID_HANDLE);
    int fd = static_cast<FileHandle*>(file)->fd;
    DWORD done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, static_cast<const char*>(data) + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (written) *written = done;
            return tessera::Fail(ErrorFromErrno(errno));
        }
        done += DWORD(n);
    }
    if (written) *written = done;
    return TRUE;
}

extern "C" BOOL ReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED) {
    if (!file || file == INVALID_HANDLE_VALUE) return tessera::Fail(ERROR_INVALID_HANDLE);
    ssize_t n;
    do n = ::read(static_cast<FileHandle*>(file)->fd, data, size);
    while (n < 0 && errno == EINTR);
    if (n < 0) return tessera::Fail(ErrorFromErrno(errno));
    if (read) *read = DWORD(n);
    return TRUE;
}

extern "C" BOOL CloseHandle(HANDLE handle) {
    if (!handle || handle == INVALID_HANDLE_VALUE) return tessera::Fail(ERROR_INVALID_HANDLE);
    auto* file = static_cast<FileHandle*>(handle);
    int rc = ::close(file->fd);
    delete file;
    return rc == 0 ? TRUE : tessera::Fail(ErrorFromErrno(errno));
}

extern "C" BOOL DeleteFileW(LPCWSTR name) {
    if (!name) return tessera::Fail(ERROR_INVALID_PARAMETER);
    if (::unlink(tessera::ToUtf8(name).c_str()) != 0) return tessera::Fail(ErrorFromErrno(errno));
    return TRUE;
}

extern "C" DWORD GetFileAttributesW(LPCWSTR name) {
    struct stat st;
    if (!name || ::stat(tessera::ToUtf8(name).c_str(), &st) != 0) {
        SetLastError(name ? ErrorFromErrno(errno) : ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(st.st_mode) ? 0x10 : FILE_ATTRIBUTE_NORMAL;
}

extern "C" BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES) {
    if (!name) return tessera::Fail(ERROR_INVALID_PARAMETER);
    if (::mkdir(tessera::ToUtf8(name).c_str(), 0700) != 0)
        return tessera::Fail(errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorFromErrno(errno));
    return TRUE;
}

namespace {
struct FindHandle {
    DIR* dir;
    std::string directory;  // with its trailing '/'
    std::string pattern;
};

bool CopyName(const std::string& name, WCHAR* out) {
    std::u16string wide = tessera::ToUtf16(name);
    if (wide.size() + 1 > MAX_PATH) return false;
    std::memcpy(out, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    return true;
}

FILETIME FileTimeOf(const struct timespec& t) {
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
    uint64_t ticks = uint64_t(int64_t(t.tv_sec) + kSecondsFrom1601To1970) * 10000000u + uint64_t(t.tv_nsec / 100);
    return FILETIME{DWORD(ticks), DWORD(ticks >> 32)};
}

// The next entry that matches; false at the end of the directory.
bool NextMatch(FindHandle& find, WIN32_FIND_DATAW& data) {
    while (struct dirent* entry = ::readdir(find.dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || ::fnmatch(find.pattern.c_str(), name.c_str(), FNM_PERIOD) != 0) continue;
        struct stat st;
        if (::stat((find.directory + name).c_str(), &st) != 0) continue;
        data = WIN32_FIND_DATAW{};
        if (!CopyName(name, data.cFileName)) continue;
        data.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        data.ftCreationTime = FileTimeOf(st.st_ctim);
        data.ftLastAccessTime = FileTimeOf(st.st_atim);
        data.ftLastWriteTime = FileTimeOf(st.st_mtim);
        data.nFileSizeHigh = DWORD(uint64_t(st.st_size) >> 32);
        data.nFileSizeLow = DWORD(st.st_size);
        return true;
    }
    return false;
}
}  // namespace

extern "C" HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    if (!pattern || !data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string text = tessera::ToUtf8(pattern);
    size_t slash = text.rfind('/');
    auto* find = new FindHandle{nullptr, slash == std::string::npos ? "./" : text.substr(0, slash + 1),
                                slash == std::string::npos ? text : text.substr(slash + 1)};
    find->dir = ::opendir(find->directory.c_str());
    if (!find->dir) {
        SetLastError(ErrorFromErrno(errno) == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno));
        delete find;
        return INVALID_HANDLE_VALUE;
    }
    if (!NextMatch(*find, *data)) {
        ::closedir(find->dir);
        delete find;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return find;
}

extern "C" BOOL FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW data) {
    if (!handle || handle == INVALID_HANDLE_VALUE || !data) return tessera::Fail(ERROR_INVALID_HANDLE);
    return NextMatch(*static_cast<FindHandle*>(handle), *data) ? TRUE : tessera::Fail(ERROR_NO_MORE_FILES);
}

extern "C" BOOL FindClose(HANDLE handle) {
    if (!handle || handle == INVALID_HANDLE_VALUE) return tessera::Fail(ERROR_INVALID_HANDLE);
    auto* find = static_cast<FindHandle*>(handle);
    ::closedir(find->dir);
    delete find;
    return TRUE;
}

extern "C" BOOL PathAppendW(LPWSTR path, LPCWSTR more) {
    if (!path || !more) return tessera::Fail(ERROR_INVALID_PARAMETER);
    std::u16string joined = path;
    if (!joined.empty() && joined.back() != u'/') joined.push_back(u'/');
    while (*more == u'/') ++more;
    joined += more;
    if (joined.size() + 1 > MAX_PATH) return tessera::Fail(ERROR_INVALID_NAME);
    std::memcpy(path, joined.c_str(), (joined.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

extern "C" HRESULT SHGetFolderPathW(HWND, int csidl, HANDLE, DWORD, LPWSTR path) {
    if (!path || (csidl & 0xFF) != CSIDL_LOCAL_APPDATA) return E_INVALIDARG;
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    std::string folder;
    if (cache && cache[0] == '/') folder = cache;
    else if (home && home[0] == '/') folder = std::string(home) + "/.cache";
    else return HRESULT(0x80070003);  // HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if ((csidl & CSIDL_FLAG_CREATE) && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return HRESULT(0x80070000u | ErrorFromErrno(errno));
    if (!CopyName(folder, path)) return HRESULT(0x8007007Bu);  // HRESULT_FROM_WIN32(ERROR_INVALID_NAME)
    return S_OK;
}

extern "C" DWORD GetCurrentProcessId(void) { return DWORD(::getpid()); }

// ---- C runtime descriptor I/O ------------------------------------------------
extern "C" int _setmode(int fd, int mode) {
    if (fd < 0 || (mode != _O_BINARY && mode != _O_TEXT)) {
        errno = EINVAL;
        return -1;
    }
    return _O_BINARY;  // POSIX descriptors are always untranslated
}

extern "C" int _read(int fd, void* buffer, unsigned int count) {
    ssize_t n;
    do n = ::read(fd, buffer, count);
    while (n < 0 && errno == EINTR);
    return int(n);
}

extern "C" int _write(int fd, const void* buffer, unsigned int count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::write(fd, static_cast<const char*>(buffer) + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done ? int(done) : -1;
        }
        done += size_t(n);
    }
    return int(done);
}

extern "C" int _fileno(FILE* stream) { return ::fileno(stream); }

// ---- memory -----------------------------------------------------------------
extern "C" HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    void* p = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

extern "C" HLOCAL LocalFree(HLOCAL p) {
    std::free(p);
    return nullptr;
}
