#include "transfer/answerwatch.h"
#include <chrono>

void CAnswerWatch::start() {
    if (m_thread.joinable()) return;
    m_thread = std::thread([this, ms = m_budgetMs] {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_stop.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopping; })) return;
        m_fired.store(true);
        InternetCloseHandle(m_request);
    });
}

CAnswerWatch::~CAnswerWatch() { stop(); }

void CAnswerWatch::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_stop.notify_all();
    if (m_thread.joinable()) m_thread.join();
}
