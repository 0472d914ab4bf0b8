#include "tools/registration.h"
#include <windows.h>
#include <winspool.h>
#include "base/platform.h"

bool unregisterProcessor() {
    if (!DeletePrintProcessorW(nullptr, nullptr, const_cast<LPWSTR>(kProcessorName)) &&
        GetLastError() != ERROR_UNKNOWN_PRINTPROCESSOR)
        return false;
    if (runningUnderWine())
        RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                       L"System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Print Processors\\RPQ");
    return true;
}

bool processorDir(std::wstring& dir) {
    wchar_t buffer[MAX_PATH] = {};
    DWORD needed = 0;
    if (!GetPrintProcessorDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(buffer), sizeof(buffer), &needed))
        return false;
    dir = buffer;
    return true;
}
