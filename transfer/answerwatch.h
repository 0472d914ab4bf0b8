// One deadline for a server's answer body, armed once the request has gone
// out (the status line keeps WinINet's receive time-out). WinINet times out
// each receive on its own, so a body that comes a byte at a time would hold
// the exchange for as long as the server likes; at the deadline the watch
// closes the request, which ends the waiting read.
#pragma once
#include <windows.h>
#include <wininet.h>
#include "base/unique.h"

class CAnswerWatch {
public:
    CAnswerWatch(HINTERNET request, DWORD budgetMs) : m_request(request), m_budgetMs(budgetMs) {}
    ~CAnswerWatch() { stop(); }
    CAnswerWatch(const CAnswerWatch&) = delete;
    CAnswerWatch& operator=(const CAnswerWatch&) = delete;
    // Arms the deadline: the budget from now. False when no watch could be
    // started (the exchange then has WinINet's time-outs alone).
    bool start();
    // Disarms the watch; once it returns, fired() no longer changes.
    void stop();
    // Whether the deadline passed and the request was closed by the watch.
    bool fired() const { return InterlockedCompareExchange(const_cast<LONG*>(&m_fired), 0, 0) != 0; }
    DWORD budgetMs() const { return m_budgetMs; }

private:
    static DWORD WINAPI watch(void* self);
    HINTERNET m_request;
    DWORD m_budgetMs;
    LONG m_fired = 0;
    unique_handle m_stop, m_thread;
};
