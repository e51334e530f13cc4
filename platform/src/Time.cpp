// Time functions: FILETIME is 100-nanosecond ticks since 1601-01-01 UTC.
// Local time uses the process's time-zone rules (TZ, /etc/localtime).
#include <windows.h>

#include <ctime>

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = int(yy + (m <= 2));
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

uint64_t ToTicks(const FILETIME& ft) { return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

FILETIME FromTicks(uint64_t t) { return FILETIME{DWORD(t & 0xFFFFFFFF), DWORD(t >> 32)}; }

bool ValidSystemTime(const SYSTEMTIME& st) {
    return st.wYear >= 1601 && st.wYear <= 30827 && st.wMonth >= 1 && st.wMonth <= 12 && st.wDay >= 1 &&
           st.wDay <= DaysInMonth(st.wYear, st.wMonth) && st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 &&
           st.wMilliseconds < 1000;
}

// Seconds since 1970 for a broken-down time, without time-zone adjustment.
int64_t UnixSeconds(const SYSTEMTIME& st) {
    return DaysFromCivil(st.wYear, st.wMonth, st.wDay) * 86400 + st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
}

void FromUnixSeconds(int64_t seconds, WORD milliseconds, SYSTEMTIME& st) {
    int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    int64_t rest = seconds - days * 86400;
    int y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    st.wYear = WORD(y);
    st.wMonth = WORD(m);
    st.wDay = WORD(d);
    st.wDayOfWeek = WORD(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    st.wHour = WORD(rest / 3600);
    st.wMinute = WORD(rest / 60 % 60);
    st.wSecond = WORD(rest % 60);
    st.wMilliseconds = milliseconds;
}

int64_t CurrentUtcOffsetSeconds() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return local.tm_gmtoff;
}

}  // namespace

extern "C" BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) {
    if (!st || !ft || !ValidSystemTime(*st)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t ticks = uint64_t(UnixSeconds(*st) + kSecondsFrom1601To1970) * kTicksPerSecond +
                     uint64_t(st->wMilliseconds) * 10000;
    *ft = FromTicks(ticks);
    return TRUE;
}

extern "C" BOOL FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) {
    if (!ft || !st || (ft->dwHighDateTime & 0x80000000)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t ticks = ToTicks(*ft);
    int64_t seconds = int64_t(ticks / kTicksPerSecond) - kSecondsFrom1601To1970;
    FromUnixSeconds(seconds, WORD((ticks % kTicksPerSecond) / 10000), *st);
    return TRUE;
}

extern "C" BOOL FileTimeToLocalFileTime(const FILETIME* ft, LPFILETIME local) {
    if (!ft || !local) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *local = FromTicks(uint64_t(int64_t(ToTicks(*ft)) + CurrentUtcOffsetSeconds() * kTicksPerSecond));
    return TRUE;
}

extern "C" BOOL LocalFileTimeToFileTime(const FILETIME* local, LPFILETIME ft) {
    if (!ft || !local) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *ft = FromTicks(uint64_t(int64_t(ToTicks(*local)) - CurrentUtcOffsetSeconds() * kTicksPerSecond));
    return TRUE;
}

extern "C" BOOL TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* local,
                                                LPSYSTEMTIME utc) {
    if (zone || !local || !utc || !ValidSystemTime(*local)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct tm t = {};
    t.tm_year = local->wYear - 1900;
    t.tm_mon = local->wMonth - 1;
    t.tm_mday = local->wDay;
    t.tm_hour = local->wHour;
    t.tm_min = local->wMinute;
    t.tm_sec = local->wSecond;
    t.tm_isdst = -1;
    time_t seconds = mktime(&t);
    FromUnixSeconds(int64_t(seconds), local->wMilliseconds, *utc);
    return TRUE;
}

extern "C" BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc,
                                                LPSYSTEMTIME local) {
    if (zone || !local || !utc || !ValidSystemTime(*utc)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    time_t seconds = time_t(UnixSeconds(*utc));
    struct tm t;
    localtime_r(&seconds, &t);
    FromUnixSeconds(int64_t(seconds) + t.tm_gmtoff, utc->wMilliseconds, *local);
    return TRUE;
}

extern "C" LONG CompareFileTime(const FILETIME* a, const FILETIME* b) {
    uint64_t x = ToTicks(*a), y = ToTicks(*b);
    return x < y ? -1 : x > y ? 1 : 0;
}

extern "C" void GetSystemTimeAsFileTime(LPFILETIME ft) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    *ft = FromTicks(uint64_t(ts.tv_sec + kSecondsFrom1601To1970) * kTicksPerSecond + uint64_t(ts.tv_nsec / 100));
}

extern "C" void GetSystemTime(LPSYSTEMTIME st) {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    FileTimeToSystemTime(&ft, st);
}

extern "C" void GetLocalTime(LPSYSTEMTIME st) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm t;
    localtime_r(&ts.tv_sec, &t);
    FromUnixSeconds(int64_t(ts.tv_sec) + t.tm_gmtoff, WORD(ts.tv_nsec / 1000000), *st);
}
