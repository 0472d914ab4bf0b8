#include "interact/browser.h"
#include <shellapi.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <psapi.h>
#include <cwctype>
#include <memory>
#include <strsafe.h>
#include "base/unique.h"
#include "diag/log.h"
#include "transfer/uid.h"

namespace {
void destroyEnvironment(void* block) { DestroyEnvironmentBlock(block); }
using unique_environment = CUniqueAny<void*, destroyEnvironment>;
constexpr DWORD kTokenAccess = 0xF00FF;  // all standard and token rights but session adjustment
}  // namespace

bool makeWebAddress(wchar_t* target, bool secure, const wchar_t* serverName, unsigned port,
                    const wchar_t* interactionActionPath) {
    return SUCCEEDED(StringCchPrintfW(target, MAX_PATH, L"%s%s:%u/%s", secure ? L"https://" : L"http://", serverName,
                                      port, interactionActionPath));
}

void openInteractionPage(bool secure, const wchar_t* serverName, unsigned port, const wchar_t* interactionActionPath,
                         const char* uid, const wchar_t* userName, PSID userSid, DWORD sessionId) {
    wchar_t address[MAX_PATH];
    if (!makeWebAddress(address, secure, serverName, port, interactionActionPath)) {
        logMessage(L_ERROR, "Could not create web address for server: Not opening browser!");
        return;
    }
    logMessageW(L_DEBUG, L"Try to open browser with address <%s>!", address);
    openBrowserAsUser(address, uid, userName, userSid, sessionId);
}

bool buildBrowserCommand(wchar_t* command, HANDLE writeEnd, const wchar_t* address, const wchar_t* uid) {
    wchar_t arguments[kCommandChars];
    if (FAILED(StringCchPrintfW(arguments, kCommandChars, L"%s.dll,OpenBrowser %lu %s?uid=%s", L"RPQ",
                 static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(writeEnd)), address, uid))) {
        logMessage(L_ERROR, "Browser command arguments too long: Not opening browser!");
        return false;
    }
    wchar_t systemDir[kCommandChars];
    UINT n = GetSystemDirectoryW(systemDir, kCommandChars);
    if (n == 0 || n >= kCommandChars || FAILED(StringCchCatW(systemDir, kCommandChars, L"\\"))) return false;
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    const wchar_t* processorDir;
    if (info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64) {
        logMessage(L_TRACE, "Choosing 64bit RPQ call");
        processorDir = L"x64\\";
    } else {
        logMessage(L_TRACE, "Choosing 32bit RPQ call");
        processorDir = L"W32x86\\";
    }
    if (FAILED(StringCchPrintfW(command, kCommandChars, L"%s%s %sSpool\\prtprocs\\%s%s", systemDir, L"rundll32.exe", systemDir,
                 processorDir, arguments))) {
        logMessage(L_ERROR, "Browser command too long: Not opening browser!");
        return false;
    }
    return true;
}

bool currentUserIdentity(BYTE* sid, DWORD sidSize, DWORD* sessionId) {
    unique_handle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return false;
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    DWORD session = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size) ||
        !GetTokenInformation(token.get(), TokenSessionId, &session, sizeof(session), &size))
        return false;
    *sessionId = session;
    return CopySid(sidSize, sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != FALSE;
}

HANDLE get_token_for_user(const wchar_t* userName, PSID userSid, DWORD sessionId) {
    if (!userName || !*userName || !userSid || !IsValidSid(userSid)) {
        logMessage(L_ERROR, "get_token_for_user: No username");
        return nullptr;
    }
    DWORD ids[1024];
    DWORD bytes = 0;
    if (!EnumProcesses(ids, sizeof(ids), &bytes)) bytes = 0;
    HANDLE found = nullptr;
    for (DWORD i = 0; i < bytes / sizeof(DWORD) && !found; ++i) {
        unique_handle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]));
        if (!process) continue;
        unique_handle token;
        if (!OpenProcessToken(process.get(), TOKEN_QUERY | READ_CONTROL, token.put())) continue;
        DWORD size = 0;
        GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
        if (size == 0) continue;
        std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]());
        if (!buffer || !GetTokenInformation(token.get(), TokenUser, buffer.get(), size, &size)) continue;
        // The job's account itself, not a namesake of another domain, and in
        // the job's logon session unless the job ran in the services' one.
        if (!EqualSid(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid, userSid)) continue;
        DWORD session = 0;
        if (sessionId != 0 && (!GetTokenInformation(token.get(), TokenSessionId, &session, sizeof(session), &size) ||
                               session != sessionId))
            continue;
        unique_handle full;
        if (!OpenProcessToken(process.get(), kTokenAccess, full.put())) continue;
        if (!DuplicateTokenEx(full.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &found))
            found = nullptr;
    }
    if (!found) logMessage(L_ERROR, "get_token_for_user: Leaving with NULL token");
    return found;
}

int openBrowserAsUser(const wchar_t* address, const char* uid, const wchar_t* userName, PSID userSid,
                      DWORD sessionId) {
    logMessageW(L_INFO, L"Try to open a browser as user <%s>", userName);
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    unique_handle readEnd, writeEnd;
    {
        HANDLE inheritableRead = nullptr, write = nullptr;
        if (!CreatePipe(&inheritableRead, &write, &sa, 0)) {
            logMessage(L_ERROR, "Could not create pipe");
            return 0;
        }
        writeEnd.reset(write);
        unique_handle firstRead(inheritableRead);
        if (!DuplicateHandle(GetCurrentProcess(), inheritableRead, GetCurrentProcess(), readEnd.put(), 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            logMessage(L_ERROR, "Could not duplicate handle");
            return 0;
        }
    }
    wchar_t wideUid[11];
    if (!convertUid(wideUid, 11, uid)) {
        logMessage(L_ERROR, "Could not convert sUID to wsUID!");
        return 0;
    }
    wchar_t command[kCommandChars];
    if (!buildBrowserCommand(command, writeEnd.get(), address, wideUid)) return 1;
    logMessageW(L_INFO, L"Command <%s>", command);
    logMessageW(L_TRACE, L"Get token for user <%s>.", userName);
    unique_handle token(get_token_for_user(userName, userSid, sessionId));
    unique_environment environment;
    if (token && !CreateEnvironmentBlock(environment.put(), token.get(), FALSE))
        logMessage(L_WARN, "Could not create environment block");
    if (!environment) return 1;

    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.lpDesktop = const_cast<LPWSTR>(L"winsta0\\default");
    si.dwXCountChars = 80;
    si.dwYCountChars = 25;
    si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    si.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION pi = {};
    int result = 1;
    bool started = CreateProcessAsUserW(token.get(), nullptr, command, nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT, environment.get(), nullptr, &si, &pi) != FALSE;
    unique_handle process(started ? pi.hProcess : nullptr), thread(started ? pi.hThread : nullptr);
    if (!started) {
        logSystemError("CreateProcessAsUser failed, error code <%lu>", GetLastError());
        result = 0;
    } else if (pi.hProcess == INVALID_HANDLE_VALUE) {
        logMessage(L_ERROR, "Invalid handle");
        process.release();
        result = 0;
        started = false;
    }
    writeEnd.reset();  // only the launched process holds the write end now

    wchar_t answer[512] = {};
    if (started) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            HANDLE waitOn[2] = {readEnd.get(), process.get()};
            DWORD signalled = WaitForMultipleObjects(2, waitOn, FALSE, 1000);
            if (signalled == WAIT_OBJECT_0) {
                DWORD got = 0;
                result = ReadFile(readEnd.get(), answer, sizeof(answer) - 2, &got, nullptr) ? 1 : 0;
                break;
            }
            if (signalled == WAIT_OBJECT_0 + 1) {
                DWORD code = 0;
                if (GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE) {
                    // Ended: whatever it wrote is still in the pipe.
                    DWORD available = 0, got = 0;
                    if (PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0)
                        ReadFile(readEnd.get(), answer, sizeof(answer) - 2, &got, nullptr);
                    break;
                }
                logMessage(L_ERROR, "OpenBrowserW cancelled");
                return 0;
            }
            Sleep(1000);
        }
    }
    if (started && result == 1) logMessageW(L_INFO, L"%s", answer);
    else logMessage(L_ERROR, "OpenBrowserW cancelled");
    return result;
}

const wchar_t* shellExecuteAnswer(INT_PTR result) {
    switch (result) {
    case 0: return L"The operating system is out of memory or resources.";
    case 2: return L"The specified file was not found.";
    case 3: return L"The specified path was not found.";
    case 5: return L"The operating system denied access to the specified file.";
    case 8: return L"There was not enough memory to complete the operation.";
    case 11: return L"The.exe file is invalid(non - Win32.exe or error in.exe image).";
    case 26: return L"A sharing violation occurred.";
    case 27: return L"The file name association is incomplete or invalid.";
    case 28: return L"The DDE transaction could not be completed because the request timed out.";
    case 29: return L"The DDE transaction failed.";
    case 30: return L"The DDE transaction could not be completed because other DDE transactions were being processed.";
    case 31:
        return L"There is no application associated with the given file name extension.This error will also be "
               L"returned if you attempt to print a file that is not printable.";
    case 32: return L"The specified DLL was not found.";
    default: return result > 32 ? L"Browser is READY." : L"Unknow error.";
    }
}

void parseBrowserTail(const wchar_t* tail, ULONG_PTR* handle, wchar_t* address, size_t capacity) {
    constexpr size_t kPieceChars = 512;
    wchar_t token[kPieceChars] = {};
    size_t i = 0;
    const wchar_t* p = tail ? tail : L"";
    while (*p && *p != L' ' && i + 1 < kPieceChars) token[i++] = *p++;
    while (*p && *p != L' ') ++p;  // an over-long token is cut
    while (*p == L' ') ++p;
    *handle = 0;
    for (const wchar_t* d = token; iswdigit(*d); ++d) *handle = *handle * 10 + static_cast<ULONG_PTR>(*d - L'0');
    size_t limit = capacity < kPieceChars ? capacity : kPieceChars;
    size_t n = wcsnlen(p, limit - 1);
    wmemcpy(address, p, n);
    address[n] = L'\0';
}

extern "C" void CALLBACK OpenBrowserW(HWND, HINSTANCE, LPWSTR commandLine, int) {
    try {
        ULONG_PTR handleValue = 0;
        wchar_t address[512];
        parseBrowserTail(commandLine, &handleValue, address, 512);
        INT_PTR result = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, nullptr, address, nullptr, nullptr, SW_SHOWDEFAULT));
        logMessageW(L_INFO, L"ShellExecute() with <%s>", address);
        const wchar_t* answer = shellExecuteAnswer(result);
        HANDLE pipe = reinterpret_cast<HANDLE>(handleValue);
        DWORD written = 0;
        WriteFile(pipe, answer, static_cast<DWORD>((wcslen(answer) + 1) * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(pipe);
    } catch (...) {
    }
}
