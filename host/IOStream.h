// Framing of the native-messaging channel: each message is a 4-byte
// little-endian length followed by that many bytes of UTF-8 JSON.
#pragma once
#include <windows.h>

#include "Misc.h"

// A longer response body is replaced by the length FF FF FF FF alone.
constexpr DWORD NM_MAX_RESPONSE_LENGTH = 0x100000;
// Browsers never send more than 64 MiB; a longer announced request ends the
// conversation like a failed allocation, before anything is allocated.
constexpr DWORD NM_MAX_REQUEST_LENGTH = 0x4000000;
// Length values read as end of input.
constexpr DWORD NM_END_LENGTH_ZERO = 0;
constexpr DWORD NM_END_LENGTH_ALL_ONES = 0xFFFFFFFF;

// Standard input, then standard output, to binary mode. 0 or -1.
int SetTranslationMode();

// Reads one message. On success the message (NUL-terminated, N+1 bytes) and
// its length N go to the out-parameters that are non-null; at end of input
// (no length, length 0 or FF FF FF FF) the message is null and the length 0.
// 0; -1 for a request that cannot be held or a body cut short by end of
// input; the runtime library's errno when a read fails.
int ReadFromNativeMessaging(CharBuffer* ppszInputMsg, int fd, DWORD* pdwLength);

// Writes one framed message. 0, or -1 when it is too long (then the length
// FF FF FF FF alone is written) or cannot be written in full.
int WriteToNativeMessaging(const char* pszMsg, int fd);
