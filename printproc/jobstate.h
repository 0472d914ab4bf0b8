// Everything that belongs to one running job and that every layer reaches
// without it being passed down: the log, the clock and (added by the job
// routine) the status holder, hashing facility and run timer. The job
// routine binds its state to its thread with CJobScope; one job never sees
// another's state.
#pragma once
#include <windows.h>
#include "diag/log.h"
#include "printproc/clock.h"
#include <memory>

class CFDXSProtocol;
class CRPQHash;

class CJobState {
public:
    CJobState();
    ~CJobState();
    CJobState(const CJobState&) = delete;
    CJobState& operator=(const CJobState&) = delete;

    CLog& log() { return m_log; }
    IClock& clock() const { return *m_clock; }
    void setClock(IClock* clock) { m_clock = clock ? clock : &CSystemClock::instance(); }

    // The status holder and hashing facility live from the job routine's
    // settings step to its end.
    void createFacilities();
    void destroyFacilities();
    CFDXSProtocol* protocol() const { return m_protocol.get(); }
    CRPQHash* hash() const { return m_hash.get(); }

    // Run timer: started by the transfer's first state.
    void startRunTimer() { m_runStart = m_clock->monotonicSeconds(); }
    double runSeconds() const { return m_clock->monotonicSeconds() - m_runStart; }

    // The state bound to the calling thread, or null.
    static CJobState* current();

private:
    friend class CJobScope;
    CLog m_log;
    IClock* m_clock = &jobClock();
    std::unique_ptr<CFDXSProtocol> m_protocol;
    std::unique_ptr<CRPQHash> m_hash;
    double m_runStart = 0.0;
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
