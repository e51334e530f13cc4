// Diagnostic tracing through the platform's trace provider. Nothing is
// emitted unless a trace session has enabled the provider; the enable flags
// select the kinds of messages. Tracing never fails its caller and never
// changes the thread's last-error value.
#pragma once
#include <windows.h>
#include <evntrace.h>

#include "VelaStatus.h"

constexpr ULONG TRACE_FLAG_HOST_ERROR = 0x1;  // failure lines of the host's own modules
constexpr ULONG TRACE_FLAG_ERROR = 0x2;       // failure lines of the core and the host's wrappers
constexpr ULONG TRACE_FLAG_INFO = 0x4;        // success lines and values
constexpr ULONG TRACE_FLAG_FUNCTION = 0x8;    // function entry and exit

// Message numbers of the trace points (a trace decoder's view of them).
constexpr USHORT TRACE_MSG_ENTER = 10;       // wide function name
constexpr USHORT TRACE_MSG_EXIT = 11;        // wide function name
constexpr USHORT TRACE_MSG_WIDE_LINE = 12;   // status, wide line
constexpr USHORT TRACE_MSG_NARROW_LINE = 13; // narrow line

// {5C8F2A58-369A-44F0-9235-C05ECB1DD73E}
extern const GUID TESSERA_TRACE_CONTROL_GUID;

struct TraceControlBlock {
    TRACEHANDLE registrationHandle;
    TRACEHANDLE loggerHandle;
    ULONG enableFlags;
    UCHAR enableLevel;
};

// Points at a sentinel until set-up has run and again after teardown.
extern TraceControlBlock* volatile g_pTraceControl;
extern TraceControlBlock g_traceSentinel;

inline bool TraceEnabled(ULONG flag) {
    TraceControlBlock* block = g_pTraceControl;
    return block != &g_traceSentinel && (block->enableFlags & flag) != 0;
}

void SetupTracing();
void TeardownTracing();

// The platform's control callback (enable, disable).
ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE requestCode, PVOID context, ULONG* bufferSize, PVOID buffer);

// Emits a wide line: failure (flag 0x2) when status < 0, else information (0x4).
void TraceResult(HRESULT status, const WCHAR* line);
// Emits an 8-bit line of the host's modules: failure under 0x1, success under 0x4.
void TraceNarrowFailure(const char* line);
void TraceNarrowSuccess(const char* line);

// Builders of the four line forms (each returns immediately when its kind
// of message is not enabled).
void TraceFailureLine(HRESULT status, const char* file, int line, const WCHAR* function, const WCHAR* step,
                      const WCHAR* reason);
void TraceSuccessLine(const WCHAR* function, const WCHAR* step);
void TraceHostFailureLine(HRESULT status, const char* file, int line, const char* function, const char* step,
                          const char* reason);
void TraceHostSuccessLine(const char* file, int line, const char* function, const char* step);
// The line texts themselves (what the builders above emit).
int FormatWideFailureLine(WCHAR* out, size_t capacity, const char* file, int line, const WCHAR* function,
                          const WCHAR* step, const WCHAR* reason);
int FormatWideSuccessLine(WCHAR* out, size_t capacity, const WCHAR* function, const WCHAR* step);
int FormatHostFailureLine(char* out, size_t capacity, HRESULT status, const char* file, int line,
                          const char* function, const char* step, const char* reason);
int FormatHostSuccessLine(char* out, size_t capacity, const char* file, int line, const char* function,
                          const char* step);
// A value line in the wide success form's flag (0x4), formatted with FormatWide.
void TraceInfo(const WCHAR* format, ...);

// The per-function trace scope: entry on construction, exit on destruction.
class TraceHelper {
public:
    explicit TraceHelper(const WCHAR* functionName);
    ~TraceHelper();
    TraceHelper(const TraceHelper&) = delete;
    TraceHelper& operator=(const TraceHelper&) = delete;
    const WCHAR* Name() const { return m_pwszName; }

private:
    const WCHAR* m_pwszName;
};

// Convenience forms used throughout the core. A function opens its scope
// with VELA_TRACE_SCOPE("Class::Function"); failures and successes are then
// logged with the step and reason literals of that function.
#define VELA_TRACE_SCOPE(name) TraceHelper vela_traceScope(TEXT(name))
#define VELA_LOG_FAILURE(status, step, reason) \
    TraceFailureLine((status), __FILE__, __LINE__, vela_traceScope.Name(), TEXT(step), TEXT(reason))
#define VELA_LOG_SUCCESS(step) TraceSuccessLine(vela_traceScope.Name(), TEXT(step))

// The host's own modules use the narrow forms with a narrow function name.
#define VELA_HOST_FAILURE(status, function, step, reason) \
    TraceHostFailureLine((status), VelaFileName(__FILE__), __LINE__, (function), (step), (reason))
#define VELA_HOST_SUCCESS(function, step) TraceHostSuccessLine(VelaFileName(__FILE__), __LINE__, (function), (step))

constexpr const char* VelaFileName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}
