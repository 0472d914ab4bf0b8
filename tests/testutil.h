// Helpers shared by the Windows-side tests.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// A name no other test run uses, e.g. "RPQ Test 1a2b3c4d".
std::wstring uniqueName(const wchar_t* prefix);
std::string readFileBytes(const std::wstring& path);
bool writeFileBytes(const std::wstring& path, const std::string& bytes);
std::vector<std::string> splitLines(const std::string& text);
// Runs a command line, returns its exit code (or -1); output captured.
int runCommand(const std::wstring& commandLine, std::string* output = nullptr);
// The folder of the running test exe (also holds RPQ.dll and the tools).
std::wstring binDir();
std::wstring toolPath(const wchar_t* exe);
std::string narrow(const std::wstring& wide);
std::wstring widen(const std::string& text);
// Adds a printer bound to RPQ (installing RPQ first); removed by the dtor.
class CTestPrinter {
public:
    explicit CTestPrinter(const std::wstring& name, const std::wstring& extraArgs = L"");
    ~CTestPrinter();
    const std::wstring& name() const { return m_name; }
    bool ok() const { return m_ok; }

private:
    std::wstring m_name;
    bool m_ok = false;
};
bool installProcessor();

#include <winspool.h>
#include <winsplp.h>
// RPQ.dll of this build, loaded as the spooler loads it, with its exports.
struct CRpqDll {
    CRpqDll();
    ~CRpqDll();
    HMODULE module = nullptr;
    HANDLE(WINAPI* open)(LPWSTR, PPRINTPROCESSOROPENDATA) = nullptr;
    BOOL(WINAPI* print)(HANDLE, LPWSTR) = nullptr;
    BOOL(WINAPI* close)(HANDLE) = nullptr;
    BOOL(WINAPI* control)(HANDLE, DWORD) = nullptr;
    BOOL(WINAPI* enumDatatypes)(LPWSTR, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD) = nullptr;
    DWORD(WINAPI* caps)(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD) = nullptr;
};
