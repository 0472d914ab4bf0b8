// A printer bound to RPQ, the reference server it points at, and a
// notification listener: the pieces every end-to-end test needs.
#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include <vector>
#include "tests/testutil.h"

class CPrintSetup {
public:
    // settings: extra "Value=Data" items for rpqadmin configure.
    CPrintSetup(const std::vector<std::string>& rules, const std::wstring& printerName, const std::wstring& settings = L"",
                const std::wstring& addArgs = L"");
    bool ok() const;
    // Prints data with rpqprint.exe; the tool's exit code.
    int print(const std::string& data, const std::wstring& documentName = L"C:\\Docs\\report.txt");
    std::vector<std::string> requestTypes() const;  // "PING", "XFER", ...
    std::vector<std::string> requests() const { return server->requests(); }
    std::vector<std::string> requestsOf(const std::string& type) const;
    std::string lastJobState() const;          // of the last job the server knows
    std::string logText() const;               // today's log of the printer
    std::vector<std::wstring> storageFiles() const;
    std::vector<std::string> notices(DWORD quietMs = 700) { return listener->messages(quietMs); }
    const std::wstring& escapedName() const { return m_escaped; }

    std::unique_ptr<CReferenceServer> server;
    std::unique_ptr<CTestPrinter> printer;
    std::unique_ptr<CUdpListener> listener;

private:
    std::wstring m_escaped;
    bool m_configured = false;
};

bool contains(const std::vector<std::string>& lines, const std::string& text);
size_t countOf(const std::vector<std::string>& lines, const std::string& text);
