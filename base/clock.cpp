#include "base/clock.h"

ULONGLONG fileTimeToUInt64(const FILETIME& ft) {
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME uint64ToFileTime(ULONGLONG value) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(value);
    ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return ft;
}

FILETIME CSystemClock::wallNow() const {
    SYSTEMTIME st;
    FILETIME ft;
    GetSystemTime(&st);
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

double CSystemClock::monotonicSeconds() const {
    LARGE_INTEGER freq, counter;
    if (!QueryPerformanceFrequency(&freq) || freq.QuadPart == 0 || !QueryPerformanceCounter(&counter))
        return static_cast<double>(GetTickCount64()) / 1000.0;
    return static_cast<double>(counter.QuadPart) / static_cast<double>(freq.QuadPart);
}

namespace {
// Made at load: a function-local static would take the threads library's
// guard, which stays behind when the module is unloaded.
CSystemClock g_systemClock;
}  // namespace

CSystemClock& CSystemClock::instance() { return g_systemClock; }
