#include "interact/owner.h"
#include "base/tokenaccount.h"
#include <sddl.h>
#include <cstring>
#include <string>
#include <strsafe.h>
#include "base/threadslot.h"
#include "base/unique.h"

namespace {
const CThreadSlot t_owner;  // the owner of each thread's job

void freeWts(PWTS_SESSION_INFOW p, const SessionPlatform& platform) {
    if (p && platform.freeMemory) platform.freeMemory(p);
}

std::wstring sidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return std::wstring();
    unique_hlocal owner(text);
    return text;
}
const SessionPlatform kSystemSessions = {WTSEnumerateSessionsW, WTSFreeMemory, WTSQueryUserToken};
}  // namespace

bool tokenIsAccount(HANDLE token, PSID sid) {
    BYTE user[SECURITY_MAX_SID_SIZE];
    return tokenAccount(token, user, sizeof(user)) && EqualSid(user, sid);
}

const SessionPlatform& systemSessions() { return kSystemSessions; }

bool findOwnerSession(PSID sid, DWORD* session, const SessionPlatform& platform) {
    PWTS_SESSION_INFOW sessions = nullptr;
    DWORD count = 0;
    if (platform.enumerate && platform.enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
        bool found = false;
        for (DWORD i = 0; i < count && !found; ++i) {
            if (sessions[i].State != WTSActive || !platform.queryUserToken) continue;
            unique_handle token;
            if (platform.queryUserToken(sessions[i].SessionId, token.put()) && tokenIsAccount(token.get(), sid)) {
                *session = sessions[i].SessionId;
                found = true;
            }
        }
        freeWts(sessions, platform);
        if (found) return true;
    }
    // The print processor inside the owner's own program (Wine's spooler).
    unique_handle process;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, process.put()) || !tokenIsAccount(process.get(), sid))
        return false;
    return ProcessIdToSessionId(GetCurrentProcessId(), session) != FALSE;
}

LONG openOwnerKey(PSID sid, const wchar_t* subKey, HKEY* key) {
    std::wstring path = sidText(sid);
    if (path.empty()) return static_cast<LONG>(GetLastError());
    if (subKey && *subKey) path += std::wstring(L"\\") + subKey;
    return RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, key);
}

bool ownerHiveLoaded(PSID sid) {
    unique_hkey hive;
    return openOwnerKey(sid, nullptr, hive.put()) == ERROR_SUCCESS;
}

bool isServiceAccount(PSID sid) {
    for (WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinLocalServiceSid, WinNetworkServiceSid}) {
        BYTE known[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(known);
        if (CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known)) return true;
    }
    return false;
}

void resolveJobOwner(JobOwner& owner, const wchar_t* userName, const BYTE* sid, bool remote,
                     const SessionPlatform& platform) {
    owner = {};
    StringCchCopyW(owner.userName, MAX_PATH, userName ? userName : L"");
    if (remote) {
        owner.unreachable = "the job came from another machine";
        return;
    }
    // By the account itself, never by a name: a name can be rewritten by the
    // job's owner, and a local account of the same name wins a name lookup.
    PSID account = const_cast<BYTE*>(sid);
    owner.hasSid = sid && IsValidSid(account) && CopySid(sizeof(owner.sid), owner.sid, account);
    if (!owner.hasSid) {
        owner.unreachable = "the job's information names no owner's account";
        return;
    }
    if (isServiceAccount(owner.sid)) {
        owner.unreachable = "the job's owner is a service account";
        return;
    }
    if (!ownerHiveLoaded(owner.sid)) {
        owner.unreachable = "the owner has no profile loaded on this machine";
        return;
    }
    owner.hasSession = findOwnerSession(owner.sid, &owner.sessionId, platform);
    if (!owner.hasSession) owner.unreachable = "the owner is not logged on to this machine";
}

bool threadOwner(JobOwner& owner) {
    owner = {};
    unique_handle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return false;
    DWORD size = 0;
    owner.hasSid = tokenAccount(token.get(), owner.sid, sizeof(owner.sid));
    owner.hasSession = GetTokenInformation(token.get(), TokenSessionId, &owner.sessionId, sizeof(DWORD), &size) != FALSE;
    DWORD nameSize = MAX_PATH;
    if (!GetUserNameW(owner.userName, &nameSize)) owner.userName[0] = L'\0';
    if (!owner.hasSid || !ownerHiveLoaded(owner.sid)) owner.unreachable = "the account has no profile loaded";
    return owner.hasSid;
}

COwnerScope::COwnerScope(const JobOwner* owner) : m_previous(t_owner.get()) { t_owner.set(const_cast<JobOwner*>(owner)); }
COwnerScope::~COwnerScope() { t_owner.set(const_cast<void*>(m_previous)); }
const JobOwner* currentOwner() { return static_cast<const JobOwner*>(t_owner.get()); }
