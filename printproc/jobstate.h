// Everything that belongs to one running job and that every layer reaches
// without it being passed down: the log, the clock and (added by the job
// routine) the status holder, hashing facility and run timer. The job
// routine binds its state to its thread with CJobScope; one job never sees
// another's state.
#pragma once
#include <windows.h>
#include "diag/log.h"
#include "printproc/clock.h"

class CJobState {
public:
    CJobState() = default;
    CJobState(const CJobState&) = delete;
    CJobState& operator=(const CJobState&) = delete;

    CLog& log() { return m_log; }
    IClock& clock() const { return *m_clock; }
    void setClock(IClock* clock) { m_clock = clock ? clock : &CSystemClock::instance(); }

    // The state bound to the calling thread, or null.
    static CJobState* current();

private:
    friend class CJobScope;
    CLog m_log;
    IClock* m_clock = &CSystemClock::instance();
};

// Binds a job state to the calling thread for its lifetime.
class CJobScope {
public:
    explicit CJobScope(CJobState& state);
    ~CJobScope();
    CJobScope(const CJobScope&) = delete;
    CJobScope& operator=(const CJobScope&) = delete;

private:
    CJobState* m_previous;
};

// The clock of the calling thread's job, or the system clock.
IClock& currentClock();
