#include "printproc/jobstate.h"

namespace {
thread_local CJobState* t_current = nullptr;
}

CJobState* CJobState::current() { return t_current; }

CJobScope::CJobScope(CJobState& state) : m_previous(t_current) { t_current = &state; }
CJobScope::~CJobScope() { t_current = m_previous; }

IClock& currentClock() {
    CJobState* state = CJobState::current();
    return state ? state->clock() : CSystemClock::instance();
}
