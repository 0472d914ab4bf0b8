// RPQ installed into Wine's spooler and opened on real printers.
#include <windows.h>
#include <gtest/gtest.h>
#include <winspool.h>
#include <shlobj.h>
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
    EXPECT_NE(runCommand(L"\"" + binDir() + L"\\rpqadmin.exe\" install"), 0);
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
    HANDLE open(const std::wstring& printer, const wchar_t* datatype, const wchar_t* parameters) {
        PRINTPROCESSOROPENDATA data = {};
        data.pDatatype = const_cast<LPWSTR>(datatype);
        data.pParameters = const_cast<LPWSTR>(parameters);
        data.pDocumentName = const_cast<LPWSTR>(L"doc");
        data.pPrinterName = const_cast<LPWSTR>(printer.c_str());
        data.pOutputFile = const_cast<LPWSTR>(L"FILE:");
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

