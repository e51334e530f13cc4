#include "VelaStatus.h"

#include "VelaFormat.h"

HRESULT StatusFromLastError(LONG value) {
    if (value <= 0) return (HRESULT)value;
    if (value & 0x20000000) return (HRESULT)((value & 0xFFFF) | 0xA0070000u);
    return (HRESULT)((value & 0xFFFF) | 0x80070000u);
}

HRESULT StatusFromWin32(LONG value) {
    if (value <= 0) return (HRESULT)value;
    return (HRESULT)((value & 0xFFFF) | 0x80070000u);
}

BSTR BuildErrorDescription(HINSTANCE hModule, HRESULT status) {
    constexpr int kCapacity = 512;
    WCHAR buffer[kCapacity] = {};
    if ((DWORD)status & 0x20000000) {
        LoadStringW(hModule, (DWORD)status & 0xFFFF, buffer, kCapacity - 1);
    } else {
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, (DWORD)status, 0,
                       buffer, kCapacity - 1, nullptr);
    }
    buffer[kCapacity - 1] = 0;
    AppendStatusSuffix(buffer, kCapacity, status);
    return SysAllocString(buffer);
}

void AppendStatusSuffix(WCHAR* buffer, size_t capacity, HRESULT status) {
    WCHAR suffix[16];
    int suffixLength = FormatWide(suffix, 16, TEXT("\n(0x%08x)"), (DWORD)status);
    if (capacity <= (size_t)suffixLength) return;
    size_t textLength = 0;
    while (textLength < capacity - 1 && buffer[textLength]) ++textLength;
    size_t room = capacity - 1 - (size_t)suffixLength;
    if (textLength > room) textLength = room;
    for (int i = 0; i <= suffixLength; ++i) buffer[textLength + i] = suffix[i];
}
