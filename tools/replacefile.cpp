#include "tools/replacefile.h"
#include <windows.h>
#include <cwchar>
#include <vector>
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
    recordSetAside(target, aside);  // for the rollback of a failed installation
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

namespace {
// The running services that depend on the service, stopped (each waited
// for); their names, to start them again.
bool stopDependents(SC_HANDLE manager, SC_HANDLE service, std::vector<std::wstring>* stopped) {
    DWORD needed = 0, count = 0;
    EnumDependentServicesW(service, SERVICE_ACTIVE, nullptr, 0, &needed, &count);
    if (needed == 0) return true;
    std::vector<BYTE> block(needed);
    auto* dependents = reinterpret_cast<ENUM_SERVICE_STATUSW*>(block.data());
    if (!EnumDependentServicesW(service, SERVICE_ACTIVE, dependents, needed, &needed, &count)) return false;
    for (DWORD i = 0; i < count; ++i) {  // the list comes in the order they must stop
        unique_service dependent(OpenServiceW(manager, dependents[i].lpServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
        SERVICE_STATUS status = {};
        if (!dependent ||
            (!ControlService(dependent.get(), SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE) ||
            !waitForState(dependent.get(), SERVICE_STOPPED, 60000))
            return false;
        stopped->push_back(dependents[i].lpServiceName);
    }
    return true;
}

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Halvane\\RPQ";
constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::vector<std::wstring> readMultiString(HKEY root, const wchar_t* key, const wchar_t* name) {
    std::vector<std::wstring> items;
    DWORD size = 0;
    if (RegGetValueW(root, key, name, RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS || size == 0)
        return items;
    std::vector<wchar_t> block(size / sizeof(wchar_t) + 2, L'\0');
    if (RegGetValueW(root, key, name, RRF_RT_REG_MULTI_SZ, nullptr, block.data(), &size) != ERROR_SUCCESS) return items;
    // Pairs may hold empty strings (a pending delete's target): read by count.
    size_t count = size / sizeof(wchar_t);
    for (size_t at = 0; at < count;) {
        std::wstring item(block.data() + at);
        at += item.size() + 1;
        items.push_back(item);
    }
    while (!items.empty() && items.back().empty()) items.pop_back();  // the list's closing empty strings
    return items;
}

LONG writeMultiString(HKEY root, const wchar_t* key, const wchar_t* name, const std::vector<std::wstring>& items) {
    std::wstring block;
    for (const std::wstring& item : items) block += item + L'\0';
    block += L'\0';
    return RegSetKeyValueW(root, key, name, REG_MULTI_SZ, block.data(), static_cast<DWORD>(block.size() * sizeof(wchar_t)));
}

// Drops the pending rename or delete of path (MoveFileEx with
// MOVEFILE_DELAY_UNTIL_REBOOT writes "\??\<path>" and its target).
void cancelPendingOperation(const std::wstring& path) {
    std::vector<std::wstring> pending = readMultiString(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
    std::vector<std::wstring> kept;
    bool dropped = false;
    for (size_t i = 0; i < pending.size(); i += 2) {
        const std::wstring& source = pending[i];
        std::wstring target = i + 1 < pending.size() ? pending[i + 1] : std::wstring();
        std::wstring plain = source.rfind(L"\\??\\", 0) == 0 ? source.substr(4) : source;
        if (_wcsicmp(plain.c_str(), path.c_str()) == 0) {
            dropped = true;
            continue;
        }
        kept.push_back(source);
        kept.push_back(target);
    }
    if (!dropped) return;
    if (kept.empty()) RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
    else writeMultiString(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", kept);
}
}  // namespace

bool restartSpoolerIfRunning(bool* restarted) {
    *restarted = false;
    unique_service manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return true;  // no service manager: no service to restart
    unique_service spooler(OpenServiceW(manager.get(), L"Spooler",
                                        SERVICE_QUERY_STATUS | SERVICE_STOP | SERVICE_START | SERVICE_ENUMERATE_DEPENDENTS));
    SERVICE_STATUS status = {};
    if (!spooler || !QueryServiceStatus(spooler.get(), &status) || status.dwCurrentState != SERVICE_RUNNING) return true;
    std::vector<std::wstring> dependents;
    if (!ControlService(spooler.get(), SERVICE_CONTROL_STOP, &status)) {
        DWORD error = GetLastError();
        if (error == ERROR_DEPENDENT_SERVICES_RUNNING) {
            if (!stopDependents(manager.get(), spooler.get(), &dependents) ||
                (!ControlService(spooler.get(), SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE))
                return false;
        } else if (error != ERROR_SERVICE_NOT_ACTIVE) {
            return false;
        }
    }
    if (!waitForState(spooler.get(), SERVICE_STOPPED, 60000) || !StartServiceW(spooler.get(), 0, nullptr)) return false;
    *restarted = true;
    bool running = waitForState(spooler.get(), SERVICE_RUNNING, 60000);
    for (auto it = dependents.rbegin(); it != dependents.rend(); ++it) {  // started again, the last stopped first
        unique_service dependent(OpenServiceW(manager.get(), it->c_str(), SERVICE_START));
        if (dependent) StartServiceW(dependent.get(), 0, nullptr);
    }
    return running;
}

void clearSetAsideRecord() { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProductKey, L"SetAside"); }

void recordSetAside(const std::wstring& target, const std::wstring& aside) {
    std::vector<std::wstring> items = readMultiString(HKEY_LOCAL_MACHINE, kProductKey, L"SetAside");
    items.push_back(target);
    items.push_back(aside);
    writeMultiString(HKEY_LOCAL_MACHINE, kProductKey, L"SetAside", items);
}

bool restoreSetAside() {
    std::vector<std::wstring> items = readMultiString(HKEY_LOCAL_MACHINE, kProductKey, L"SetAside");
    bool all = true;
    for (size_t i = 0; i + 1 < items.size(); i += 2) {
        const std::wstring& target = items[i];
        const std::wstring& aside = items[i + 1];
        if (GetFileAttributesW(aside.c_str()) == INVALID_FILE_ATTRIBUTES) continue;  // gone with a restart already
        if (!MoveFileExW(aside.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            // The newer file is held loaded: aside with it, to go at the next restart.
            std::wstring newer;
            if (!moveAside(target, L".new-", GetTickCount() & 0xFFFFF, &newer) || !MoveFileExW(aside.c_str(), target.c_str(), 0)) {
                all = false;
                continue;
            }
            MoveFileExW(newer.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        }
        cancelPendingOperation(aside);
    }
    clearSetAsideRecord();
    return all;
}

bool deleteNowOrAtRestart(const std::wstring& path, bool* delayed) {
    *delayed = false;
    if (DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    if (!inUseError(GetLastError())) return false;
    std::wstring aside;
    if (!moveAside(path, L".old-", GetTickCount() & 0xFFFFF, &aside)) return false;
    *delayed = MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
    return *delayed;
}

