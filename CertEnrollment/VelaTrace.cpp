#include "VelaTrace.h"

#include "VelaFormat.h"

#include <cstdio>
#include <cstring>
#include <vector>

const GUID TESSERA_TRACE_CONTROL_GUID = {0x5C8F2A58, 0x369A, 0x44F0, {0x92, 0x35, 0xC0, 0x5E, 0xCB, 0x1D, 0xD7, 0x3E}};

namespace {

// Trace messages of this module carry one message GUID.
// {0B3E0B5C-7A7D-4B7E-9C57-61D0A3F1E2C4}
const GUID kMessageGuid = {0x0B3E0B5C, 0x7A7D, 0x4B7E, {0x9C, 0x57, 0x61, 0xD0, 0xA3, 0xF1, 0xE2, 0xC4}};

constexpr ULONG kMessageFlags = TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP |
                                TRACE_MESSAGE_SYSTEMINFO;  // 43
constexpr size_t kLineCapacity = 512;

using TraceMessageFn = ULONG(__cdecl*)(TRACEHANDLE, ULONG, LPCGUID, USHORT, ...);
using TraceMessageVaFn = ULONG(WINAPI*)(TRACEHANDLE, ULONG, LPCGUID, USHORT, va_list);

TraceControlBlock g_traceBlock;
TraceMessageFn g_pfnTraceMessage = nullptr;
TraceMessageVaFn g_pfnTraceMessageVa = nullptr;

// The plain-event equivalent of TraceMessageVa for platforms without it.
ULONG TraceMessageVaFallback(TRACEHANDLE logger, ULONG, LPCGUID messageGuid, USHORT number, va_list args) {
    struct Argument {
        const void* data;
        size_t length;
    };
    std::vector<Argument> arguments;
    size_t total = 0;
    for (;;) {
        const void* data = va_arg(args, const void*);
        if (!data) break;
        size_t length = va_arg(args, size_t);
        if (length > 8192 || total + length > 8192) return ERROR_INVALID_PARAMETER;
        total += length;
        arguments.push_back({data, length});
    }
    struct {
        EVENT_TRACE_HEADER header;
        MOF_FIELD fields[7];
    } event = {};
    std::vector<unsigned char> joined;
    size_t fieldCount = 0;
    if (arguments.size() <= 7) {
        for (const Argument& a : arguments) {
            event.fields[fieldCount].DataPtr = (ULONG64)(ULONG_PTR)a.data;
            event.fields[fieldCount].Length = (ULONG)a.length;
            ++fieldCount;
        }
    } else {
        joined.reserve(total);
        for (const Argument& a : arguments)
            joined.insert(joined.end(), (const unsigned char*)a.data, (const unsigned char*)a.data + a.length);
        event.fields[0].DataPtr = (ULONG64)(ULONG_PTR)joined.data();
        event.fields[0].Length = (ULONG)joined.size();
        fieldCount = 1;
    }
    event.header.Size = (USHORT)(sizeof(EVENT_TRACE_HEADER) + fieldCount * sizeof(MOF_FIELD));
    event.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR | WNODE_FLAG_USE_GUID_PTR;
    event.header.GuidPtr = (ULONG64)(ULONG_PTR)messageGuid;
    event.header.Class.Type = (UCHAR)number;
    return TraceEvent(logger, &event.header);
}

// The signature is TraceMessage's, USHORT before the variable arguments;
// the promoted argument sits where va_start expects it on every ABI we
// build for, so clang's warning about the promotion is silenced here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wvarargs"
ULONG __cdecl TraceMessageFallback(TRACEHANDLE logger, ULONG flags, LPCGUID guid, USHORT number, ...) {
    va_list args;
    va_start(args, number);
    ULONG rc = g_pfnTraceMessageVa ? g_pfnTraceMessageVa(logger, flags, guid, number, args)
                                   : TraceMessageVaFallback(logger, flags, guid, number, args);
    va_end(args);
    return rc;
}
#pragma GCC diagnostic pop

void ResolveTraceFunctions() {
    HMODULE advapi = LoadLibraryW(TEXT("advapi32"));
    if (advapi) {
        g_pfnTraceMessage = reinterpret_cast<TraceMessageFn>(reinterpret_cast<void*>(GetProcAddress(advapi, "TraceMessage")));
        g_pfnTraceMessageVa = reinterpret_cast<TraceMessageVaFn>(reinterpret_cast<void*>(GetProcAddress(advapi, "TraceMessageVa")));
        FreeLibrary(advapi);
    }
    if (!g_pfnTraceMessageVa) g_pfnTraceMessageVa = TraceMessageVaFallback;
    if (!g_pfnTraceMessage) g_pfnTraceMessage = TraceMessageFallback;
}

// The control GUID as the GlobalLogger subkey names it: lower case, no braces.
void ControlGuidKeyName(WCHAR* out, size_t capacity) {
    const GUID& g = TESSERA_TRACE_CONTROL_GUID;
    FormatWide(out, capacity, TEXT("%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x"), (unsigned)g.Data1,
               (unsigned)g.Data2, (unsigned)g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
               g.Data4[5], g.Data4[6], g.Data4[7]);
}

DWORD ReadDword(HKEY key, const WCHAR* name, bool& present) {
    DWORD value = 0, type = 0, size = sizeof value;
    present = RegQueryValueExW(key, name, nullptr, &type, (LPBYTE)&value, &size) == ERROR_SUCCESS &&
              type == REG_DWORD;
    return present ? value : 0;
}

// The global automatic logger: a session configured in the registry that
// enables the provider from boot on.
void LookUpGlobalLogger(TraceControlBlock& block) {
    HKEY logger = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger"), 0,
                      KEY_READ, &logger) != ERROR_SUCCESS)
        return;
    bool present = false;
    DWORD start = ReadDword(logger, TEXT("Start"), present);
    if (present && start != 0) {
        WCHAR guidName[40];
        ControlGuidKeyName(guidName, 40);
        HKEY provider = nullptr;
        DWORD flags = 0, level = 0;
        if (RegOpenKeyExW(logger, guidName, 0, KEY_READ, &provider) == ERROR_SUCCESS) {
            flags = ReadDword(provider, TEXT("Flags"), present);
            level = ReadDword(provider, TEXT("Level"), present);
            RegCloseKey(provider);
        }
        if (start == 1) {
            alignas(8) unsigned char properties[120] = {};
            static_assert(sizeof(EVENT_TRACE_PROPERTIES) <= 120, "properties record");
            auto* p = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(properties);
            p->Wnode.BufferSize = 120;
            p->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
            ULONG rc = ControlTraceW(0, TEXT("GlobalLogger"), p, EVENT_TRACE_CONTROL_QUERY);
            if ((rc == 0 || rc == ERROR_MORE_DATA) && p->Wnode.HistoricalContext != 0) {
                block.loggerHandle = p->Wnode.HistoricalContext;
                block.enableFlags = flags & 0x7FFFFFFF;
                block.enableLevel = (UCHAR)(level & 0xFF);
            }
        }
    }
    RegCloseKey(logger);
}

void Emit(ULONG flag, USHORT number, const void* first, size_t firstLength, const void* second,
          size_t secondLength) {
    TraceControlBlock* block = g_pTraceControl;
    if (block == &g_traceSentinel || !(block->enableFlags & flag) || !g_pfnTraceMessage) return;
    DWORD saved = GetLastError();
    if (second)
        g_pfnTraceMessage(block->loggerHandle, kMessageFlags, &kMessageGuid, number, first, firstLength, second,
                          secondLength, nullptr);
    else
        g_pfnTraceMessage(block->loggerHandle, kMessageFlags, &kMessageGuid, number, first, firstLength, nullptr);
    SetLastError(saved);
}

// Argument forms: a wide string with its NUL, "NULL" for a null one,
// "<NULL>" for an empty one.
void EmitWideString(ULONG flag, USHORT number, const WCHAR* text) {
    static const WCHAR kNull[] = TEXT("NULL");
    static const WCHAR kEmpty[] = TEXT("<NULL>");
    if (!text) text = kNull;
    else if (!*text) text = kEmpty;
    Emit(flag, number, text, (WideLength(text) + 1) * sizeof(WCHAR), nullptr, 0);
}

}  // namespace

TraceControlBlock g_traceSentinel = {};
TraceControlBlock* volatile g_pTraceControl = &g_traceSentinel;

ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE requestCode, PVOID context, ULONG* bufferSize, PVOID buffer) {
    auto* block = static_cast<TraceControlBlock*>(context);
    if (bufferSize) *bufferSize = 0;
    switch (requestCode) {
    case WMI_ENABLE_EVENTS: {
        TRACEHANDLE logger = GetTraceLoggerHandle(buffer);
        block->loggerHandle = logger;
        block->enableLevel = GetTraceEnableLevel(logger);
        block->enableFlags = GetTraceEnableFlags(logger);
        return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
        block->loggerHandle = 0;
        block->enableLevel = 0;
        block->enableFlags = 0;
        return ERROR_SUCCESS;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

void SetupTracing() {
    DWORD saved = GetLastError();
    ResolveTraceFunctions();
    g_traceBlock = TraceControlBlock{};
    g_pTraceControl = &g_traceBlock;
    TRACE_GUID_REGISTRATION registration = {&kMessageGuid, nullptr};
    RegisterTraceGuidsW(TraceControlCallback, &g_traceBlock, &TESSERA_TRACE_CONTROL_GUID, 1, &registration, nullptr,
                        nullptr, &g_traceBlock.registrationHandle);
    if (g_traceBlock.loggerHandle == 0) LookUpGlobalLogger(g_traceBlock);
    SetLastError(saved);
}

void TeardownTracing() {
    DWORD saved = GetLastError();
    TraceControlBlock* block = g_pTraceControl;
    if (block != &g_traceSentinel && block->registrationHandle) {
        UnregisterTraceGuids(block->registrationHandle);
        block->registrationHandle = 0;
    }
    g_pTraceControl = &g_traceSentinel;
    SetLastError(saved);
}

void TraceResult(HRESULT status, const WCHAR* line) {
    ULONG flag = status < 0 ? TRACE_FLAG_ERROR : TRACE_FLAG_INFO;
    if (!TraceEnabled(flag)) return;
    if (!line) line = TEXT("NULL");
    Emit(flag, TRACE_MSG_WIDE_LINE, &status, sizeof status, line, (WideLength(line) + 1) * sizeof(WCHAR));
}

void TraceNarrowFailure(const char* line) {
    if (!TraceEnabled(TRACE_FLAG_HOST_ERROR)) return;
    if (!line) line = "NULL";
    Emit(TRACE_FLAG_HOST_ERROR, TRACE_MSG_NARROW_LINE, line, std::strlen(line) + 1, nullptr, 0);
}

void TraceNarrowSuccess(const char* line) {
    if (!TraceEnabled(TRACE_FLAG_INFO)) return;
    if (!line) line = "NULL";
    Emit(TRACE_FLAG_INFO, TRACE_MSG_NARROW_LINE, line, std::strlen(line) + 1, nullptr, 0);
}

void TraceFailureLine(HRESULT status, const char* file, int line, const WCHAR* function, const WCHAR* step,
                      const WCHAR* reason) {
    if (!TraceEnabled(status < 0 ? TRACE_FLAG_ERROR : TRACE_FLAG_INFO)) return;
    WCHAR text[kLineCapacity] = {};
    FormatWideFailureLine(text, kLineCapacity, file, line, function, step, reason);
    TraceResult(status, text);
}

void TraceSuccessLine(const WCHAR* function, const WCHAR* step) {
    if (!TraceEnabled(TRACE_FLAG_INFO)) return;
    WCHAR text[kLineCapacity] = {};
    FormatWideSuccessLine(text, kLineCapacity, function, step);
    TraceResult(VELA_OK, text);
}

void TraceHostFailureLine(HRESULT status, const char* file, int line, const char* function, const char* step,
                          const char* reason) {
    if (!TraceEnabled(TRACE_FLAG_HOST_ERROR)) return;
    char text[kLineCapacity] = {};
    FormatHostFailureLine(text, sizeof text, status, file, line, function, step, reason);
    TraceNarrowFailure(text);
}

void TraceHostSuccessLine(const char* file, int line, const char* function, const char* step) {
    if (!TraceEnabled(TRACE_FLAG_INFO)) return;
    char text[kLineCapacity] = {};
    FormatHostSuccessLine(text, sizeof text, file, line, function, step);
    TraceNarrowSuccess(text);
}

int FormatWideFailureLine(WCHAR* out, size_t capacity, const char* file, int line, const WCHAR* function,
                          const WCHAR* step, const WCHAR* reason) {
    return FormatWide(out, capacity, TEXT("[%s(%d):] %ws - %ws [Reason:%ws]"), file, line, function, step, reason);
}

int FormatWideSuccessLine(WCHAR* out, size_t capacity, const WCHAR* function, const WCHAR* step) {
    return FormatWide(out, capacity, TEXT("%ws - %ws"), function, step);
}

int FormatHostFailureLine(char* out, size_t capacity, HRESULT status, const char* file, int line,
                          const char* function, const char* step, const char* reason) {
    return std::snprintf(out, capacity, "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n", file, line,
                         function, step, (unsigned)status, reason);
}

int FormatHostSuccessLine(char* out, size_t capacity, const char* file, int line, const char* function,
                          const char* step) {
    return std::snprintf(out, capacity, "[%s(%d)]:(%s -- %s)\t\t--OK\n", file, line, function, step);
}

void TraceInfo(const WCHAR* format, ...) {
    if (!TraceEnabled(TRACE_FLAG_INFO)) return;
    WCHAR text[kLineCapacity] = {};
    va_list args;
    va_start(args, format);
    FormatWideV(text, kLineCapacity, format, args);
    va_end(args);
    TraceResult(VELA_OK, text);
}

TraceHelper::TraceHelper(const WCHAR* functionName) : m_pwszName(functionName) {
    if (TraceEnabled(TRACE_FLAG_FUNCTION)) EmitWideString(TRACE_FLAG_FUNCTION, TRACE_MSG_ENTER, m_pwszName);
}

TraceHelper::~TraceHelper() {
    if (TraceEnabled(TRACE_FLAG_FUNCTION)) EmitWideString(TRACE_FLAG_FUNCTION, TRACE_MSG_EXIT, m_pwszName);
}
