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

// A clock that stands still until a test moves it.
class CManualClock final : public IClock {
public:
    explicit CManualClock(ULONGLONG wall100ns = 0, double seconds = 0.0)
        : m_wall(wall100ns), m_seconds(seconds) {}
    FILETIME wallNow() const override;
    double monotonicSeconds() const override { return m_seconds; }
    void advance(double seconds);
    void setWall(ULONGLONG wall100ns) { m_wall = wall100ns; }

private:
    volatile ULONGLONG m_wall;
    volatile double m_seconds;
};

ULONGLONG fileTimeToUInt64(const FILETIME& ft);
FILETIME uint64ToFileTime(ULONGLONG value);

// The clock that new jobs read. Tests put a clock of their own here; the
// product never changes it. Null restores the system clock.
void setJobClock(IClock* clock);
IClock& jobClock();
