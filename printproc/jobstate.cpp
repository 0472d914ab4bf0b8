#include "printproc/jobstate.h"
#include "storage/hash.h"
#include "transfer/protocol.h"

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

CJobState::CJobState() = default;
CJobState::~CJobState() = default;

void CJobState::createFacilities() {
    m_protocol = std::make_unique<CFDXSProtocol>();
    m_hash = std::make_unique<CRPQHash>();
}

void CJobState::destroyFacilities() {
    m_protocol.reset();
    m_hash.reset();
}
