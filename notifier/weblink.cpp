#include "notifier/weblink.h"
#include <shellapi.h>
#include "notifier/receiving.h"

bool openWebLink(HWND owner, const wchar_t* target) {
    if (!target || !isWebLink(target)) return false;
    return reinterpret_cast<INT_PTR>(ShellExecuteW(owner, L"open", target, nullptr, nullptr, SW_SHOWNORMAL)) > 32;
}
