// Log files: location, line format, levels, banner and jobs side by side.
#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <aclapi.h>
#include <sddl.h>
#include <regex>
#include <thread>
#include "base/module.h"
#include "base/printerkey.h"
#include "base/namedlock.h"
#include "config/serial.h"
#include "config/settings.h"
#include "diag/log.h"
#include "diag/security.h"
#include "printproc/rawjob/jobstate.h"
#include "tests/testutil.h"

namespace {
// A printer's settings key, written the way an administrator would.
class CLoggerSetting {
public:
    CLoggerSetting(const std::wstring& escapedPrinter, const wchar_t* logger) {
        wchar_t path[MAX_PATH];
        _snwprintf(path, MAX_PATH, kSettingsKeyFormat, escapedPrinter.c_str());
        m_path = path;
        m_printerKey = m_path.substr(0, m_path.size() - 5);  // no spooler printer behind it
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (key && logger)
            RegSetValueExW(key, L"Logger", 0, REG_SZ, reinterpret_cast<const BYTE*>(logger),
                           static_cast<DWORD>((wcslen(logger) + 1) * sizeof(wchar_t)));
        if (key) RegCloseKey(key);
    }
    ~CLoggerSetting() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_printerKey.c_str()); }

private:
    std::wstring m_path;
    std::wstring m_printerKey;
};

// One job's log, bound to the calling thread.
struct CJobLog {
    CJobState state;
    CJobScope scope{state};
    wchar_t printer[MAX_PATH] = {};
    explicit CJobLog(const std::wstring& name, bool readLevel = false) {
        wcscpy(printer, name.c_str());
        EXPECT_TRUE(state.log().openLogFile(printer));
        if (readLevel) {
            wchar_t value[MAX_PATH] = {};
            CLog::LevelSource source = readLogLevelSetting(printer, value);
            state.log().setLogLevel(source, value);
        }
    }
    std::vector<std::string> lines() const { return splitLines(readFileBytes(const_cast<CJobState&>(state).log().path())); }
    // Message texts without the time and level prefix.
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const std::string& line : lines()) out.push_back(line.size() >= 21 ? line.substr(21) : line);
        return out;
    }
};

bool contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

TEST(Log, FileNameFolderAndLineFormat) {
    std::wstring name = uniqueName(L"Log a:b %x");
    CJobLog job(name);
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t expectedTail[MAX_PATH];
    std::wstring escaped = name;
    escaped.replace(escaped.find(L'%'), 1, L"%25");
    escaped.replace(escaped.find(L':'), 1, L"%3a");
    _snwprintf(expectedTail, MAX_PATH, L"\\Halvane\\RPQ\\Log\\%ls\\RPQ-%d-%02d-%02d.log", escaped.c_str(), now.wYear,
               now.wMonth, now.wDay);
    std::wstring path = job.state.log().path();
    ASSERT_GE(path.size(), wcslen(expectedTail));
    EXPECT_EQ(path.substr(path.size() - wcslen(expectedTail)), expectedTail);
    EXPECT_STREQ(job.printer, escaped.c_str());  // escaped in the caller's buffer

    logMessage(L_INFO, "value <%d>", 5);
    logMessage(L_WARN, "first\r\nsecond\nthird");
    logMessageW(L_ERROR, L"wide <%s> <%d>", L"Gr\u00fc\u00dfe", 7);
    logMessage(L_DEBUG, "below the level");
    auto lines = job.lines();
    ASSERT_EQ(lines.size(), 3u);
    std::regex format(R"(\d\d:\d\d:\d\d\.\d\d\d \[(INFO |WARN |ERROR)\] .*)");
    for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, format)) << line;
    EXPECT_EQ(lines[0].substr(13), "[INFO ] value <5>");
    EXPECT_EQ(lines[1].substr(13), "[WARN ] first.|second|third");
    EXPECT_EQ(lines[2].substr(13), "[ERROR] wide <Gr\xc3\xbc\xc3\x9f" "e> <7>");  // UTF-8
}

// Log lines name users' documents: nobody but the system and the
// administrators may read the log or its folders.
TEST(Log, LogsAreForTheSystemAndAdministratorsOnly) {
    CJobLog job(uniqueName(L"Log private"));
    std::wstring file = job.state.log().path();
    std::wstring folder = file.substr(0, file.find_last_of(L'\\'));
    // (Wine keeps an existing folder's list whatever SetSecurityInfo is told:
    // the shared "Log" folder is checked only where this run made it.)
    for (const std::wstring& path : {file, folder}) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        PACL dacl = nullptr;
        ASSERT_EQ(GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                        nullptr, &sd),
                  ERROR_SUCCESS);
        LPWSTR text = nullptr;
        ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                         &text, nullptr));
        std::wstring sddl = text;
        LocalFree(text);
        LocalFree(sd);
        EXPECT_NE(sddl.find(L";;;SY)"), std::wstring::npos) << narrow(path) << " " << narrow(sddl);
        for (const wchar_t* anyone : {L";;;WD)", L";;;BU)", L";;;AU)", L";;;IU)"})
            EXPECT_EQ(sddl.find(anyone), std::wstring::npos) << narrow(path) << " " << narrow(sddl);
    }
}

TEST(Log, SecondJobAppendsAfterAnEmptyLine) {
    std::wstring name = uniqueName(L"Log again");
    std::wstring path;
    {
        CJobLog first(name);
        logMessage(L_INFO, "job one");
        path = first.state.log().path();
    }
    {
        CJobLog second(name);
        logMessage(L_INFO, "job two");
    }
    auto lines = splitLines(readFileBytes(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("job one"), std::string::npos);
    EXPECT_EQ(lines[1], "");
    EXPECT_NE(lines[2].find("job two"), std::string::npos);
}

TEST(Log, LevelsFromTheLoggerValue) {
    std::wstring name = uniqueName(L"Log level");
    {
        CJobLog job(name, true);  // no key at all
        EXPECT_EQ(job.state.log().level(), L_INFO);
        EXPECT_TRUE(contains(job.messages(), "Set log level to INFO (default - registry key not found)"));
    }
    struct Case {
        const wchar_t* setting;
        int level;
        const char* line;
    } cases[] = {
        {nullptr, L_INFO, "Set log level to INFO (default - registry value not found)"},
        {L"debug", L_DEBUG, "Set log level to DEBUG (from registry)"},
        {L"Trace", L_TRACE, "Set log level to TRACE (from registry)"},
        {L"verbose", L_INFO, nullptr},
        {L"WARN", L_WARN, nullptr},  // its own INFO line is below WARN
        {L"OFF", L_OFF, nullptr},
    };
    for (const Case& c : cases) {
        std::wstring printer = uniqueName(L"Log level");
        CLoggerSetting setting(printer, c.setting);
        CJobLog job(printer, true);
        EXPECT_EQ(job.state.log().level(), c.level) << (c.setting ? narrow(c.setting) : "none");
        auto messages = job.messages();
        if (c.line) {
            EXPECT_TRUE(contains(messages, c.line)) << c.line;
        } else {
            EXPECT_FALSE(contains(messages, "Set log level")) << narrow(c.setting);
        }
    }
}

TEST(Log, OffAndFatalThresholds) {
    std::wstring printer = uniqueName(L"Log off");
    CLoggerSetting setting(printer, L"OFF");
    CJobLog job(printer, true);
    for (int level = L_ON; level <= L_OFF; ++level) logMessage(level, "level %d", level);
    logSystemError("Failed with <%lu>", ERROR_FILE_NOT_FOUND);
    std::vector<std::string> expectedOff = {"Failed with <2>"};  // only the system error's own line
    EXPECT_EQ(job.messages(), expectedOff);

    std::wstring fatalPrinter = uniqueName(L"Log fatal");
    CLoggerSetting fatalSetting(fatalPrinter, L"fatal");
    CJobLog fatalJob(fatalPrinter, true);
    for (int level = L_ON; level <= L_OFF; ++level) logMessage(level, "level %d", level);
    logSystemError("Request failed <%lu>", DWORD{12029});
    auto fatal = fatalJob.messages();
    std::vector<std::string> expected = {"level 6", "level 7", "level 8", "Request failed <12029>"};
    EXPECT_EQ(fatal, expected);
}

TEST(Log, SystemErrorTexts) {
    CJobLog job(uniqueName(L"Log syserr"));
    EXPECT_TRUE(logSystemError("Could not open <%lu>", ERROR_ACCESS_DENIED));
    auto lines = job.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(13), "[ERROR] Could not open <5>");
    // The system's text ends in a line break, shown as ".|".
    EXPECT_EQ(lines[1].substr(lines[1].size() - 2), ".|");
    EXPECT_GT(lines[1].size(), 23u);
}

TEST(Log, NothingIsWrittenWithoutAnOpenLog) {
    std::wstring path;
    {
        CJobLog job(uniqueName(L"Log closed"));
        path = job.state.log().path();
        job.state.log().closeLogFile();
        logMessage(L_FATAL, "after close");
    }
    logMessage(L_FATAL, "no job bound");
    EXPECT_EQ(readFileBytes(path), "");
    EXPECT_EQ(currentLogLevel(), L_WARN);
}

TEST(Log, BannerShowsTheProductVersion) {
    HMODULE dll = LoadLibraryW((binDir() + L"\\RPQ.dll").c_str());
    ASSERT_NE(dll, nullptr);
    setRpqModule(dll);
    CJobLog job(uniqueName(L"Log banner"), true);
    setRpqModule(nullptr);
    FreeLibrary(dll);
    EXPECT_TRUE(contains(job.messages(), "PrintProcessor v1.0.0.1"));
}

TEST(Log, TwoPrintersFromTwoThreads) {
    std::wstring names[2] = {uniqueName(L"Log thread A"), uniqueName(L"Log thread B")};
    std::wstring paths[2];
    constexpr int kLines = 300;
    auto run = [&](int index) {
        CJobLog job(names[index]);
        paths[index] = job.state.log().path();
        for (int i = 0; i < kLines; ++i) logMessage(L_INFO, "job %c line %d", 'A' + index, i);
    };
    // The first job closes its log while the second still writes.
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();
    for (int index = 0; index < 2; ++index) {
        auto lines = splitLines(readFileBytes(paths[index]));
        ASSERT_EQ(lines.size(), static_cast<size_t>(kLines)) << narrow(paths[index]);
        for (int i = 0; i < kLines; ++i) {
            char expected[64];
            snprintf(expected, sizeof(expected), "[INFO ] job %c line %d", 'A' + index, i);
            EXPECT_EQ(lines[i].substr(13), expected);
        }
    }
}

// Names outside the ANSI code page are logged as they are, in UTF-8; a line
// cut at its length limit never ends in half a character.
TEST(Log, NamesKeepEveryCharacter) {
    CJobLog job(uniqueName(L"Log UTF-8"));
    logMessageW(L_FATAL, L"Document <%s>", L"\u00dcberpr\u00fcfung_\u043e\u0442\u0447\u0451\u0442_\u5831\u544a\u66f8 \u21165.txt");
    logMessageW(L_FATAL, L"%s", std::wstring(1100, L'\u043e').c_str());
    auto lines = job.messages();
    EXPECT_TRUE(contains(lines, "Document <\xc3\x9c" "berpr\xc3\xbc" "fung_\xd0\xbe\xd1\x82\xd1\x87\xd1\x91\xd1\x82_"
                                "\xe5\xa0\xb1\xe5\x91\x8a\xe6\x9b\xb8 \xe2\x84\x96" "5.txt>"));
    std::string longLine = lines.back();
    ASSERT_FALSE(longLine.empty());
    EXPECT_EQ(longLine.size() % 2, 0u);  // whole two-byte characters only
    EXPECT_EQ(static_cast<unsigned char>(longLine.back()), 0xbe);
}

TEST(Log, EscapingPrinterNames) {
    wchar_t name[MAX_PATH] = L"\\/:*?\"<>|%a";
    escapePathName(name);
    EXPECT_STREQ(name, L"%5c%2f%3a%2a%3f%22%3c%3e%7c%25a");
    // "%" is escaped too: two printers never share a key or a folder.
    wchar_t plain[MAX_PATH] = L"A:B", lookalike[MAX_PATH] = L"A%3aB";
    escapePathName(plain);
    escapePathName(lookalike);
    EXPECT_STREQ(plain, L"A%3aB");
    EXPECT_STREQ(lookalike, L"A%253aB");

    wchar_t longName[MAX_PATH];
    for (int i = 0; i < MAX_PATH - 1; ++i) longName[i] = L':';
    longName[MAX_PATH - 1] = L'\0';
    escapePathName(longName);
    EXPECT_EQ(wcslen(longName), 258u);  // whole escapes only, within 260

    // Names Windows would not keep as a folder of their own.
    const std::pair<const wchar_t*, const wchar_t*> own[] = {
        {L".", L"%2e"},           {L"..", L"%2e%2e"},       {L"Office.", L"Office%2e"},
        {L"Office . ", L"Office%20%2e%20"}, {L"a.b", L"a.b"}, {L"CON", L"%43ON"},
        {L"lpt1.txt", L"%6cpt1.txt"},      {L"nul ", L"%6eul%20"}, {L"COM0", L"COM0"},
        {L"CONSOLE", L"CONSOLE"}};
    for (const auto& c : own) {
        wchar_t text[MAX_PATH];
        wcscpy(text, c.first);
        escapePathName(text);
        EXPECT_STREQ(text, c.second) << narrow(c.first);
    }
}

// Each such printer gets a log folder of its own, never a shared or a
// parent folder.
TEST(Log, EveryPrinterNameGetsAFolderOfItsOwn) {
    std::vector<std::wstring> folders;
    for (const wchar_t* printer : {L"..", L".", L"AUX", L"Dots.."}) {
        CJobLog job(printer);
        std::wstring path = job.state.log().path();
        std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
        EXPECT_NE(folder.find(L"\\Log\\"), std::wstring::npos) << narrow(folder);
        EXPECT_EQ(std::count(folders.begin(), folders.end(), folder), 0) << narrow(folder);
        folders.push_back(folder);
        logMessage(L_FATAL, "own folder");
        EXPECT_TRUE(contains(job.messages(), "own folder"));
    }
}
}  // namespace

namespace {
// The access list of a file or folder as text.
std::wstring accessListOf(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return L"?";
    LPWSTR text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                         nullptr);
    std::wstring result = text ? text : L"?";
    LocalFree(text);
    LocalFree(descriptor);
    return result;
}

// Opens the printer's log in a job of its own; true when it opened.
bool openLogOf(const std::wstring& printer, std::wstring* path = nullptr) {
    CJobState state;
    CJobScope scope(state);
    wchar_t name[MAX_PATH];
    wcscpy(name, printer.c_str());
    bool opened = state.log().openLogFile(name);
    if (opened) logMessage(L_FATAL, "written by the job");
    if (path) *path = state.log().path();
    return opened;
}

// A user who could replace the log file or its folder with a link would
// otherwise have the spooler's account open the link's target to everyone.
TEST(LogSecurity, LinksInPlaceOfTheLogOrItsFolderAreLeftAlone) {
    std::wstring printer = uniqueName(L"Log link");
    std::wstring logPath;
    ASSERT_TRUE(openLogOf(printer, &logPath));
    std::wstring folder = logPath.substr(0, logPath.rfind(L'\\'));
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring targetDir = std::wstring(temp) + uniqueName(L"rpqtarget");
    ASSERT_TRUE(CreateDirectoryW(targetDir.c_str(), nullptr));
    std::wstring target = targetDir + L"\\system.ini";
    ASSERT_TRUE(writeFileBytes(target, "[boot]\r\n"));
    std::wstring targetAcl = accessListOf(target), dirAcl = accessListOf(targetDir);

    ASSERT_TRUE(DeleteFileW(logPath.c_str()));
    ASSERT_TRUE(CreateHardLinkW(logPath.c_str(), target.c_str(), nullptr));
    EXPECT_FALSE(openLogOf(printer));
    EXPECT_EQ(readFileBytes(target), "[boot]\r\n");
    EXPECT_EQ(accessListOf(target), targetAcl);

    ASSERT_TRUE(DeleteFileW(logPath.c_str()));
    ASSERT_TRUE(RemoveDirectoryW(folder.c_str()));
    ASSERT_TRUE(makeUnixSymlink(folder, targetDir));  // a junction, as Wine shows one
    EXPECT_FALSE(openLogOf(printer));
    EXPECT_EQ(accessListOf(targetDir), dirAcl);
    std::wstring planted = targetDir + logPath.substr(logPath.rfind(L'\\'));
    EXPECT_EQ(GetFileAttributesW(planted.c_str()), INVALID_FILE_ATTRIBUTES);  // no file made there
    removeUnixSymlink(folder);
    removeTree(targetDir);
}
// Objects of RPQ's names that someone else made first (another user, under
// "Local\\" where there is no private namespace) are refused, never waited on.
HANDLE squat(const wchar_t* prefix, const std::wstring& text) {
    wchar_t name[64], full[80];
    lockName(name, 64, prefix, text.c_str());
    _snwprintf(full, 80, L"Local\\%s", name);
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE};
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BUD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                         &sa.lpSecurityDescriptor, nullptr);
    HANDLE mutex = CreateMutexW(&sa, TRUE, full);  // held, as a squatter would
    LocalFree(sa.lpSecurityDescriptor);
    return mutex;
}

// A folder RPQ finds already there is used only when the system, the
// administrators or RPQ's own account own it and nobody else may write to
// it. (Wine shows every file as the Wine user's: the rule is checked here
// on the descriptors Windows would show.)
TEST(LogSecurity, ForeignOrWritableFoldersAreNotTrusted) {
    struct Case {
        const wchar_t* sddl;
        bool trusted;
    } cases[] = {
        {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)", true},
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
        {L"O:SYD:(A;OICI;FA;;;SY)(A;OICIIO;FA;;;CO)(D;;FA;;;WD)", true},  // inherit-only, deny
        {L"O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},                // a user made it
        {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;WD)", false},                // older versions: everyone full
        {L"O:SYD:(A;OICI;FA;;;SY)(A;CI;0x100116;;;BU)", false},             // users may add (ProgramData's default)
        {L"O:SYD:(A;;0x4;;;AU)", false},                                    // create folders
        {L"O:SY", false},                                                   // no access list: everyone
    };
    for (const Case& c : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &descriptor, nullptr))
            << c.sddl;
        EXPECT_EQ(isTrustedFolderSecurity(descriptor), c.trusted) << c.sddl;
        LocalFree(descriptor);
    }
}

// A folder on the way to a job file swapped for a link after RPQ checked it:
// nothing is left where the link leads, and nothing there is deleted.
TEST(LogSecurity, JobFilesOnlyWhereTheirPathLeads) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring root = std::wstring(temp) + uniqueName(L"rpqjobdir"), elsewhere = root + L"-elsewhere";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    ASSERT_TRUE(writeFileBytes(elsewhere + L"\\Keep000001.dat", "someone's file"));
    std::wstring printerDir = root + L"\\Printer";
    ASSERT_TRUE(makeUnixSymlink(printerDir, elsewhere));
    EXPECT_FALSE(makeSecureFolder(printerDir.c_str(), FileAccess::Private));
    std::wstring job = printerDir + L"\\AbCdE12345.dat";
    unique_hfile file(createPrivateFile(job.c_str(), GENERIC_WRITE, 0));
    EXPECT_FALSE(file);
    EXPECT_EQ(GetFileAttributesW((elsewhere + L"\\AbCdE12345.dat").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(deleteSecureFile((printerDir + L"\\Keep000001.dat").c_str()));
    EXPECT_EQ(readFileBytes(elsewhere + L"\\Keep000001.dat"), "someone's file");
    std::wstring ownDir = root + L"\\Printer2";
    ASSERT_TRUE(makeSecureFolder(ownDir.c_str(), FileAccess::Private));
    job = ownDir + L"\\AbCdE12345.dat";
    unique_hfile own(createPrivateFile(job.c_str(), GENERIC_WRITE, 0));
    EXPECT_TRUE(own);
    own.reset();
    EXPECT_TRUE(deleteSecureFile(job.c_str()));
    EXPECT_EQ(GetFileAttributesW(job.c_str()), INVALID_FILE_ATTRIBUTES);
    removeUnixSymlink(printerDir);
    removeTree(root);
    removeTree(elsewhere);
}

TEST(LogSecurity, ObjectsMadeFirstBySomeoneElseAreRefused) {
    std::wstring printer = uniqueName(L"Log squat");
    std::wstring logPath;
    ASSERT_TRUE(openLogOf(printer, &logPath));
    unique_handle log(squat(L"RPQLog", logPath));
    ASSERT_TRUE(log);
    EXPECT_FALSE(openLogOf(printer));
    log.reset();
    EXPECT_TRUE(openLogOf(printer));

    CLoggerSetting key(printer, nullptr);
    DWORD zero = 0;
    wchar_t path[MAX_PATH];
    ASSERT_TRUE(settingsKeyPath(printer.c_str(), path));
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, path, L"MsgNo", REG_DWORD, &zero, sizeof(zero));
    uint32_t serial = 0;
    {
        unique_handle settings(squat(kSettingsLock, printer));
        ASSERT_TRUE(settings);
        EXPECT_FALSE(getSerialNo(&serial, printer.c_str()));  // never without its lock
    }
    EXPECT_TRUE(getSerialNo(&serial, printer.c_str()));
    EXPECT_EQ(serial, 1u);

    unique_handle job(squat(L"RPQJob", L"Squat3dJob"));
    EXPECT_FALSE(namedLockExists(L"RPQJob", L"Squat3dJob"));  // a squatter cannot shield files from the sweep
    CNamedLock running(L"RPQJob", L"Runn1ngJ03");
    EXPECT_TRUE(namedLockExists(L"RPQJob", L"Runn1ngJ03"));
}
}  // namespace

namespace {
// Private namespaces as Microsoft documents them (Wine has none): created
// once; opened while the handle that made it is open; once that handle is
// closed, opened by no one again.
struct CNamespaceStandIn {
    static inline int created = 0, opened = 0, closed = 0;
    static inline bool alive = false, destroyed = false;
    static HANDLE WINAPI createBoundary(LPCWSTR, ULONG) { return reinterpret_cast<HANDLE>(0x1000); }
    static BOOL WINAPI addSid(HANDLE*, PSID) { return TRUE; }
    static void WINAPI deleteBoundary(HANDLE) {}
    static HANDLE WINAPI create(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR) {
        if (alive || destroyed) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return nullptr;
        }
        alive = true;
        ++created;
        return reinterpret_cast<HANDLE>(0x2000);
    }
    static HANDLE WINAPI open(LPVOID, LPCWSTR) {
        if (!alive) {
            SetLastError(ERROR_NOT_FOUND);
            return nullptr;
        }
        ++opened;
        return reinterpret_cast<HANDLE>(0x3000);
    }
    static BOOLEAN WINAPI close(HANDLE space, ULONG) {
        ++closed;
        if (space == reinterpret_cast<HANDLE>(0x2000)) alive = false, destroyed = true;
        return TRUE;
    }
};

// Two jobs overlap, the first ends, a third starts: each still has the
// namespace, because the process keeps the one handle it opened.
TEST(NamedLocks, OneNamespaceForTheProcessesLife) {
    static const NamespacePlatform standIn = {CNamespaceStandIn::createBoundary, CNamespaceStandIn::addSid,
                                              CNamespaceStandIn::deleteBoundary, CNamespaceStandIn::create,
                                              CNamespaceStandIn::open, CNamespaceStandIn::close};
    {
        CProcessNamespace space(standIn);
        bool missing = true;
        HANDLE first = space.get(&missing);  // job 1
        EXPECT_FALSE(missing);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(space.get(&missing), first);  // job 2, while job 1 runs
        EXPECT_EQ(space.get(&missing), first);  // job 3, after job 1 ended
        EXPECT_EQ(CNamespaceStandIn::created, 1);
        EXPECT_EQ(CNamespaceStandIn::closed, 0);  // nothing closed while the process lives
    }
    EXPECT_EQ(CNamespaceStandIn::closed, 1);  // closed once, when the module unloads
}
}  // namespace
