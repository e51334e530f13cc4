// How a module's embedded resources are reached on platforms without PE
// resources: the deliverable links a generated table (resources/) that
// provides these two functions, and LoadStringW / FindResourceW read them.
#pragma once
#include <windows.h>

struct TesseraStringResource {
    WORD language;     // 1033 or 2052
    UINT id;
    const char* utf8;  // NUL-terminated UTF-8 text
};

struct TesseraDataResource {
    const char* type;  // named resource type, e.g. "CERTIFICATE"
    UINT id;
    WORD language;
    const unsigned char* data;
    DWORD size;
};

extern "C" const TesseraStringResource* TesseraStringResources(size_t* count);
extern "C" const TesseraDataResource* TesseraDataResources(size_t* count);
