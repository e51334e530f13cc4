// Low-level descriptor I/O of the C runtime, for non-Windows builds.
#pragma once
#include <cstdio>
#include <fcntl.h>

#ifndef _O_BINARY
#define _O_BINARY 0x8000
#endif
#ifndef _O_TEXT
#define _O_TEXT 0x4000
#endif

extern "C" int _setmode(int fd, int mode);
extern "C" int _read(int fd, void* buffer, unsigned int count);
extern "C" int _write(int fd, const void* buffer, unsigned int count);
extern "C" int _fileno(FILE* stream);
