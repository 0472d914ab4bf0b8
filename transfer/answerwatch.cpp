#include "transfer/answerwatch.h"

DWORD WINAPI CAnswerWatch::watch(void* self) {
    auto* me = static_cast<CAnswerWatch*>(self);
    if (WaitForSingleObject(me->m_stop.get(), me->m_budgetMs) == WAIT_TIMEOUT) {
        InterlockedExchange(&me->m_fired, 1);
        InternetCloseHandle(me->m_request);
    }
    return 0;
}

bool CAnswerWatch::start() {
    if (m_thread) return true;
    m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_stop) return false;
    m_thread.reset(CreateThread(nullptr, 0, watch, this, 0, nullptr));
    return static_cast<bool>(m_thread);
}

void CAnswerWatch::stop() {
    if (!m_thread) return;
    SetEvent(m_stop.get());
    WaitForSingleObject(m_thread.get(), INFINITE);
    m_thread.reset();
    m_stop.reset();
}
