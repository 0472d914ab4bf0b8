#include "diag/eventlog.h"
#include "base/errortext.h"

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
    std::wstring text = systemErrorText(code, 0x400);
    reportEvent(text.empty() ? L"Could not compose Error message" : text.c_str());
}
