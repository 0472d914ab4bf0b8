// RPQ installed into Wine's spooler and opened on real printers.
#include <windows.h>
#include <gtest/gtest.h>
#include <winspool.h>
#include "base/unique.h"
#include <shlobj.h>
#include <sddl.h>
#include "printproc/jobcontext.h"
#include "base/printerkey.h"
#include "diag/eventlog.h"
#include "tests/testutil.h"

namespace {
using EnumDatatypesFn = BOOL(WINAPI*)(LPWSTR, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);

// Wine's winspool answers EnumPrintProcessorDatatypesW with a stub, so the
// test does what the spooler does: find the registered processor's file in
// the print-processor directory, load it and ask it.
// An installer runs rpqadmin from the folder it installs 7z.dll into: the
// copy onto itself is skipped, not failed.
TEST(Spooler, InstallFromTheProgramFolder) {
    ASSERT_TRUE(installProcessor());  // makes the folder and puts 7z.dll there
    wchar_t base[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, base)));
    std::wstring folder = std::wstring(base) + L"\\Halvane\\RPQ";
    for (const wchar_t* file : {L"rpqadmin.exe", L"RPQ.dll"})
        ASSERT_TRUE(CopyFileW((binDir() + L"\\" + file).c_str(), (folder + L"\\" + file).c_str(), FALSE)) << file;
    EXPECT_EQ(runCommand(L"\"" + folder + L"\\rpqadmin.exe\" install"), 0);
    for (const wchar_t* file : {L"rpqadmin.exe", L"RPQ.dll"}) DeleteFileW((folder + L"\\" + file).c_str());
    // The data folders are made ahead of the first job, before any user can.
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base)));
    for (const wchar_t* data : {L"\\Halvane\\RPQ\\Log", L"\\Halvane\\RPQ\\Temp"})
        EXPECT_TRUE(GetFileAttributesW((std::wstring(base) + data).c_str()) & FILE_ATTRIBUTE_DIRECTORY) << data;
    // A link where a data folder belongs is refused, not secured through.
    std::wstring temp = std::wstring(base) + L"\\Halvane\\RPQ\\Temp", moved = temp + L"-kept";
    ASSERT_TRUE(MoveFileW(temp.c_str(), moved.c_str()));
    ASSERT_TRUE(makeUnixSymlink(temp, moved));
    std::string refused;
    EXPECT_EQ(runCommand(L"\"" + binDir() + L"\\rpqadmin.exe\" install", &refused), 1);
    EXPECT_NE(refused.find("is a link or a file, not a folder of RPQ's own"), std::string::npos) << refused;
    ASSERT_TRUE(removeUnixSymlink(temp));
    ASSERT_TRUE(MoveFileW(moved.c_str(), temp.c_str()));
}

// The spooler keeps RPQ.dll loaded for as long as it runs: an install (a
// repair, an upgrade) sets the loaded file aside instead of failing.
TEST(Spooler, InstallWhileTheSpoolerHoldsRpqDll) {
    ASSERT_TRUE(installProcessor());
    wchar_t dir[MAX_PATH] = {};
    DWORD needed = 0;
    ASSERT_TRUE(GetPrintProcessorDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(dir), sizeof(dir), &needed));
    std::wstring installed = std::wstring(dir) + L"\\RPQ.dll";
    HMODULE held = LoadLibraryW(installed.c_str());  // as the spooler holds it
    ASSERT_NE(held, nullptr);
    // A newer build: the same code with bytes after it.
    std::string newer = readFileBytes(binDir() + L"\\RPQ.dll") + std::string(4096, '\x5a');
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring source = std::wstring(temp) + uniqueName(L"RPQ-newer") + L".dll";
    ASSERT_TRUE(writeFileBytes(source, newer));
    std::string output;
    EXPECT_EQ(runCommand(toolPath(L"rpqadmin.exe") + L" install \"" + source + L"\"", &output), 0) << output;
    EXPECT_NE(output.find("the spooler holds the older version loaded"), std::string::npos) << output;
    EXPECT_EQ(readFileBytes(installed), newer);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((installed + L".old-*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    std::wstring aside = std::wstring(dir) + L"\\" + data.cFileName;
    // ... and it goes at the next restart.
    std::wstring pending;
    DWORD size = 0;
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", L"PendingFileRenameOperations",
                 RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size);
    pending.resize(size / sizeof(wchar_t) + 1);
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", L"PendingFileRenameOperations",
                 RRF_RT_REG_MULTI_SZ, nullptr, &pending[0], &size);
    EXPECT_NE(pending.find(data.cFileName), std::wstring::npos);
    // Once nothing holds it, the next install deletes it.
    FreeLibrary(held);
    EXPECT_EQ(runCommand(toolPath(L"rpqadmin.exe") + L" install", &output), 0) << output;
    EXPECT_EQ(GetFileAttributesW(aside.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(readFileBytes(installed), readFileBytes(binDir() + L"\\RPQ.dll"));
    DeleteFileW(source.c_str());
}

std::wstring commonData() {
    wchar_t base[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base);
    return std::wstring(base) + L"\\Halvane\\RPQ";
}

bool makeFolderWith(const std::wstring& path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) return false;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), sd, FALSE};
    bool made = CreateDirectoryW(path.c_str(), &sa) != FALSE;
    LocalFree(sd);
    return made;
}

// job-file names: "J0000000001.dat" style UIDs of 10 characters.
std::wstring jobName(int n) {
    wchar_t name[32];
    _snwprintf(name, 32, L"J%09d.dat", n);
    return name;
}

// A repair, reinstall or upgrade leaves the data folders' lists as the first
// install made them (Wine shows a list as the folder's Unix mode).
TEST(Spooler, ReinstallLeavesTheFoldersAsTheFirstInstallMadeThem) {
    ASSERT_TRUE(installProcessor());
    auto modes = [] {
        std::string out;
        runUnix("cd '" + unixPathOf(commonData()) + "' && stat -c '%a %n' .. . Log Temp", &out);
        return out;
    };
    std::string first = modes();
    EXPECT_NE(first.find("750 Log\n750 Temp"), std::string::npos) << first;  // private: the group may not write
    ASSERT_TRUE(installProcessor());
    ASSERT_TRUE(installProcessor());
    EXPECT_EQ(modes(), first);
}

// A folder a user made where RPQ keeps its job folders is never secured in
// place: install moves it aside and makes a fresh one.
TEST(Spooler, InstallTakesUntrustedFoldersOverFresh) {
    std::wstring printer = commonData() + L"\\Temp\\" + uniqueName(L"squatted");
    ASSERT_TRUE(CreateDirectoryW(printer.c_str(), nullptr));
    // Everyone may change it (Wine shows Unix permissions as the access list).
    ASSERT_EQ(runUnix("chmod 777 '" + unixPathOf(printer) + "'"), 0);
    ASSERT_TRUE(writeFileBytes(printer + L"\\planted.txt", "a user's"));
    std::string output;
    ASSERT_EQ(runCommand(toolPath(L"rpqadmin.exe") + L" install", &output), 0) << output;
    EXPECT_NE(output.find("was moved aside to"), std::string::npos) << output;
    EXPECT_EQ(GetFileAttributesW((printer + L"\\planted.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(readFileBytes(printer + L".untrusted-1\\planted.txt"), "a user's");
    EXPECT_NE(GetFileAttributesW(printer.c_str()), INVALID_FILE_ATTRIBUTES);
    removeTree(printer);
    removeTree(printer + L".untrusted-1");
}

// Removal as the system deletes nothing outside RPQ's folders: a link in
// the job folder, a hard link and a symbolic link among the job files, and
// a printer folder swapped for a link while removal works in it.
TEST(Spooler, RemovalFollowsNoLink) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring outside = std::wstring(temp) + uniqueName(L"outside"), swapped = outside + L"-swap";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(swapped.c_str(), nullptr));
    const int kFiles = 3000;
    for (int i = 0; i < kFiles; ++i) ASSERT_TRUE(writeFileBytes(swapped + L"\\" + jobName(i), "outside"));
    ASSERT_TRUE(writeFileBytes(outside + L"\\" + jobName(0), "outside"));
    ASSERT_TRUE(writeFileBytes(outside + L"\\hard.txt", "outside"));

    std::wstring jobs = commonData() + L"\\Temp", own = L"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    std::wstring linked = jobs + L"\\" + uniqueName(L"linked"), mixed = jobs + L"\\" + uniqueName(L"mixed"),
                 raced = jobs + L"\\" + uniqueName(L"raced");
    ASSERT_TRUE(makeUnixSymlink(linked, outside));  // the job folder holds a link to a folder outside
    ASSERT_TRUE(makeFolderWith(mixed, (L"D:P" + own).c_str()));
    ASSERT_TRUE(CreateHardLinkW((mixed + L"\\" + jobName(1)).c_str(), (outside + L"\\hard.txt").c_str(), nullptr));
    ASSERT_TRUE(makeUnixSymlink(mixed + L"\\" + jobName(2), outside + L"\\" + jobName(0)));
    ASSERT_TRUE(writeFileBytes(mixed + L"\\" + jobName(3), "a job's"));
    ASSERT_TRUE(makeFolderWith(raced, (L"D:P" + own).c_str()));
    for (int i = 0; i < kFiles; ++i) ASSERT_TRUE(writeFileBytes(raced + L"\\" + jobName(i), "a job's"));
    // The link that takes the raced folder's place, made ahead beside it.
    std::wstring staged = commonData() + L"\\" + uniqueName(L"staged");
    ASSERT_TRUE(makeUnixSymlink(staged, swapped));
    WIN32_FIND_DATAW first;
    HANDLE find = FindFirstFileW((raced + L"\\J*").c_str(), &first);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);

    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    std::wstring command = toolPath(L"rpqadmin.exe") + L" package-uninstall";
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    // As soon as removal has begun inside the raced folder, it is to become a
    // link: the folder being worked on is held, so the swap is refused.
    std::wstring gone = raced + L"\\" + first.cFileName;
    for (ULONGLONG end = GetTickCount64() + 60000; GetTickCount64() < end;)
        if (GetFileAttributesW(gone.c_str()) == INVALID_FILE_ATTRIBUTES) break;
    bool swappedIn = MoveFileW(raced.c_str(), (raced + L"-moved").c_str());
    DWORD swapError = GetLastError();
    if (swappedIn) MoveFileW(staged.c_str(), raced.c_str());
    WaitForSingleObject(pi.hProcess, 120000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    EXPECT_TRUE(swappedIn || swapError == ERROR_SHARING_VIOLATION || swapError == ERROR_ACCESS_DENIED)
        << "the swap came too late to race (error " << swapError << ")";

    int left = 0;
    for (int i = 0; i < kFiles; ++i) left += readFileBytes(swapped + L"\\" + jobName(i)) == "outside";
    EXPECT_EQ(left, kFiles);  // nothing deleted through the swapped-in link
    // The hard link's name stays: the file has another name outside, so it is not the job's alone.
    EXPECT_NE(GetFileAttributesW((mixed + L"\\" + jobName(1)).c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(readFileBytes(outside + L"\\hard.txt"), "outside");
    EXPECT_EQ(readFileBytes(outside + L"\\" + jobName(0)), "outside");
    EXPECT_EQ(GetFileAttributesW((mixed + L"\\" + jobName(3)).c_str()), INVALID_FILE_ATTRIBUTES);  // RPQ's own: gone

    removeUnixSymlink(linked);
    if (swappedIn) removeUnixSymlink(raced);
    else removeUnixSymlink(staged);
    removeUnixSymlink(mixed + L"\\" + jobName(2));
    removeTree(mixed);
    removeTree(raced + L"-moved");
    removeTree(outside);
    removeTree(swapped);
    ASSERT_TRUE(installProcessor());
}

// Event Viewer finds the text of RPQ's entries in the registered message
// file, as it looks it up.
TEST(Spooler, EventLogEntriesHaveTheirText) {
    ASSERT_TRUE(installProcessor());
    wchar_t file[MAX_PATH] = {}, expanded[MAX_PATH] = {};
    DWORD size = sizeof(file), types = 0, typesSize = sizeof(types);
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kEventSourceKey, L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                           nullptr, file, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kEventSourceKey, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types,
                           &typesSize),
              ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);
    ExpandEnvironmentStringsW(file, expanded, MAX_PATH);
    HMODULE messages = LoadLibraryExW(expanded, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(messages, nullptr) << narrow(expanded);
    const wchar_t* text = L"ERROR: A reparse point stands where RPQ keeps a folder, left alone: C:\\x";
    DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(text)};
    wchar_t shown[512] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages, kEventTextId, 0,
                             shown, 512, reinterpret_cast<va_list*>(arguments));
    FreeLibrary(messages);
    ASSERT_GT(n, 0u);
    std::wstring got(shown);
    while (!got.empty() && (got.back() == L'\n' || got.back() == L'\r')) got.pop_back();
    EXPECT_EQ(got, text);
}

TEST(Spooler, InstalledProcessorAnswersItsDatatypes) {
    ASSERT_TRUE(installProcessor());
    wchar_t driver[MAX_PATH] = {};
    DWORD size = sizeof(driver);
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE,
                           L"System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Print Processors\\RPQ",
                           L"Driver", RRF_RT_REG_SZ, nullptr, driver, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(driver, L"RPQ.dll");
    wchar_t dir[MAX_PATH] = {};
    DWORD needed = 0, count = 0;
    ASSERT_TRUE(GetPrintProcessorDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(dir), sizeof(dir), &needed));
    HMODULE installed = LoadLibraryW((std::wstring(dir) + L"\\" + driver).c_str());
    ASSERT_NE(installed, nullptr);
    auto enumDatatypes = reinterpret_cast<EnumDatatypesFn>(GetProcAddress(installed, "EnumPrintProcessorDatatypesW"));
    ASSERT_NE(enumDatatypes, nullptr);
    enumDatatypes(nullptr, const_cast<LPWSTR>(L"RPQ"), 1, nullptr, 0, &needed, &count);
    ASSERT_EQ(needed, 136u);
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(enumDatatypes(nullptr, const_cast<LPWSTR>(L"RPQ"), 1, buffer.data(), needed, &needed, &count));
    ASSERT_EQ(count, 5u);
    auto entries = reinterpret_cast<DATATYPES_INFO_1W*>(buffer.data());
    const wchar_t* expected[] = {L"RAW", L"NT EMF 1.006", L"NT EMF 1.007", L"NT EMF 1.008", L"TEXT"};
    for (int i = 0; i < 5; ++i) EXPECT_STREQ(entries[i].pName, expected[i]);
    FreeLibrary(installed);
}

class OpenOnPrinter : public ::testing::Test {
protected:
    CRpqDll dll;
    wchar_t m_output[MAX_PATH] = {};
    HANDLE open(const std::wstring& printer, const wchar_t* datatype, const wchar_t* parameters) {
        PRINTPROCESSOROPENDATA data = {};
        data.pDatatype = const_cast<LPWSTR>(datatype);
        data.pParameters = const_cast<LPWSTR>(parameters);
        data.pDocumentName = const_cast<LPWSTR>(L"doc");
        data.pPrinterName = const_cast<LPWSTR>(printer.c_str());
        GetTempPathW(MAX_PATH, m_output);
        wcscat(m_output, L"rpq-harness-port.prn");  // not "FILE:" in the current folder
        data.pOutputFile = m_output;
        return dll.open(const_cast<LPWSTR>(printer.c_str()), &data);
    }
};

TEST_F(OpenOnPrinter, CopiesAndTabsByDatatypeAndPrinter) {
    CTestPrinter plain(uniqueName(L"Spool plain"));
    ASSERT_TRUE(plain.ok());
    struct Case {
        const wchar_t* datatype;
        const wchar_t* parameters;
        DWORD copies;
        DWORD tabs;
    } cases[] = {
        {L"RAW", L"COPIES=3;", 3, 8},       {L"RAW", L"TABS=4;", 1, 8},
        {L"NT EMF 1.007", L"COPIES=2;", 2, 8},
    };
    for (const Case& c : cases) {
        HANDLE h = open(plain.name(), c.datatype, c.parameters);
        ASSERT_NE(h, nullptr) << narrow(c.datatype) << " error " << GetLastError();
        auto ctx = static_cast<JobContext*>(h);
        EXPECT_EQ(ctx->copies, c.copies) << narrow(c.parameters);
        EXPECT_EQ(ctx->tabSize, c.tabs) << narrow(c.parameters);
        EXPECT_EQ(ctx->printerHandle != nullptr, c.datatype[0] == L'R');
        EXPECT_TRUE(dll.close(h));
    }
}

TEST_F(OpenOnPrinter, DirectPrintersMakeNoCopies) {
    CTestPrinter direct(uniqueName(L"Spool direct"), L"--attributes 0x42");
    ASSERT_TRUE(direct.ok());
    HANDLE h = open(direct.name(), L"RAW", L"COPIES=2;");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(static_cast<JobContext*>(h)->copies, 1u);
    EXPECT_TRUE(dll.close(h));
}

TEST_F(OpenOnPrinter, RawOnAMissingPrinterFails) {
    SetLastError(0);
    EXPECT_EQ(open(L"No Such Printer At All", L"RAW", nullptr), nullptr);
    EXPECT_NE(GetLastError(), 0u);
}
}  // namespace


namespace {
// Sets an environment variable for the tools this test starts.
struct CToolEnvironment {
    const wchar_t* name;
    explicit CToolEnvironment(const wchar_t* variable) : name(variable) { SetEnvironmentVariableW(name, L"1"); }
    ~CToolEnvironment() { SetEnvironmentVariableW(name, nullptr); }
};

// On Windows a printer on the port FILE: would ask the spooler's service
// for a file name: add-printer wants its port named there, and an ARM64
// Windows, whose spooler cannot load RPQ.dll, gets no installation.
TEST(Spooler, WindowsRefusalsOfTheSetUp) {
    ASSERT_TRUE(installProcessor());
    std::string out;
    std::wstring name = uniqueName(L"No port");
    {
        CToolEnvironment windows(L"RPQ_SETUP_AS_WINDOWS");
        EXPECT_EQ(runCommand(toolPath(L"rpqadmin.exe") + L" add-printer \"" + name + L"\" --driver \"Wine PostScript Driver\"", &out), 1);
        EXPECT_NE(out.find("no port named: give the printer's port with --port PORT"), std::string::npos) << out;
        HANDLE printer = nullptr;
        EXPECT_FALSE(OpenPrinterW(&name[0], &printer, nullptr));  // nothing added
        if (printer) ClosePrinter(printer);
    }
    {
        CToolEnvironment arm(L"RPQ_SETUP_AS_ARM64");
        EXPECT_EQ(runCommand(toolPath(L"rpqadmin.exe") + L" install", &out), 1);
        EXPECT_NE(out.find("this Windows runs on ARM64"), std::string::npos) << out;
    }
    EXPECT_TRUE(installProcessor());
}
}  // namespace

namespace {
// A folder someone else made and holds open cannot be moved aside: the
// install takes it over in place instead of failing.
TEST(Spooler, AnUntrustedFolderInUseDoesNotBlockTheInstall) {
    std::wstring printer = commonData() + L"\\Temp\\" + uniqueName(L"held");
    ASSERT_TRUE(CreateDirectoryW(printer.c_str(), nullptr));
    ASSERT_EQ(runUnix("chmod 777 '" + unixPathOf(printer) + "'"), 0);
    unique_hfile holder(CreateFileW(printer.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(holder);
    std::string output;
    EXPECT_EQ(runCommand(toolPath(L"rpqadmin.exe") + L" install", &output), 0) << output;
    EXPECT_NE(output.find("is in use, so it was taken over in place"), std::string::npos) << output;
    holder.reset();
    removeTree(printer);
}
}  // namespace
