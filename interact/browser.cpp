#include "interact/browser.h"
#include <shellapi.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <objbase.h>
#include <cwctype>
#include <memory>
#include <strsafe.h>
#include "base/unique.h"
#include "diag/log.h"
#include "transfer/uid.h"

namespace {
constexpr int kAnswerAttempts = 10;  // seconds the launcher waits for the answer

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
                         const char* uid, const JobOwner& owner) {
    wchar_t address[MAX_PATH];
    if (!makeWebAddress(address, secure, serverName, port, interactionActionPath)) {
        logMessage(L_ERROR, "Could not create web address for server: Not opening browser!");
        return;
    }
    logMessageW(L_DEBUG, L"Try to open browser with address <%s>!", address);
    openBrowserAsUser(address, uid, owner);
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

bool isUsableUserToken(HANDLE token, PSID sid, DWORD session, bool checkLevel) {
    DWORD size = 0, tokenSession = 0;
    if (!tokenIsAccount(token, sid) ||
        !GetTokenInformation(token, TokenSessionId, &tokenSession, sizeof(tokenSession), &size) || tokenSession != session)
        return false;
    if (!checkLevel) return true;
    // A program of the user's own desktop: medium integrity, no sandbox.
    alignas(TOKEN_MANDATORY_LABEL) BYTE label[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
    DWORD appContainer = 0;
    if (!GetTokenInformation(token, TokenIntegrityLevel, label, sizeof(label), &size)) return false;
    PSID level = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(label)->Label.Sid;
    DWORD rid = *GetSidSubAuthority(level, *GetSidSubAuthorityCount(level) - 1);
    if (rid < SECURITY_MANDATORY_MEDIUM_RID || rid >= SECURITY_MANDATORY_HIGH_RID) return false;
    return !GetTokenInformation(token, TokenIsAppContainer, &appContainer, sizeof(appContainer), &size) ||
           appContainer == 0;
}

HANDLE get_token_for_user(const JobOwner& owner, const SessionPlatform& platform) {
    if (!owner.userName[0] || !owner.hasSid || !owner.hasSession) {
        logMessage(L_ERROR, "get_token_for_user: No username");
        return nullptr;
    }
    PSID sid = const_cast<BYTE*>(owner.sid);
    HANDLE found = nullptr;
    // The session's own user token (the system account may ask for it).
    unique_handle sessionToken;
    if (platform.queryUserToken && platform.queryUserToken(owner.sessionId, sessionToken.put()) &&
        isUsableUserToken(sessionToken.get(), sid, owner.sessionId, false) &&
        !DuplicateTokenEx(sessionToken.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &found))
        found = nullptr;
    // Else a program of the owner on that session's desktop; every process,
    // however many there are.
    unique_hfile snapshot(found ? INVALID_HANDLE_VALUE : CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more && !found;
         more = Process32NextW(snapshot.get(), &entry)) {
        DWORD session = 0;
        if (!ProcessIdToSessionId(entry.th32ProcessID, &session) || session != owner.sessionId) continue;
        unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        unique_handle token;
        if (!process || !OpenProcessToken(process.get(), kTokenAccess, token.put()) ||
            !isUsableUserToken(token.get(), sid, owner.sessionId, true))
            continue;
        if (!DuplicateTokenEx(token.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &found))
            found = nullptr;
    }
    if (!found) logMessage(L_ERROR, "get_token_for_user: Leaving with NULL token");
    return found;
}

int openBrowserAsUser(const wchar_t* address, const char* uid, const JobOwner& owner, const SessionPlatform& platform) {
    logMessageW(L_INFO, L"Try to open a browser as user <%s>", owner.userName);
    wchar_t wideUid[11];
    if (!convertUid(wideUid, 11, uid)) {
        logMessage(L_ERROR, "Could not convert sUID to wsUID!");
        return 0;
    }
    // Nothing crosses into the user's session but the command line: the
    // answer comes back as the process's exit code.
    wchar_t command[kCommandChars];
    if (!buildBrowserCommand(command, nullptr, address, wideUid)) return 1;
    logMessageW(L_INFO, L"Command <%s>", command);
    logMessageW(L_TRACE, L"Get token for user <%s>.", owner.userName);
    unique_handle token(get_token_for_user(owner, platform));
    unique_environment environment;
    if (token && !CreateEnvironmentBlock(environment.put(), token.get(), FALSE))
        logMessage(L_WARN, "Could not create environment block");
    if (!environment) return 1;

    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.lpDesktop = const_cast<LPWSTR>(L"winsta0\\default");
    si.dwXCountChars = 80;
    si.dwYCountChars = 25;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessAsUserW(token.get(), nullptr, command, nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                              environment.get(), nullptr, &si, &pi)) {
        logSystemError("CreateProcessAsUser failed, error code <%lu>", GetLastError());
        logMessage(L_ERROR, "OpenBrowserW cancelled");
        return 0;
    }
    unique_handle process(pi.hProcess), thread(pi.hThread);
    DWORD code = STILL_ACTIVE;
    for (int attempt = 0; attempt < kAnswerAttempts && code == STILL_ACTIVE; ++attempt) {
        DWORD waited = WaitForSingleObject(process.get(), 1000);
        if (waited == WAIT_FAILED) break;
        if (waited == WAIT_OBJECT_0 && !GetExitCodeProcess(process.get(), &code)) break;
    }
    if (code == STILL_ACTIVE) {
        logMessage(L_WARN, "OpenBrowserW gave no answer in time: the browser may still open");
        return 1;
    }
    logMessageW(code > 32 ? L_INFO : L_ERROR, L"%s", shellExecuteAnswer(static_cast<INT_PTR>(code)));
    return 1;
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

INT_PTR openWithShell(const wchar_t* address) {
    // The shell's handlers may be COM objects: an apartment for the call.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpFile = address;
    info.nShow = SW_SHOWDEFAULT;
    BOOL opened = ShellExecuteExW(&info);
    INT_PTR result = reinterpret_cast<INT_PTR>(info.hInstApp);
    if (!opened && result > 32) result = SE_ERR_NOASSOC;
    if (opened && result <= 32) result = 33;
    if (SUCCEEDED(com)) CoUninitialize();
    return result;
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

// Runs in the user's session under rundll32; its exit code is the answer.
extern "C" void CALLBACK OpenBrowserW(HWND, HINSTANCE, LPWSTR commandLine, int) {
    UINT code = 0;
    try {
        ULONG_PTR handleValue = 0;  // kept in the command for its layout; nothing is handed over
        wchar_t address[512];
        parseBrowserTail(commandLine, &handleValue, address, 512);
        code = static_cast<UINT>(openWithShell(address));
        logMessageW(L_INFO, L"ShellExecute() with <%s>", address);
    } catch (...) {
    }
    ExitProcess(code > 32 ? 33 : code);
}
