// Helpers shared by the Windows-side tests.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// A name no other test run uses, e.g. "RPQ Test 1a2b3c4d".
std::wstring uniqueName(const wchar_t* prefix);
// The same without prefix or blank, for Unix paths.
std::string uniqueToken();
std::string readFileBytes(const std::wstring& path);
// Reproducible pseudo-random bytes.
std::string randomData(size_t size, unsigned seed);
bool writeFileBytes(const std::wstring& path, const std::string& bytes);
std::vector<std::string> splitLines(const std::string& text);
// Runs a command line, returns its exit code (or -1); output captured.
int runCommand(const std::wstring& commandLine, std::string* output = nullptr);
// The folder of the running test exe (also holds RPQ.dll and the tools).
std::wstring binDir();
std::wstring toolPath(const wchar_t* exe);
std::string narrow(const std::wstring& wide);
// A Linux path as Wine's Z: drive shows it.
std::wstring unixToWin(const std::string& path);
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
    bool m_attempted = false;
    std::string m_removal;
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

// The reference workflow server (a Linux program), started from under Wine.
class CReferenceServer {
public:
    // rules: scenario rules, each passed as --rule.
    explicit CReferenceServer(const std::vector<std::string>& rules = {}, bool https = false);
    ~CReferenceServer();
    bool ok() const { return m_port > 0; }
    int port() const { return m_port; }
    std::vector<std::string> requests() const;  // journal lines, one per request
    std::vector<std::string> jobs() const;      // journal lines, one per job change
    std::string body(const std::string& requestLine) const;
    std::wstring winPath(const std::string& relative) const;
    const std::string& unixDir() const { return m_unixDir; }
    void stop();

private:
    std::string m_unixDir;
    int m_port = 0;
};

// A field of a flat JSON line: the text of a string, or a number's digits.
std::string jsonField(const std::string& line, const std::string& key);
// A field of the decoded message object of a journal line.
std::string messageField(const std::string& line, const std::string& key);
bool launchUnix(const std::string& commandLine);
// Runs a shell command on the Linux side and waits for it; -1 on time-out.
int runUnix(const std::string& shellCommand, std::string* output = nullptr, DWORD timeoutMs = 120000);
std::string unixPathOf(const std::wstring& winPath);  // Z:\a\b -> /a/b
bool waitForFile(const std::wstring& path, bool present, DWORD timeoutMs);
// Polls a condition until it holds or the limit has passed; the one wait of
// the tests: nothing is ever proved by sleeping.
template <typename F>
bool waitUntil(F condition, DWORD limitMs = 30000) {
    for (ULONGLONG deadline = GetTickCount64() + limitMs; GetTickCount64() < deadline; Sleep(10))
        if (condition()) return true;
    return condition();
}
void removeTree(const std::wstring& path);
// A Unix symbolic link at link to target (Windows paths): Wine shows it as a
// reparse point and follows it, as Windows follows a junction.
bool makeUnixSymlink(const std::wstring& link, const std::wstring& target);
bool removeUnixSymlink(const std::wstring& link);

// A browser, set as Wine's through HKCU, that records the addresses it was
// asked to open.
class CTestBrowser {
public:
    CTestBrowser();
    ~CTestBrowser();
    CTestBrowser(const CTestBrowser&) = delete;
    CTestBrowser& operator=(const CTestBrowser&) = delete;
    // The addresses opened so far, waiting a while for the first.
    std::string opened(DWORD waitMs = 15000);

private:
    std::string m_dir;
};

// A UDP socket on all addresses that the notifier port in HKCU points at.
class CUdpListener {
public:
    // wanted 0 picks a free port; portText overrides what HKCU says.
    explicit CUdpListener(USHORT wanted = 0, const wchar_t* portText = nullptr);
    ~CUdpListener();
    bool ok() const { return m_socket != ~static_cast<UINT_PTR>(0); }
    USHORT port() const { return m_port; }
    // Every datagram that arrives until none has come for quietMs.
    std::vector<std::string> receiveAll(DWORD quietMs = 500);
    // The message texts (after the marker and colon, without CR LF NUL).
    std::vector<std::string> messages(DWORD quietMs = 500);

private:
    UINT_PTR m_socket = ~static_cast<UINT_PTR>(0);
    USHORT m_port = 0;
};
