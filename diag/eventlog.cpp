#include "diag/eventlog.h"

namespace {
void deregister(HANDLE h) { DeregisterEventSource(h); }
}

void reportEvent(const wchar_t* text) {
    HANDLE source = RegisterEventSourceW(nullptr, L"RPQ");
    if (!source) return;
    LPCWSTR strings[1] = {text};
    ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, kEventTextId, nullptr, 1, 0, strings, nullptr);
    deregister(source);
}

void reportSystemError(DWORD code) {
    LPWSTR text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0x400, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (n == 0 || !text) {
        reportEvent(L"Could not compose Error message");
        return;
    }
    reportEvent(text);
    LocalFree(text);
}
