// The user a job is for: the account the spooler names as its owner, the
// logon session that user works in, and whether anything may be shown to
// them on this machine. The print processor runs in the spooler's service
// (another account, session 0): nothing here is taken from the calling
// thread but where a tool or test asks for it.
#pragma once
#include <windows.h>
#include <wtsapi32.h>
#include "base/udpowner.h"

struct JobOwner {
    wchar_t userName[MAX_PATH];
    BYTE sid[SECURITY_MAX_SID_SIZE];
    bool hasSid;
    DWORD sessionId;
    bool hasSession;
    // Null when the owner can be told about the job here (datagrams, the
    // browser); otherwise why not, for the job's INFO line.
    const char* unreachable;
    // Who holds a port is read from here (null: the system's UDP table).
    const UdpTablePlatform* udpTable;
    // The job's one INFO line about a notifier port that is not the owner's.
    mutable bool toldForeignPort;
};

// The terminal services calls that name sessions and their users; tests
// give their own.
struct SessionPlatform {
    BOOL(WINAPI* enumerate)(HANDLE server, DWORD reserved, DWORD version, PWTS_SESSION_INFOW* sessions, DWORD* count);
    void(WINAPI* freeMemory)(PVOID memory);
    BOOL(WINAPI* queryUserToken)(ULONG session, PHANDLE token);
};
const SessionPlatform& systemSessions();

// The owner of a job printed on this machine (remote false) or elsewhere:
// account, session and whether they can be reached. The account is the
// job's own (sid, the owner of the job's security descriptor); userName is
// only what the job is shown under, which its owner may have rewritten. No
// account (sid null), or a remote job: nothing is told here.
void resolveJobOwner(JobOwner& owner, const wchar_t* userName, const BYTE* sid, bool remote,
                     const SessionPlatform& platform = systemSessions());
// The calling thread's account (the process's when not impersonating) in
// its own session: for tools and tests, never for a spooler's job.
bool threadOwner(JobOwner& owner);
// Whether the account is one a service runs as (the system, local or
// network service): never a person to tell about a job.
bool isServiceAccount(PSID sid);

// The interactive session in which the account is logged on: an active
// session whose user token is the account's; else the process's own
// session when the process runs as that account (the print processor runs
// inside the printing program, as under Wine).
bool findOwnerSession(PSID sid, DWORD* session, const SessionPlatform& platform = systemSessions());
// Whether the token is the account's.
bool tokenIsAccount(HANDLE token, PSID sid);
// True when the account's registry hive is loaded (HKEY_USERS\<SID>).
bool ownerHiveLoaded(PSID sid);
// Opens HKEY_USERS\<SID>\subKey for reading.
LONG openOwnerKey(PSID sid, const wchar_t* subKey, HKEY* key);

// The owner that notifications and the browser of the calling thread's job
// are for; the thread's own account where no job set one.
class COwnerScope {
public:
    explicit COwnerScope(const JobOwner* owner);
    ~COwnerScope();
    COwnerScope(const COwnerScope&) = delete;
    COwnerScope& operator=(const COwnerScope&) = delete;

private:
    const void* m_previous;
};
const JobOwner* currentOwner();
