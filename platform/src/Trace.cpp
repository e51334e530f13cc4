// Event-tracing provider API. A provider registered with RegisterTraceGuidsW
// is enabled when the environment names a trace session:
//
//   TESSERA_TRACE=<flags>[,<file>]     e.g. TESSERA_TRACE=0xF,/tmp/tessera.trace
//
// <flags> selects the message kinds (the provider's enable flags); <file>
// defaults to $XDG_STATE_HOME/tessera/tessera.trace (~/.local/state/tessera
// when XDG_STATE_HOME is unset), in a folder created 0700. Each enabled
// message becomes one UTF-8 line appended to the file with a UTC timestamp
// and the process id. The file is created 0600; a symbolic link, anything
// but a regular file, or a file of another user is refused (tracing stays
// off), and opening never waits (a FIFO in its place does not block the
// host). Nothing is ever written to standard output or standard error.
#include <windows.h>
#include <evntrace.h>
#include <tessera/platform_internal.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Message numbers of the core's trace points and the kind of their one or
// two arguments (the decoding table a trace consumer needs).
enum class ArgKind { Wide, Narrow, Status };
struct MessageLayout {
    USHORT number;
    ArgKind first;
    int count;
    ArgKind second;
};
const MessageLayout kLayouts[] = {
    {10, ArgKind::Wide, 1, ArgKind::Wide},    // scope entry: function name
    {11, ArgKind::Wide, 1, ArgKind::Wide},    // scope exit: function name
    {12, ArgKind::Status, 2, ArgKind::Wide},  // wide line with its status
    {13, ArgKind::Narrow, 1, ArgKind::Narrow},  // narrow line
};

struct Session {
    std::atomic<ULONG> flags{0};
    int fd = -1;
    TRACEHANDLE logger = 0;
};

Session g_session;
const TRACEHANDLE kLogger = 0x7E55E7A;

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    struct passwd* pw = getpwuid(::geteuid());
    return pw && pw->pw_dir ? pw->pw_dir : "/";
}

// A folder of this user's alone: created 0700, or already there as a real
// folder (not a link) owned by this user and closed to others.
bool PrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

// The per-user default; empty when its folder cannot be made private.
std::string DefaultTraceFile() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base = (state && *state) ? std::string(state) : HomeDirectory() + "/.local/state";
    for (size_t slash = base.find('/', 1); slash != std::string::npos; slash = base.find('/', slash + 1))
        ::mkdir(base.substr(0, slash).c_str(), 0700);
    ::mkdir(base.c_str(), 0700);
    std::string folder = base + "/tessera";
    return PrivateFolder(folder) ? folder + "/tessera.trace" : std::string();
}

// Opens the trace file for appending, or -1. Never follows a final symbolic
// link, never waits on a FIFO or device, and keeps only a regular file of
// this user with no other name (a hard link could point at any of the
// user's files), which is made 0600 if it was looser.
int OpenTraceFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                    0600);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1 ||
        ((st.st_mode & 077) && ::fchmod(fd, 0600) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ParseControl(ULONG& flags, std::string& file) {
    const char* control = std::getenv("TESSERA_TRACE");
    if (!control || !*control) return false;
    std::string text(control);
    size_t comma = text.find(',');
    std::string flagText = text.substr(0, comma);
    errno = 0;
    char* end = nullptr;
    unsigned long value = std::strtoul(flagText.c_str(), &end, 0);
    if (errno || end == flagText.c_str() || value == 0) return false;
    flags = ULONG(value & 0x7FFFFFFF);
    file = comma == std::string::npos ? DefaultTraceFile() : text.substr(comma + 1);
    return !file.empty();
}

std::string Timestamp() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm t;
    gmtime_r(&ts.tv_sec, &t);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ts.tv_nsec / 1000000);
    return text;
}

std::string RenderArgument(ArgKind kind, const void* data, size_t length) {
    if (!data) return "NULL";
    switch (kind) {
    case ArgKind::Status: {
        uint32_t v = 0;
        std::memcpy(&v, data, length < 4 ? length : 4);
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", v);
        return text;
    }
    case ArgKind::Wide: {
        size_t chars = length / sizeof(WCHAR);
        std::u16string wide(static_cast<const WCHAR*>(data), chars);
        while (!wide.empty() && wide.back() == 0) wide.pop_back();
        return tessera::ToUtf8(wide.c_str(), wide.size());
    }
    case ArgKind::Narrow: {
        std::string narrow(static_cast<const char*>(data), length);
        while (!narrow.empty() && narrow.back() == 0) narrow.pop_back();
        while (!narrow.empty() && narrow.back() == '\n') narrow.pop_back();
        return narrow;
    }
    }
    return {};
}

void WriteLine(USHORT number, va_list args) {
    const MessageLayout* layout = nullptr;
    for (const auto& l : kLayouts)
        if (l.number == number) layout = &l;
    std::string line = Timestamp() + " pid=" + std::to_string(::getpid()) + " #" + std::to_string(number);
    for (int i = 0;; ++i) {
        const void* data = va_arg(args, const void*);
        if (!data) break;
        size_t length = va_arg(args, size_t);
        ArgKind kind = ArgKind::Narrow;
        if (layout) kind = i == 0 ? layout->first : layout->second;
        line += ' ';
        line += RenderArgument(kind, data, length);
    }
    line += '\n';
    // One write per line with O_APPEND keeps lines of concurrent processes whole.
    ssize_t ignored = ::write(g_session.fd, line.data(), line.size());
    (void)ignored;
}

}  // namespace

extern "C" ULONG RegisterTraceGuidsW(WMIDPREQUEST callback, PVOID context, LPCGUID, ULONG,
                                     PTRACE_GUID_REGISTRATION, LPCWSTR, LPCWSTR, PTRACEHANDLE registration) {
    if (!callback || !registration) return ERROR_INVALID_PARAMETER;
    *registration = 1;
    ULONG flags = 0;
    std::string file;
    if (!ParseControl(flags, file)) return ERROR_SUCCESS;
    int fd = OpenTraceFile(file);
    if (fd < 0) return ERROR_SUCCESS;  // tracing stays off; the caller runs on
    if (g_session.fd >= 0) ::close(g_session.fd);
    g_session.fd = fd;
    g_session.logger = kLogger;
    g_session.flags = flags;
    WNODE_HEADER header = {};
    header.BufferSize = sizeof header;
    header.HistoricalContext = kLogger;
    header.Flags = WNODE_FLAG_TRACED_GUID;
    ULONG size = 0;
    callback(WMI_ENABLE_EVENTS, context, &size, &header);
    return ERROR_SUCCESS;
}

extern "C" ULONG UnregisterTraceGuids(TRACEHANDLE) {
    if (g_session.fd >= 0) ::close(g_session.fd);
    g_session.fd = -1;
    g_session.flags = 0;
    g_session.logger = 0;
    return ERROR_SUCCESS;
}

extern "C" TRACEHANDLE GetTraceLoggerHandle(PVOID buffer) {
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return static_cast<WNODE_HEADER*>(buffer)->HistoricalContext;
}

extern "C" UCHAR GetTraceEnableLevel(TRACEHANDLE handle) { return 0; }

extern "C" ULONG GetTraceEnableFlags(TRACEHANDLE handle) {
    return handle == g_session.logger ? g_session.flags.load() : 0;
}

extern "C" ULONG ControlTraceW(TRACEHANDLE, LPCWSTR, PEVENT_TRACE_PROPERTIES, ULONG) {
    return 4201;  // ERROR_WMI_INSTANCE_NOT_FOUND: no system-wide logger sessions here
}

extern "C" ULONG TraceEvent(TRACEHANDLE, PEVENT_TRACE_HEADER) { return ERROR_SUCCESS; }

extern "C" ULONG TraceMessageVa(TRACEHANDLE logger, ULONG, LPCGUID, USHORT number, va_list args) {
    if (logger == 0 || logger != g_session.logger || g_session.fd < 0) return ERROR_INVALID_HANDLE;
    va_list copy;
    va_copy(copy, args);
    WriteLine(number, copy);
    va_end(copy);
    return ERROR_SUCCESS;
}

// The Windows signature fixes the USHORT before the variable arguments;
// on the ABIs this layer serves the promoted argument sits where va_start
// expects it, so clang's warning about the promotion does not apply here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wvarargs"
extern "C" ULONG TraceMessage(TRACEHANDLE logger, ULONG flags, LPCGUID guid, USHORT number, ...) {
    va_list args;
    va_start(args, number);
    ULONG rc = TraceMessageVa(logger, flags, guid, number, args);
    va_end(args);
    return rc;
}
#pragma GCC diagnostic pop
