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
    // The suffix always fits: a message too long for it is cut short.
    WCHAR suffix[16];
    int suffixLength = FormatWide(suffix, 16, TEXT("\n(0x%08x)"), (DWORD)status);
    size_t textLength = WideLength(buffer);
    size_t room = kCapacity - 1 - (size_t)suffixLength;
    if (textLength > room) textLength = room;
    for (int i = 0; i <= suffixLength; ++i) buffer[textLength + i] = suffix[i];
    return SysAllocString(buffer);
}
