// The one seam through which RPQ reads time that it measures (silences, ages).
#pragma once
#include <windows.h>

class IClock {
public:
    virtual ~IClock() = default;
    // Wall time, UTC, in 100 ns units since 1601.
    virtual FILETIME wallNow() const = 0;
    // Seconds on a monotonic counter with an arbitrary origin.
    virtual double monotonicSeconds() const = 0;
};

class CSystemClock final : public IClock {
public:
    FILETIME wallNow() const override;
    double monotonicSeconds() const override;
    static CSystemClock& instance();
};

ULONGLONG fileTimeToUInt64(const FILETIME& ft);
FILETIME uint64ToFileTime(ULONGLONG value);
