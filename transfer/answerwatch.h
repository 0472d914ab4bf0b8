// One deadline for a server's whole answer: status line and body. WinINet
// times out each receive on its own, so an answer that comes a byte at a
// time would hold the exchange for as long as the server likes; at the
// deadline the watch closes the request, which ends the waiting call.
#pragma once
#include <windows.h>
#include <wininet.h>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

class CAnswerWatch {
public:
    CAnswerWatch(HINTERNET request, DWORD budgetMs) : m_request(request), m_budgetMs(budgetMs) {}
    ~CAnswerWatch();
    CAnswerWatch(const CAnswerWatch&) = delete;
    CAnswerWatch& operator=(const CAnswerWatch&) = delete;
    // Arms the deadline: the budget from now.
    void start();
    DWORD budgetMs() const { return m_budgetMs; }
    // Disarms the watch; once it returns, fired() no longer changes.
    void stop();
    // Whether the deadline passed and the request was closed by the watch.
    bool fired() const { return m_fired.load(); }

private:
    HINTERNET m_request;
    DWORD m_budgetMs;
    std::mutex m_mutex;
    std::condition_variable m_stop;
    bool m_stopping = false;
    std::atomic<bool> m_fired{false};
    std::thread m_thread;
};
