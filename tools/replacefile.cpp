#include "tools/replacefile.h"
#include <windows.h>
#include <cwchar>
#include "base/unique.h"

namespace {
bool inUseError(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_USER_MAPPED_FILE ||
           error == ERROR_LOCK_VIOLATION;
}

void closeService(SC_HANDLE h) { CloseServiceHandle(h); }
using unique_service = CUniqueAny<SC_HANDLE, closeService>;

// Waits for the service to reach state, up to limitMs.
bool waitForState(SC_HANDLE service, DWORD state, DWORD limitMs) {
    for (ULONGLONG deadline = GetTickCount64() + limitMs;; Sleep(200)) {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(service, &status)) return false;
        if (status.dwCurrentState == state) return true;
        if (GetTickCount64() >= deadline) return false;
    }
}
}  // namespace

bool moveAside(const std::wstring& path, const wchar_t* tag, unsigned start, std::wstring* aside) {
    for (unsigned n = start;; ++n) {
        *aside = path + tag + std::to_wstring(n);
        if (MoveFileExW(path.c_str(), aside->c_str(), 0)) return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
}

bool replaceFile(const std::wstring& source, const std::wstring& target, bool* wasInUse) {
    *wasInUse = false;
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) return true;
    DWORD error = GetLastError();
    if (!inUseError(error) || GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) {
        SetLastError(error);
        return false;
    }
    // A loaded file can be renamed, though not written: aside with it.
    std::wstring aside;
    if (!moveAside(target, L".old-", GetTickCount() & 0xFFFFF, &aside)) {
        SetLastError(error);
        return false;
    }
    if (!CopyFileW(source.c_str(), target.c_str(), TRUE)) {
        error = GetLastError();
        MoveFileExW(aside.c_str(), target.c_str(), 0);
        SetLastError(error);
        return false;
    }
    *wasInUse = true;
    MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return true;
}

void sweepSetAside(const std::wstring& target) {
    size_t slash = target.find_last_of(L"\\/");
    std::wstring folder = slash == std::wstring::npos ? std::wstring() : target.substr(0, slash + 1);
    WIN32_FIND_DATAW data;
    unique_hfind find(FindFirstFileW((target + L".old-*").c_str(), &data));
    if (!find) return;
    do {
        if (!(data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            DeleteFileW((folder + data.cFileName).c_str());
    } while (FindNextFileW(find.get(), &data));
}

bool restartSpoolerIfRunning(bool* restarted) {
    *restarted = false;
    unique_service manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return true;  // no service manager: no service to restart
    unique_service spooler(OpenServiceW(manager.get(), L"Spooler", SERVICE_QUERY_STATUS | SERVICE_STOP | SERVICE_START));
    SERVICE_STATUS status = {};
    if (!spooler || !QueryServiceStatus(spooler.get(), &status) || status.dwCurrentState != SERVICE_RUNNING) return true;
    if (!ControlService(spooler.get(), SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
        return false;
    if (!waitForState(spooler.get(), SERVICE_STOPPED, 60000) || !StartServiceW(spooler.get(), 0, nullptr)) return false;
    *restarted = true;
    return waitForState(spooler.get(), SERVICE_RUNNING, 60000);
}
