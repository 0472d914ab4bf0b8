// Everything that belongs to one running job: its log, its clock, and (from
// the job routine's settings step on) its status holder, hashing facility
// and run timer. The job routine passes it down; only the log is bound to
// the job's threads, so that every layer can write to it.
#pragma once
#include <windows.h>
#include <memory>
#include "base/clock.h"
#include "diag/log.h"
#include "storage/hash.h"
#include "transfer/protocol.h"

class CJobState {
public:
    explicit CJobState(IClock* clock = nullptr) { setClock(clock); }
    CJobState(const CJobState&) = delete;
    CJobState& operator=(const CJobState&) = delete;

    CLog& log() { return m_log; }
    IClock& clock() const { return *m_clock; }
    void setClock(IClock* clock) { m_clock = clock ? clock : &CSystemClock::instance(); }

    // The status holder and hashing facility live from the job routine's
    // settings step to its end.
    void createFacilities() {
        m_protocol = std::make_unique<CFDXSProtocol>();
        m_hash = std::make_unique<CRPQHash>();
    }
    void destroyFacilities() {
        m_protocol.reset();
        m_hash.reset();
    }
    CFDXSProtocol* protocol() const { return m_protocol.get(); }
    CRPQHash* hash() const { return m_hash.get(); }

    // Run timer: started by the transfer's first state.
    void startRunTimer() { m_runStart = m_clock->monotonicSeconds(); }
    double runSeconds() const { return m_clock->monotonicSeconds() - m_runStart; }

private:
    CLog m_log;
    IClock* m_clock = nullptr;
    std::unique_ptr<CFDXSProtocol> m_protocol;
    std::unique_ptr<CRPQHash> m_hash;
    double m_runStart = 0.0;
};

// Binds a job's log to the calling thread for its lifetime.
class CJobScope {
public:
    explicit CJobScope(CJobState& state) : m_log(&state.log()) {}

private:
    CLogScope m_log;
};
