// Notifier datagrams received by a real UDP socket.
#include <windows.h>
#include <gtest/gtest.h>
#include <winsock2.h>
#include <memory>
#include "interact/notify.h"
#include "interact/owner.h"
#include <sddl.h>
#include "printproc/rawjob/jobstate.h"
#include "tests/testutil.h"

namespace {
struct Row {
    int level;
    const wchar_t* format;
};
// The catalogue, filled with printer "Office", document "Report", 3 pages,
// 2 parts.
const Row kRows[] = {
    {L_START, L"[Office] Start working on print job 'Report'"},
    {L_ERROR, L"[Office] print job 'Report' can't be processed because server in not ready."},
    {L_ERROR, L"[Office] Print job 'Report' **** ABORTED ****!!!!"},
    {L_INFO, L"[Office] Sending print job 'Report' with 3 page(s)"},
    {L_DEBUG, L"[Office] Create 2 parts for transmission"},
    {L_ERROR, L"[Office] print job FAILED, because 'Undefined'"},
    {L_INFO, L"[Office] Sending part 1 of 2"},
    {L_STOP, L"[Office] END, print job 'Report' SUCCESSFULLY transferred."},
    {L_ERROR, L"[Office] Print job 'Report' **** FAILED ****!!!!"},
    {L_ERROR, L"[Office] **** Your document could not be processed. Please try to send the job again. ****"},
};

std::wstring sidString(const BYTE* sid) {
    LPWSTR text = nullptr;
    ConvertSidToStringSidW(const_cast<BYTE*>(sid), &text);
    std::wstring result = text ? text : L"";
    LocalFree(text);
    return result;
}

class NotifyTest : public ::testing::Test {
protected:
    CJobState state;
    CJobScope scope{state};
    std::unique_ptr<CUdpListener> listener;

    void SetUp() override {
        wchar_t name[MAX_PATH];
        wcscpy(name, uniqueName(L"Notify").c_str());
        ASSERT_TRUE(state.log().openLogFile(name));
    }
    // Listens on all addresses: the sender aims at the host's first IPv4
    // address, not at loopback.
    void listen(USHORT wanted, const wchar_t* portText = nullptr) {
        listener = std::make_unique<CUdpListener>(wanted, portText);
        ASSERT_TRUE(listener->ok());
    }
    std::vector<std::string> receiveAll() { return listener->receiveAll(); }
};

TEST_F(NotifyTest, RowsAndPrefixByLogLevel) {
    listen(0);
    const char* uid = "N0tifyUid1";
    for (int logLevel : {L_ON, L_TRACE, L_DEBUG, L_INFO, L_WARN, L_ERROR, L_FATAL, L_OFF}) {
        state.log().setLevel(logLevel);
        for (const Row& row : kRows) sendNotification(row.level, uid, L"%s", row.format);
        auto got = receiveAll();
        size_t next = 0;
        for (const Row& row : kRows) {
            if (row.level < logLevel) continue;
            ASSERT_LT(next, got.size()) << "log level " << logLevel;
            const std::string& d = got[next++];
            std::string marker = std::string(kNotifierMarker) + ":";
            ASSERT_EQ(d.substr(0, 37), marker);
            ASSERT_EQ(d.back(), '\0');
            ASSERT_EQ(d.substr(d.size() - 3, 2), "\r\n");
            std::string text = d.substr(37, d.size() - 40);
            std::string message = narrow(row.format);
            if (wantsTimePrefix(logLevel, row.level)) {
                ASSERT_EQ(text.size(), 22 + message.size()) << text;
                EXPECT_EQ(text[0], '[');
                EXPECT_EQ(text[3], ':');
                EXPECT_EQ(text.substr(9, 13), std::string("][") + uid + "]");
                EXPECT_EQ(text.substr(22), message);
            } else {
                EXPECT_EQ(text, message) << "log level " << logLevel;
            }
        }
        EXPECT_EQ(next, got.size()) << "log level " << logLevel;
    }
}

TEST_F(NotifyTest, PrefixRule) {
    for (int m : {L_START, L_STOP, L_INFO, L_ERROR}) {
        EXPECT_TRUE(wantsTimePrefix(L_ON, m));
        EXPECT_TRUE(wantsTimePrefix(L_DEBUG, m));
        EXPECT_FALSE(wantsTimePrefix(L_INFO, m));
        EXPECT_FALSE(wantsTimePrefix(L_WARN, m));
    }
    EXPECT_TRUE(wantsTimePrefix(L_ERROR, L_ERROR));
    EXPECT_TRUE(wantsTimePrefix(L_ERROR, L_FATAL));
    EXPECT_FALSE(wantsTimePrefix(L_ERROR, L_START));
    EXPECT_FALSE(wantsTimePrefix(L_FATAL, L_STOP));
}

TEST_F(NotifyTest, PortTextKeepsItsLowSixteenBits) {
    listen(0);
    // A free port written as port + 65536: only its low sixteen bits count.
    std::wstring over = std::to_wstring(listener->port() + 65536u);
    RegSetKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify", L"UDPPort", REG_SZ,
                    over.c_str(), static_cast<DWORD>((over.size() + 1) * 2));
    state.log().setLevel(L_INFO);
    sendNotification(L_START, "0123456789", L"[%s] Start working on print job '%s'", L"P", L"D");
    auto got = receiveAll();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("[P] Start working on print job 'D'"), std::string::npos);
    wchar_t text[261];
    JobOwner me;
    ASSERT_TRUE(threadOwner(me));
    EXPECT_EQ(notifierPort(me, text, 261), listener->port());
    EXPECT_EQ(text, over);
    RegSetKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify", L"UDPPort", REG_SZ, L"abc", 8);
    EXPECT_EQ(notifierPort(me, text, 261), 0);  // not a number: port 0
}

// In the spooler, HKEY_CURRENT_USER is the service's own hive: the port is
// read from the job owner's hive, where their notifier publishes it.
TEST_F(NotifyTest, PortComesFromTheOwnersHiveNotTheProcesssCurrentUser) {
    CUdpListener decoy;  // what the spooler's own HKCU would name
    listen(0);           // the owner's "UDPPort"
    ASSERT_TRUE(decoy.ok());
    state.log().setLevel(L_INFO);
    JobOwner me, owner;
    ASSERT_TRUE(threadOwner(me));
    resolveJobOwner(owner, me.userName, me.sid, false);
    ASSERT_EQ(owner.unreachable, nullptr);
    COwnerScope scope(&owner);

    HKEY foreign = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\RPQTest\\ServiceHive", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &foreign, nullptr),
              ERROR_SUCCESS);
    std::wstring decoyPort = std::to_wstring(decoy.port());
    RegSetKeyValueW(foreign, L"SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify", L"UDPPort", REG_SZ, decoyPort.c_str(),
                    static_cast<DWORD>((decoyPort.size() + 1) * 2));
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, foreign), ERROR_SUCCESS);
    sendNotification(L_START, "0123456789", L"[%s] Start working on print job '%s'", L"P", L"One");

    // A port the owner's notifier published for the session wins over "UDPPort".
    CUdpListener published;
    ASSERT_TRUE(published.ok());
    HKEY sessions = nullptr;
    std::wstring sid = sidString(owner.sid);
    ASSERT_EQ(RegCreateKeyExW(HKEY_USERS, (sid + L"\\" + kNotifierSessionsKey).c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &sessions, nullptr),
              ERROR_SUCCESS);
    DWORD port = published.port();
    RegSetValueExW(sessions, std::to_wstring(owner.sessionId).c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&port),
                   sizeof(port));
    RegCloseKey(sessions);
    sendNotification(L_START, "0123456789", L"[%s] Start working on print job '%s'", L"P", L"Two");
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(foreign);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\RPQTest\\ServiceHive");
    RegDeleteTreeW(HKEY_USERS, (sid + L"\\" + kNotifierSessionsKey).c_str());

    auto mine = receiveAll();
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_NE(mine[0].find("'One'"), std::string::npos);
    auto fromPublished = published.receiveAll();
    ASSERT_EQ(fromPublished.size(), 1u);
    EXPECT_NE(fromPublished[0].find("'Two'"), std::string::npos);
    EXPECT_TRUE(decoy.receiveAll().empty());
}

// Nothing of a job goes to a desktop that is not its owner's.
TEST_F(NotifyTest, AnOwnerWhoCannotBeReachedGetsNothing) {
    listen(0);
    state.log().setLevel(L_INFO);
    JobOwner me, remote, stranger, named, service;
    ASSERT_TRUE(threadOwner(me));
    resolveJobOwner(remote, L"alice", me.sid, true);
    EXPECT_STREQ(remote.unreachable, "the job came from another machine");
    resolveJobOwner(stranger, L"no-such-account-here", nullptr, false);
    EXPECT_STREQ(stranger.unreachable, "the job's information names no owner's account");
    // The owner's own name is no account: a job without one is told nothing.
    resolveJobOwner(named, me.userName, nullptr, false);
    EXPECT_STREQ(named.unreachable, "the job's information names no owner's account");
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof(system);
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize));
    resolveJobOwner(service, L"SYSTEM", system, false);
    EXPECT_STREQ(service.unreachable, "the job's owner is a service account");
    for (const JobOwner* owner : {&remote, &stranger, &named, &service}) {
        COwnerScope scope(owner);
        notifyJobFailed(L"Office", L"Secret plans.docx", "0123456789");
    }
    EXPECT_TRUE(receiveAll().empty());
}

// Sessions are told apart by their user tokens; the first active session
// of the account is the owner's.
TEST_F(NotifyTest, TheOwnersSessionIsTheOneWhoseTokenIsTheirs) {
    static DWORD ownSession;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &ownSession));
    SessionPlatform platform = {
        [](HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* sessions, DWORD* count) -> BOOL {
            static WTS_SESSION_INFOW list[3] = {{7, const_cast<LPWSTR>(L"RDP-Tcp#1"), WTSDisconnected},
                                                {8, const_cast<LPWSTR>(L"RDP-Tcp#2"), WTSActive},
                                                {9, const_cast<LPWSTR>(L"RDP-Tcp#3"), WTSActive}};
            *sessions = list;
            *count = 3;
            return TRUE;
        },
        [](PVOID) {},
        [](ULONG session, PHANDLE token) -> BOOL {
            // Session 9 is this account's; 7 would be too, but is not active.
            if (session != 9 && session != 7) return FALSE;
            return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token);
        }};
    JobOwner me;
    ASSERT_TRUE(threadOwner(me));
    DWORD session = 0;
    ASSERT_TRUE(findOwnerSession(me.sid, &session, platform));
    EXPECT_EQ(session, 9u);
    // No session of the account: only the process's own, as it runs as the account.
    platform.queryUserToken = [](ULONG, PHANDLE) -> BOOL { return FALSE; };
    ASSERT_TRUE(findOwnerSession(me.sid, &session, platform));
    EXPECT_EQ(session, ownSession);
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(system);
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
    EXPECT_FALSE(findOwnerSession(system, &session, platform));
}

TEST_F(NotifyTest, LongMessagesAreCutInsideTheBuffer) {
    char buffer[kDatagramSize + 16];
    memset(buffer, 'Z', sizeof(buffer));
    std::string text(1000, 'x');
    size_t length = buildDatagram(buffer, "[12:00:00][0123456789]", text.c_str());
    EXPECT_EQ(length, kDatagramSize - 1);
    EXPECT_EQ(std::string(buffer + 497, 3), std::string("\r\n\0", 3));
    EXPECT_EQ(buffer[kDatagramSize], 'Z');  // nothing past the buffer
    EXPECT_EQ(std::string(buffer + 37, 22), "[12:00:00][0123456789]");
}

TEST_F(NotifyTest, FailureNoticesWithoutANotifier) {
    listen(0);
    state.log().setLevel(L_INFO);
    EXPECT_FALSE(isProcessRunning(L"Trayherald.exe"));
    EXPECT_TRUE(isProcessRunning(L"TEST_NOTIFY.EXE"));
    notifyJobFailed(L"Office", L"Report", "0123456789");
    auto got = receiveAll();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].find(narrow(kRows[8].format)), std::string::npos);
    EXPECT_NE(got[1].find(narrow(kRows[9].format)), std::string::npos);
    // Something received them: no claim that nothing could.
    std::string log = readFileBytes(state.log().path());
    EXPECT_EQ(log.find("TaskBarNotifier not available!"), std::string::npos);
    // Nothing listens on the port any more: now it is told.
    listener.reset();
    notifyJobFailed(L"Office", L"Report", "0123456789");
    log = readFileBytes(state.log().path());
    EXPECT_NE(log.find("[ERROR] TaskBarNotifier not available!"), std::string::npos);
}
}  // namespace

namespace {
// The system's UDP table as Windows fills it (Wine's names no process): the
// port is held by process 4242, of the account the test chooses.
struct CUdpTableStandIn {
    static inline BYTE account[SECURITY_MAX_SID_SIZE];
    static inline DWORD session = 0;
    static bool holders(USHORT, std::vector<DWORD>* pids) {
        pids->push_back(4242);
        return true;
    }
    static bool processAccount(DWORD pid, BYTE* sid, DWORD sidSize, DWORD* where) {
        *where = session;
        return pid == 4242 && CopySid(sidSize, sid, account);
    }
};

// A datagram goes only to a port that a process of the job owner's own
// account holds in the owner's session: any user's program may listen on
// a notifier's port while that user's Trayherald is closed.
TEST_F(NotifyTest, NoticesOnlyToAPortTheOwnersProgramHolds) {
    static const UdpTablePlatform standIn = {CUdpTableStandIn::holders, CUdpTableStandIn::processAccount};
    listen(0);
    state.log().setLevel(L_INFO);
    JobOwner owner;
    ASSERT_TRUE(threadOwner(owner));
    owner.unreachable = nullptr;
    owner.udpTable = &standIn;
    CUdpTableStandIn::session = owner.hasSession ? owner.sessionId : 0;
    COwnerScope scope(&owner);

    DWORD size = sizeof(CUdpTableStandIn::account);
    ASSERT_TRUE(CreateWellKnownSid(WinLocalServiceSid, nullptr, CUdpTableStandIn::account, &size));  // someone else's
    sendNotification(L_START, "0123456789", L"[%s] Start working on print job '%s'", L"P", L"Secret layoff plans.docx");
    notifyJobFailed(L"P", L"Secret layoff plans.docx", "0123456789");
    EXPECT_TRUE(receiveAll().empty());
    std::string log = readFileBytes(state.log().path());
    EXPECT_NE(log.find("is held by another account's program: no notifications are sent"), std::string::npos);

    ASSERT_TRUE(CopySid(sizeof(CUdpTableStandIn::account), CUdpTableStandIn::account, owner.sid));  // the owner's own
    sendNotification(L_START, "0123456789", L"[%s] Start working on print job '%s'", L"P", L"Report");
    auto got = receiveAll();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("'Report'"), std::string::npos);
}
}  // namespace
