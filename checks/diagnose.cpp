// "Why does my print not arrive?": one printer checked the way its jobs go,
// for rpqadmin diagnose (exported as RpqDiagnoseW).
#include <winsock2.h>
#include <windows.h>
#include <winspool.h>
#include <sddl.h>
#include <strsafe.h>
#include <string>
#include "base/errortext.h"
#include "base/printerkey.h"
#include "base/unique.h"
#include "config/settings.h"
#include "diag/log.h"
#include "diag/security.h"
#include "interact/notify.h"
#include "interact/owner.h"
#include "printproc/printerinfo.h"
#include "printproc/rawjob/jobstate.h"
#include "storage/backlog.h"
#include "transfer/http.h"

namespace {
// The code, and the system's or WinINet's text where one exists: never the
// text of a lookup that failed.
std::wstring errorText(DWORD code) {
    std::wstring text = systemErrorLine(code);
    return L"error " + std::to_wstring(code) + (text.empty() ? L" (no text exists for it)" : L": " + text);
}

class CReport {
public:
    void line(const std::wstring& text) { m_text += text + L"\r\n"; }
    void check(bool ok, const std::wstring& text) {
        line((ok ? L"ok       " : L"PROBLEM  ") + text);
        m_ok = m_ok && ok;
    }
    bool ok() const { return m_ok; }
    const std::wstring& text() const { return m_text; }

private:
    std::wstring m_text;
    bool m_ok = true;
};

// The printer's print processor, or the failure's text.
std::wstring printProcessorOf(const wchar_t* printerName, bool* found) {
    unique_printer printer;
    *found = false;
    if (!OpenPrinterW(const_cast<LPWSTR>(printerName), printer.put(), nullptr)) return errorText(GetLastError());
    DWORD error = 0;
    unique_hlocal block(fetchPrinterInfo(printer.get(), 2, &error));
    auto info = static_cast<PRINTER_INFO_2W*>(block.get());
    if (!info) return errorText(error);
    *found = true;
    return info->pPrintProcessor ? info->pPrintProcessor : L"";
}

// Whether something holds the UDP port on this machine (the notifier does).
bool portInUse(USHORT port) {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    bool busy = s != INVALID_SOCKET && bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 &&
                WSAGetLastError() == WSAEADDRINUSE;
    if (s != INVALID_SOCKET) closesocket(s);
    WSACleanup();
    return busy;
}

// The job files left in the printer's job folder, and how many jobs they are.
void listJobFiles(CReport& report, const wchar_t* storagePath) {
    WIN32_FIND_DATAW data;
    unique_hfind find(FindFirstFileW((std::wstring(storagePath) + L"\\*").c_str(), &data));
    size_t files = 0;
    std::wstring records;
    if (find) {
        do {
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY || !isJobFileName(data.cFileName)) continue;
            ++files;
            std::wstring name = data.cFileName;
            if (name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".psf") == 0) records += L" " + name.substr(0, 10);
        } while (FindNextFileW(find.get(), &data));
    }
    report.line(L"info     job files left in " + std::wstring(storagePath) + L": " + std::to_wstring(files) +
                (records.empty() ? L"" : L" (records of jobs:" + records + L"; the next job sweeps those older than 60 minutes)"));
}

// The port a job of each logged-on user would send its notices to, read as
// a job reads it: from that user's own hive.
void reportNotifiers(CReport& report) {
    size_t users = 0;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameChars = 256;
        if (RegEnumKeyExW(HKEY_USERS, i, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        std::wstring key(name);
        if (key.compare(0, 9, L"S-1-5-21-") != 0 || key.find(L'_') != std::wstring::npos) continue;
        PSID sid = nullptr;
        if (!ConvertStringSidToSidW(name, &sid)) continue;
        unique_hlocal sidOwner(sid);
        JobOwner owner = {};
        owner.hasSid = CopySid(sizeof(owner.sid), owner.sid, sid) != FALSE;
        owner.hasSession = findOwnerSession(sid, &owner.sessionId);
        wchar_t account[256] = {}, domain[256] = {};
        DWORD accountChars = 256, domainChars = 256;
        SID_NAME_USE use;
        std::wstring who = LookupAccountSidW(nullptr, sid, account, &accountChars, domain, &domainChars, &use)
                               ? std::wstring(domain) + L"\\" + account
                               : key;
        wchar_t portText[261];
        USHORT port = notifierPort(owner, portText, 261);
        ++users;
        report.line(L"info     notifier of " + who +
                    (owner.hasSession ? L" (session " + std::to_wstring(owner.sessionId) + L")" : L" (not logged on)") +
                    L": UDP port " + std::to_wstring(port) +
                    (portInUse(port) ? L", something listens there" : L", nothing listens there: no pop-ups"));
    }
    if (users == 0) report.line(L"info     no user's profile is loaded: nobody would see pop-ups");
}

DWORD diagnose(const wchar_t* printerName, CReport& report) {
    report.line(L"printer  " + std::wstring(printerName));
    bool found = false;
    std::wstring processor = printProcessorOf(printerName, &found);
    report.check(found && _wcsicmp(processor.c_str(), L"RPQ") == 0,
                 found ? L"print processor \"" + processor + L"\" (RAW jobs reach the server only through \"RPQ\")"
                       : L"the printer cannot be opened: " + processor);
    if (!found) {  // nothing to make folders, a log or settings for
        report.line(L"result   a job would NOT get through");
        return 1;
    }

    // The printer's log: what a job writes, and where the probe below leaves its lines.
    CJobState state;
    CJobScope scope(state);
    // The name as jobs use it, escaped before anything else: settings, job
    // folder and serial numbers of the printer itself even when its log
    // cannot be opened (which escapes its own copy).
    wchar_t escaped[MAX_PATH * 3] = {}, logName[MAX_PATH * 3] = {};
    StringCchCopyW(escaped, MAX_PATH, printerName);
    escapePathName(escaped);
    StringCchCopyW(logName, MAX_PATH, printerName);
    bool logOpen = state.log().openLogFile(logName);
    report.check(logOpen, logOpen ? L"log " + std::wstring(state.log().path())
                                  : L"the log cannot be opened (" + errorText(GetLastError()) +
                                        L"); the event log, source \"RPQ\", says why");
    if (logOpen) {
        wchar_t level[MAX_PATH] = {};
        state.log().setLogLevel(readLogLevelSetting(escaped, level), level);
        logMessage(L_INFO, "rpqadmin diagnose");
    }

    wchar_t server[MAX_PATH] = {}, transfer[MAX_PATH] = {}, interaction[MAX_PATH] = {};
    USHORT port = 0;
    bool secure = false, acceptAll = false, interactive = false;
    const PrinterSettingsDefaults defaults = {kDefaultServerName, kDefaultTransferAction, kDefaultInteractionAction,
                                              kDefaultServerPort, false};
    bool settings = readPrinterSettings(escaped, server, transfer, interaction, &port, &secure, &acceptAll,
                                        &interactive, defaults);
    report.check(settings, settings ? L"settings: server " + std::wstring(server) + L" port " + std::to_wstring(port) +
                                          (secure ? L" HTTPS" : L" HTTP") +
                                          (acceptAll ? L" (any certificate accepted)" : L"") + L", transfer path /" +
                                          transfer + L", interaction " + (interactive ? L"on" : L"off")
                                    : L"the printer's settings cannot be read");
    if (settings) {
        ProtocolResponse answer = {};
        DWORD error = 0;
        bool alive = validateServerConnection(server, port, escaped, secure, acceptAll, transfer, &answer, &error);
        uint8_t status = answer.value & 3;
        if (!alive)
            report.check(false, L"the server does not answer PING: " + (error ? errorText(error) : L"no valid answer"));
        else
            report.check(status != 1, status == 0   ? L"the server answers PING: OK"
                                      : status == 2 ? L"the server answers PING: Wait"
                                                    : L"the server answers PING with Error (reason " +
                                                          std::to_wstring(answer.value >> 4) + L")");
    }

    wchar_t storage[MAX_PATH] = {};
    bool folders = productDataPath(storage) && SUCCEEDED(StringCchCatW(storage, MAX_PATH, L"\\Temp")) &&
                   makeSecureFolder(storage, FileAccess::Private) && SUCCEEDED(StringCchCatW(storage, MAX_PATH, L"\\")) &&
                   SUCCEEDED(StringCchCatW(storage, MAX_PATH, escaped)) && makeSecureFolder(storage, FileAccess::Private);
    report.check(folders, folders ? L"job folder " + std::wstring(storage)
                                  : L"the job folder cannot be used (" + errorText(GetLastError()) +
                                        L"); the event log, source \"RPQ\", says why");
    if (folders) listJobFiles(report, storage);

    reportNotifiers(report);
    report.line(report.ok() ? L"result   a job would get through" : L"result   a job would NOT get through");
    return report.ok() ? 0 : 1;
}
}  // namespace

// Writes the report (CR LF lines) into report; 0 when a job would get through.
extern "C" DWORD WINAPI RpqDiagnoseW(LPCWSTR printerName, LPWSTR report, DWORD capacity) {
    try {
        CReport text;
        DWORD result = printerName && *printerName ? diagnose(printerName, text) : 2;
        if (report && capacity) StringCchCopyW(report, capacity, text.text().c_str());
        return result;
    } catch (...) {
        return 3;
    }
}
