// A clock that stands still until a test moves it.
#pragma once
#include "base/clock.h"

class CManualClock final : public IClock {
public:
    explicit CManualClock(ULONGLONG wall100ns = 0, double seconds = 0.0) : m_wall(wall100ns), m_seconds(seconds) {}
    FILETIME wallNow() const override { return uint64ToFileTime(m_wall); }
    double monotonicSeconds() const override { return m_seconds; }
    void advance(double seconds) {
        m_seconds = m_seconds + seconds;
        m_wall = m_wall + static_cast<ULONGLONG>(seconds * 10000000.0);
    }
    void setWall(ULONGLONG wall100ns) { m_wall = wall100ns; }

private:
    volatile ULONGLONG m_wall;
    volatile double m_seconds;
};
