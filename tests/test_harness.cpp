// A spooler harness: RPQ's exports called as a spooler calls them, on a job
// that is spooled but not yet ended, with the printer's own name, so that
// cancel, pause, the job information and moved clocks can be tested.
#include <windows.h>
#include <gtest/gtest.h>
#include <winspool.h>
#include <winsplp.h>
#include <algorithm>
#include <future>
#include <mutex>
#include "base/clock.h"
#include "printproc/jobcontext.h"
#include "printproc/rawjob/jobowner.h"
#include "printproc/rawjob/jobrecord.h"
#include "printproc/rawjob/spooleridentity.h"
#include "tests/e2efixture.h"
#include "tests/spooledjob.h"

extern "C" {
HANDLE WINAPI OpenPrintProcessor(LPWSTR, PPRINTPROCESSOROPENDATA);
BOOL WINAPI PrintDocumentOnPrintProcessor(HANDLE, LPWSTR);
BOOL WINAPI ClosePrintProcessor(HANDLE);
}

namespace {
using Types = std::vector<std::string>;

// Seconds move by step with every request of one type in the journal: a
// silence passes exactly when the server has seen that request.
class CJournalClock final : public IClock {
public:
    CJournalClock(const CReferenceServer& server, const std::string& type, double step)
        : m_server(server), m_type(type), m_step(step) {}
    FILETIME wallNow() const override { return CSystemClock::instance().wallNow(); }
    double monotonicSeconds() const override {
        size_t n = 0;
        for (const std::string& line : m_server.requests())
            if (messageField(line, "type") == m_type) ++n;
        return m_step * static_cast<double>(n);
    }

private:
    const CReferenceServer& m_server;
    std::string m_type;
    double m_step;
};

// The job's exports called directly (this program's copy of them), so that
// the clock the job reads can be set.
BOOL printDirect(CSpooledJob& job, IClock* clock = nullptr, JobOwnerQuery owner = nullptr,
                 const SpoolerIdentityApi* identity = nullptr) {
    PRINTPROCESSOROPENDATA data = job.openData();
    HANDLE h = OpenPrintProcessor(&job.printer()[0], &data);
    if (!h) return FALSE;
    static_cast<JobContext*>(h)->clock = clock;
    static_cast<JobContext*>(h)->queryOwner = owner;
    static_cast<JobContext*>(h)->spoolerIdentity = identity;
    std::wstring document = job.documentName();
    BOOL result = PrintDocumentOnPrintProcessor(h, &document[0]);
    ClosePrintProcessor(h);
    return result;
}

// The job run by RPQ.dll on a thread of its own, controlled from others.
class CDllRun {
public:
    explicit CDllRun(CSpooledJob& job) : m_document(job.documentName()) {
        PRINTPROCESSOROPENDATA data = job.openData();
        m_handle = m_dll.open(&job.printer()[0], &data);
    }
    ~CDllRun() {
        if (m_printing.valid()) m_printing.wait();
        if (m_handle) m_dll.close(m_handle);
    }
    bool ok() const { return m_handle != nullptr; }
    JobContext* context() const { return static_cast<JobContext*>(m_handle); }
    bool control(DWORD command) {
        return std::async(std::launch::async, [&] { return m_dll.control(m_handle, command); }).get() != FALSE;
    }
    void start() {
        m_printing = std::async(std::launch::async, [&] { return m_dll.print(m_handle, &m_document[0]); });
    }
    BOOL result() { return m_printing.get(); }

private:
    CRpqDll m_dll;
    HANDLE m_handle = nullptr;
    std::wstring m_document;
    std::future<BOOL> m_printing;
};

bool waitForLog(const CPrintSetup& s, const std::string& text) {
    return waitUntil([&] { return s.logText().find(text) != std::string::npos; });
}

// Bound to the system's own processor on a port of its own: the spooled
// jobs it prints go to that file, not to a file "FILE:" in the current folder.
const wchar_t kWinprint[] = L"--processor winprint --port C:\\rpq-harness-winprint.prn";

TEST(Harness, CancelDuringCapture) {
    CPrintSetup s({}, uniqueName(L"Harness cancel"), L"", kWinprint);
    ASSERT_TRUE(s.ok());
    CSpooledJob job(s.printer->name(), randomData(600000, 7));
    ASSERT_TRUE(job.ok());
    CDllRun run(job);
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run.control(JOB_CONTROL_PAUSE));
    run.start();
    ASSERT_TRUE(waitForLog(s, "Printprocessor paused!"));
    EXPECT_TRUE(run.control(JOB_CONTROL_CANCEL));
    EXPECT_FALSE(run.result());
    EXPECT_TRUE(contains(s.notices(), "] Print job 'harness.txt' **** ABORTED ****!!!!"));
    EXPECT_TRUE(s.storageFiles().empty());             // no capture file left
    EXPECT_EQ(s.requestTypes(), (Types{"PING"}));       // the probe only: no XFER
    EXPECT_NE(s.logText().find("Printprocessor aborted!"), std::string::npos);
}

TEST(Harness, PauseThenResume) {
    CPrintSetup s({}, uniqueName(L"Harness pause"), L"", kWinprint);
    ASSERT_TRUE(s.ok());
    CSpooledJob job(s.printer->name(), randomData(600000, 8));
    ASSERT_TRUE(job.ok());
    CDllRun run(job);
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run.control(JOB_CONTROL_PAUSE));
    run.start();
    ASSERT_TRUE(waitForLog(s, "Printprocessor paused!"));
    EXPECT_EQ(s.requestTypes(), (Types{"PING"}));
    EXPECT_TRUE(run.control(JOB_CONTROL_RESUME));
    EXPECT_TRUE(run.result());
    EXPECT_EQ(s.lastJobState(), "verified");
}

TEST(Harness, CancelDuringTheTransfer) {
    CPrintSetup s({"delay:1500 XFER"}, uniqueName(L"Harness cancel late"), L"", kWinprint);
    ASSERT_TRUE(s.ok());
    CSpooledJob job(s.printer->name(), randomData(100000, 9));
    ASSERT_TRUE(job.ok());
    CDllRun run(job);
    ASSERT_TRUE(run.ok());
    run.start();
    ASSERT_TRUE(waitForLog(s, "Enter state: *** INITIATION ***"));
    EXPECT_TRUE(run.control(JOB_CONTROL_CANCEL));
    EXPECT_TRUE(run.result());  // the transfer always ends the job as printed
    EXPECT_EQ(s.requestTypes(), (Types{"PING", "XFER", "RESET"}));
    EXPECT_TRUE(contains(s.notices(), "**** ABORTED ****!!!!"));
    EXPECT_TRUE(s.storageFiles().empty());  // chunk files and record deleted
    std::string log = s.logText();
    EXPECT_NE(log.find("Printprocessor aborted(2)!"), std::string::npos);
    EXPECT_NE(log.find("Enter state: *** QUIT ***"), std::string::npos);
}

// A cancel that comes while a state fails: one RESET, one notice (the
// cancel), nothing of the job left.
TEST(Harness, CancelWhileAStateFails) {
    struct Case {
        Types rules;
        const char* state;
    } cases[] = {
        {{"delay:1500 XFER", "error:1 XFER"}, "INITIATION"},
        {{"delay:1500 CHUNK", "error:1 CHUNK"}, "CHUNK_TRANSFER"},
        {{"delay:1500 PING#2", "error:1 PING#2"}, "WAIT"},
    };
    for (const Case& c : cases) {
        CPrintSetup s(c.rules, uniqueName(L"Harness cancel state"), L"", kWinprint);
        ASSERT_TRUE(s.ok());
        CSpooledJob job(s.printer->name(), "cancelled while failing");
        ASSERT_TRUE(job.ok());
        CDllRun run(job);
        ASSERT_TRUE(run.ok());
        run.start();
        ASSERT_TRUE(waitForLog(s, std::string("Enter state: *** ") + c.state + " ***")) << c.state;
        EXPECT_TRUE(run.control(JOB_CONTROL_CANCEL));
        EXPECT_TRUE(run.result());
        Types types = s.requestTypes();
        EXPECT_EQ(std::count(types.begin(), types.end(), "RESET"), 1) << c.state;
        EXPECT_EQ(types.back(), "RESET") << c.state;
        auto notices = s.notices();
        EXPECT_EQ(std::count_if(notices.begin(), notices.end(),
                                [](const std::string& n) { return n.find("**** ABORTED ****") != std::string::npos; }),
                  1)
            << c.state;
        EXPECT_FALSE(contains(notices, "**** FAILED ****")) << c.state;
        EXPECT_TRUE(s.storageFiles().empty()) << c.state;
    }
}

TEST(Harness, CancelDuringTheFinalResetIsNotResetAgain) {
    CPrintSetup s({"delay:1500 RESET"}, uniqueName(L"Harness cancel end"), L"", kWinprint);
    ASSERT_TRUE(s.ok());
    CSpooledJob job(s.printer->name(), "transferred, then cancelled");
    ASSERT_TRUE(job.ok());
    CDllRun run(job);
    ASSERT_TRUE(run.ok());
    run.start();
    ASSERT_TRUE(waitForLog(s, "Enter state: *** RESET ***"));
    EXPECT_TRUE(run.control(JOB_CONTROL_CANCEL));
    EXPECT_TRUE(run.result());
    EXPECT_EQ(s.requestTypes(), (Types{"PING", "XFER", "CHUNK", "PING", "RESET"}));
    auto notices = s.notices();
    EXPECT_TRUE(contains(notices, "SUCCESSFULLY transferred"));
    EXPECT_FALSE(contains(notices, "ABORTED"));
}

TEST(Harness, SpooledDataThatCannotBeOpenedLeavesNothing) {
    CPrintSetup s({}, uniqueName(L"Harness no data"), L"", kWinprint);
    ASSERT_TRUE(s.ok());
    CSpooledJob job(s.printer->name(), "never read");
    ASSERT_TRUE(job.ok());
    PRINTPROCESSOROPENDATA data = job.openData();
    HANDLE h = OpenPrintProcessor(&job.printer()[0], &data);
    ASSERT_NE(h, nullptr);
    std::wstring document = L"No such printer, Job 4711";
    EXPECT_FALSE(PrintDocumentOnPrintProcessor(h, &document[0]));
    ClosePrintProcessor(h);
    EXPECT_TRUE(s.storageFiles().empty());  // no empty capture file left
    EXPECT_TRUE(contains(s.notices(), "**** FAILED ****!!!!"));
    EXPECT_NE(s.logText().find("Open printer FAILED!"), std::string::npos);
}

TEST(Harness, PagesAndCopiesFromTheJobInformation) {
    CPrintSetup s({}, uniqueName(L"Harness jobinfo"), L"", kWinprint);
    ASSERT_TRUE(s.ok());
    CSpooledJob job(s.printer->name(), "job information");
    ASSERT_TRUE(job.ok());
    EXPECT_TRUE(printDirect(job));
    EXPECT_NE(s.logText().find("Send document with <0> page(s) and <"), std::string::npos);
    EXPECT_EQ(s.lastJobState(), "verified");
}

TEST(Harness, LastChunkUnansweredAfterALongSilence) {
    CPrintSetup s({"silent:close CHUNK#1"}, uniqueName(L"Harness silence"), L"", kWinprint);
    ASSERT_TRUE(s.ok());
    CJournalClock clock(*s.server, "CHUNK", 130.0);  // the dropped CHUNK comes after 130 s of silence
    CSpooledJob job(s.printer->name(), randomData(50000, 10));
    ASSERT_TRUE(job.ok());
    EXPECT_TRUE(printDirect(job, &clock));
    Types types = s.requestTypes();
    ASSERT_GE(types.size(), 6u);
    EXPECT_EQ((Types{types[0], types[1], types[2], types[3]}), (Types{"PING", "XFER", "CHUNK", "PING"}));
    EXPECT_EQ(types.back(), "RESET");
    EXPECT_EQ(s.requestsOf("CHUNK").size(), 1u);  // not sent again
    std::string log = s.logText();
    EXPECT_NE(log.find("CHUNK response timed out!"), std::string::npos);
    EXPECT_NE(log.find("Finished with chunk transfers!"), std::string::npos);
    EXPECT_TRUE(contains(s.notices(), "SUCCESSFULLY transferred"));
}

TEST(Harness, ResetRetriedOnlyWhileTheSilenceIsShort) {
    CPrintSetup s({"silent:close PING#2+", "silent:close RESET"}, uniqueName(L"Harness reset"), L"", kWinprint);
    ASSERT_TRUE(s.ok());
    CJournalClock clock(*s.server, "RESET", 65.0);  // the second RESET comes after 130 s
    CSpooledJob job(s.printer->name(), "never confirmed");
    ASSERT_TRUE(job.ok());
    EXPECT_TRUE(printDirect(job, &clock));
    EXPECT_EQ(s.requestTypes(), (Types{"PING", "XFER", "CHUNK", "PING", "RESET", "RESET"}));
    EXPECT_TRUE(s.storageFiles().empty());  // a job the server never confirmed is failed and told
    EXPECT_TRUE(contains(s.notices(), "**** FAILED ****!!!!"));
}

// A job printed on another machine of a print server: its owner and host
// are the job's, and nothing of it appears on this machine's desktop.
TEST(Harness, ARemoteJobCarriesItsOwnerAndMachineAndIsToldNothingHere) {
    CPrintSetup s({}, uniqueName(L"Harness remote"), L"", kWinprint);
    ASSERT_TRUE(s.ok());
    CSpooledJob job(s.printer->name(), "from afar");
    ASSERT_TRUE(job.ok());
    JobOwnerQuery remote = [](JobContext*, LPCWSTR, JobOwnerFacts* facts) {
        wcscpy(facts->user, L"alice");
        wcscpy(facts->machine, L"\\\\FARHOST.corp.example");
        JobOwner me;
        facts->hasSid = threadOwner(me);
        memcpy(facts->sid, me.sid, sizeof(facts->sid));
        return true;
    };
    EXPECT_TRUE(printDirect(job, nullptr, remote));
    EXPECT_EQ(s.lastJobState(), "verified");
    auto xfer = s.requestsOf("XFER");
    ASSERT_EQ(xfer.size(), 1u);
    EXPECT_EQ(messageField(xfer[0], "username"), "alice");
    EXPECT_EQ(messageField(xfer[0], "hostname"), "FARHOST");
    EXPECT_TRUE(s.notices().empty());
    EXPECT_NE(s.logText().find("No notifications and no browser for <alice>: the job came from another machine"),
              std::string::npos);
}

// A local job (named with this machine's name) is told to the job's own
// account, whatever name the job shows: its owner may have rewritten it,
// and the name is only what the XFER carries.
TEST(Harness, ALocalJobOfTheOwnerIsTold) {
    CPrintSetup s({}, uniqueName(L"Harness local owner"), L"", kWinprint);
    ASSERT_TRUE(s.ok());
    CSpooledJob job(s.printer->name(), "from here");
    ASSERT_TRUE(job.ok());
    JobOwnerQuery local = [](JobContext*, LPCWSTR, JobOwnerFacts* facts) {
        wcscpy(facts->user, L"Administrator");  // rewritten with SetJob
        wchar_t host[MAX_PATH];
        DWORD size = MAX_PATH;
        GetComputerNameExW(ComputerNameNetBIOS, host, &size);
        _snwprintf(facts->machine, MAX_PATH, L"\\\\%ls", host);
        JobOwner me;
        facts->hasSid = threadOwner(me);
        memcpy(facts->sid, me.sid, sizeof(facts->sid));
        return true;
    };
    EXPECT_TRUE(printDirect(job, nullptr, local));
    wchar_t host[MAX_PATH];
    DWORD size = MAX_PATH;
    GetComputerNameExW(ComputerNameNetBIOS, host, &size);
    EXPECT_EQ(messageField(s.requestsOf("XFER").at(0), "hostname"), narrow(host));
    EXPECT_EQ(messageField(s.requestsOf("XFER").at(0), "username"), "Administrator");
    EXPECT_TRUE(contains(s.notices(), "SUCCESSFULLY transferred"));
}

// A job whose information names a user but no account is told nothing: the
// name alone could be anyone's.
TEST(Harness, AJobWithoutItsOwnersAccountIsToldNothing) {
    CPrintSetup s({}, uniqueName(L"Harness no account"), L"", kWinprint);
    ASSERT_TRUE(s.ok());
    CSpooledJob job(s.printer->name(), "whose");
    ASSERT_TRUE(job.ok());
    JobOwnerQuery nameOnly = [](JobContext*, LPCWSTR, JobOwnerFacts* facts) {
        DWORD size = MAX_PATH;
        GetUserNameW(facts->user, &size);  // this very user's name, but no account
        return true;
    };
    EXPECT_TRUE(printDirect(job, nullptr, nameOnly));
    EXPECT_EQ(s.lastJobState(), "verified");
    EXPECT_TRUE(s.notices().empty());
    EXPECT_NE(s.logText().find("the job's information names no owner's account"), std::string::npos);
}

// Only an empty machine name or this machine's own is local; anything else
// is remote, and the XFER's host field keeps only what a host name may hold.
TEST(JobOwner, MachineNames) {
    wchar_t own[MAX_PATH];
    DWORD size = MAX_PATH;
    GetComputerNameExW(ComputerNameNetBIOS, own, &size);
    wchar_t host[kHostNameChars];
    EXPECT_FALSE(remoteHostName(L"", host, kHostNameChars));
    EXPECT_FALSE(remoteHostName((L"\\\\" + std::wstring(own)).c_str(), host, kHostNameChars));
    const std::pair<const wchar_t*, const wchar_t*> remote[] = {
        {L"\\\\FARHOST.corp.example", L"FARHOST"}, {L"\\\\.corp", L"UNKNOWN"}, {L"..", L"UNKNOWN"},
        {L"\\\\10.1.2.3", L"10.1.2.3"}, {L"\\\\fe80::1:2", L"fe80::1:2"},
        {L"\\\\EVIL\r\n<b>x", L"EVILbx"}, {L"\\\\ABCDEFGHIJKLMNOPQRS", L"ABCDEFGHIJKLMNO"}};
    for (const auto& r : remote) {
        EXPECT_TRUE(remoteHostName(r.first, host, kHostNameChars)) << narrow(r.first);
        EXPECT_EQ(std::wstring(host), r.second) << narrow(r.first);
    }
    EXPECT_TRUE(remoteHostName(L"\\\\", host, kHostNameChars));  // names no machine, so not this one
    EXPECT_EQ(std::wstring(host), L"UNKNOWN");
}

// A spooler thread that impersonates the job's client works on the
// printer's key and ProgramData as the spooler, and is the client again
// afterwards.
TEST(Harness, AnImpersonatingThreadWorksAsTheSpooler) {
    static int reverts, impersonations;
    static bool impersonatingInside;
    SpoolerIdentityApi recording = {
        []() -> HANDLE {
            ++reverts;
            HANDLE token = nullptr;
            OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE | TOKEN_QUERY, TRUE, &token);
            RevertToSelf();
            return token;
        },
        [](HANDLE token) -> BOOL {
            ++impersonations;
            HANDLE current = nullptr;
            impersonatingInside = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &current) != FALSE;
            if (current) CloseHandle(current);
            BOOL ok = SetThreadToken(nullptr, token);
            CloseHandle(token);
            return ok;
        }};
    CPrintSetup s({}, uniqueName(L"Harness identity"), L"", kWinprint);
    ASSERT_TRUE(s.ok());
    CSpooledJob plain(s.printer->name(), "not impersonating");
    ASSERT_TRUE(plain.ok());
    EXPECT_TRUE(printDirect(plain, nullptr, nullptr, &recording));
    EXPECT_EQ(reverts + impersonations, 0);  // nothing to revert

    CSpooledJob job(s.printer->name(), "impersonating");
    ASSERT_TRUE(job.ok());
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    EXPECT_TRUE(printDirect(job, nullptr, nullptr, &recording));
    HANDLE after = nullptr;
    EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &after));
    if (after) CloseHandle(after);
    RevertToSelf();
    EXPECT_EQ(reverts, 1);
    EXPECT_EQ(impersonations, 1);
    EXPECT_FALSE(impersonatingInside);  // the job ran as the spooler until its end
    EXPECT_EQ(s.lastJobState(), "verified");
}
// The job's status in the printer's queue, watched from another thread
// while the job runs against a slow server. (Wine's SetJob refuses level 1,
// error 122: a stand-in for SetJob records the calls the real path makes.)
std::mutex g_statusLock;
std::vector<std::string> g_statuses;

// SetJobW as the spooler would take it: level 1, the job's own information
// as GetJob gave it, its status replaced, no command.
BOOL WINAPI recordSetJob(HANDLE, DWORD jobId, DWORD level, LPBYTE info, DWORD command) {
    std::lock_guard<std::mutex> hold(g_statusLock);
    auto* job = reinterpret_cast<JOB_INFO_1W*>(info);
    if (level != 1 || command != 0 || !job || job->JobId != jobId || !job->pStatus || !job->pDocument) {
        g_statuses.push_back("(a call the spooler would refuse)");
        return FALSE;
    }
    g_statuses.push_back(narrow(job->pStatus));
    return TRUE;
}

TEST(Harness, TheQueueShowsWhereTheJobIs) {
    CPrintSetup s({"delay:700 XFER", "delay:700 CHUNK", "delay:700 PING#2"}, uniqueName(L"Harness status"), L"",
                  kWinprint);
    ASSERT_TRUE(s.ok());
    CSpooledJob job(s.printer->name(), randomData(50000, 11));
    ASSERT_TRUE(job.ok());
    g_statuses.clear();
    CDllRun run(job);
    ASSERT_TRUE(run.ok());
    run.context()->setJob = recordSetJob;
    run.start();
    auto last = [] {
        std::lock_guard<std::mutex> hold(g_statusLock);
        return g_statuses.empty() ? std::string() : g_statuses.back();
    };
    // Seen while the server makes the job wait, then at its end.
    EXPECT_TRUE(waitUntil([&] { return last() == "Waiting for the server"; }));
    EXPECT_TRUE(waitUntil([&] { return last() == "Transferred"; }));
    EXPECT_TRUE(run.result());
    EXPECT_EQ(g_statuses, (std::vector<std::string>{"Compressing", "Sending part 1 of 1", "Waiting for the server",
                                                    "Transferred"}));
}

// A job the server refuses shows why it failed.
TEST(Harness, TheQueueShowsAFailure) {
    CPrintSetup s({"error:3 XFER"}, uniqueName(L"Harness status failed"), L"", kWinprint);
    ASSERT_TRUE(s.ok());
    CSpooledJob job(s.printer->name(), "refused");
    ASSERT_TRUE(job.ok());
    g_statuses.clear();
    CDllRun run(job);
    ASSERT_TRUE(run.ok());
    run.context()->setJob = recordSetJob;
    run.start();
    EXPECT_TRUE(run.result());
    ASSERT_FALSE(g_statuses.empty());
    EXPECT_EQ(g_statuses.back(), "Failed: the job could not be transferred");
}
}  // namespace
