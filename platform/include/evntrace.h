// Event-tracing provider API for non-Windows builds. The implementation
// turns enabled trace messages into lines of a trace file; see
// platform/src/Trace.cpp for how a session is switched on.
#pragma once
#include <windows.h>
#include <wmistr.h>

typedef ULONG(WINAPI* WMIDPREQUEST)(WMIDPREQUESTCODE RequestCode, PVOID RequestContext,
                                    ULONG* BufferSize, PVOID Buffer);

typedef struct _TRACE_GUID_REGISTRATION {
    LPCGUID Guid;
    HANDLE RegHandle;
} TRACE_GUID_REGISTRATION, *PTRACE_GUID_REGISTRATION;

typedef struct _EVENT_TRACE_HEADER {
    USHORT Size;
    union { USHORT FieldTypeFlags; struct { UCHAR HeaderType; UCHAR MarkerFlags; }; };
    union { ULONG Version; struct { UCHAR Type; UCHAR Level; USHORT Version; } Class; };
    ULONG ThreadId;
    ULONG ProcessId;
    LARGE_INTEGER TimeStamp;
    union { GUID Guid; ULONGLONG GuidPtr; };
    union { struct { ULONG ClientContext; ULONG Flags; }; struct { ULONG KernelTime; ULONG UserTime; }; ULONG64 ProcessorTime; };
} EVENT_TRACE_HEADER, *PEVENT_TRACE_HEADER;

typedef struct _MOF_FIELD {
    ULONG64 DataPtr;
    ULONG Length;
    ULONG DataType;
} MOF_FIELD, *PMOF_FIELD;

typedef struct _EVENT_TRACE_PROPERTIES {
    WNODE_HEADER Wnode;
    ULONG BufferSize;
    ULONG MinimumBuffers;
    ULONG MaximumBuffers;
    ULONG MaximumFileSize;
    ULONG LogFileMode;
    ULONG FlushTimer;
    ULONG EnableFlags;
    LONG AgeLimit;
    ULONG NumberOfBuffers;
    ULONG FreeBuffers;
    ULONG EventsLost;
    ULONG BuffersWritten;
    ULONG LogBuffersLost;
    ULONG RealTimeBuffersLost;
    HANDLE LoggerThreadId;
    ULONG LogFileNameOffset;
    ULONG LoggerNameOffset;
} EVENT_TRACE_PROPERTIES, *PEVENT_TRACE_PROPERTIES;

#define WNODE_FLAG_USE_GUID_PTR 0x00080000
#define WNODE_FLAG_USE_MOF_PTR 0x00100000
#define EVENT_TRACE_CONTROL_QUERY 0
#define TRACE_MESSAGE_SEQUENCE 1
#define TRACE_MESSAGE_GUID 2
#define TRACE_MESSAGE_COMPONENTID 4
#define TRACE_MESSAGE_TIMESTAMP 8
#define TRACE_MESSAGE_SYSTEMINFO 32

EXTERN_C ULONG WMIAPI RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext,
                                          LPCGUID ControlGuid, ULONG GuidCount,
                                          PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR MofImagePath,
                                          LPCWSTR MofResourceName, PTRACEHANDLE RegistrationHandle);
EXTERN_C ULONG WMIAPI UnregisterTraceGuids(TRACEHANDLE RegistrationHandle);
EXTERN_C TRACEHANDLE WMIAPI GetTraceLoggerHandle(PVOID Buffer);
EXTERN_C UCHAR WMIAPI GetTraceEnableLevel(TRACEHANDLE TraceHandle);
EXTERN_C ULONG WMIAPI GetTraceEnableFlags(TRACEHANDLE TraceHandle);
EXTERN_C ULONG WMIAPI ControlTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName,
                                    PEVENT_TRACE_PROPERTIES Properties, ULONG ControlCode);
EXTERN_C ULONG WMIAPI TraceEvent(TRACEHANDLE TraceHandle, PEVENT_TRACE_HEADER EventTrace);
EXTERN_C ULONG __cdecl TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                                    USHORT MessageNumber, ...);
EXTERN_C ULONG TraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                              USHORT MessageNumber, va_list MessageArgList);
