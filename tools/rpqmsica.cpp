// rpqmsica.dll: the package's checks, run by the installer before anything
// changes, and its report of printers it leaves bound to RPQ.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <winspool.h>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>
#include "base/cmdline.h"
#include "base/platform.h"
#include "base/levelnames.h"
#include "tools/registration.h"
#include "tools/replacefile.h"
#include "base/unique.h"

// The installer loads and frees this module for every action: libstdc++'s
// emergency exception pool (made at load) is freed at each unload.
namespace __gnu_cxx {
void __freeres() noexcept;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && !reserved) __gnu_cxx::__freeres();
    return TRUE;
}

namespace {
// A string the installer hands out by the usual two calls: its size, then it.
template <typename Get>
std::wstring installerString(Get get) {
    DWORD size = 0;
    wchar_t empty[1] = L"";
    if (get(empty, &size) != ERROR_MORE_DATA) return {};
    std::wstring value(size + 1, L'\0');
    size += 1;
    if (get(&value[0], &size) != ERROR_SUCCESS) return {};
    value.resize(size);
    return value;
}

std::wstring property(MSIHANDLE install, const wchar_t* name) {
    return installerString([&](wchar_t* text, DWORD* size) { return MsiGetPropertyW(install, name, text, size); });
}

// A message in the installer's log (and, as an error, in its user interface).
void tell(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring& text) {
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, text.c_str());
    MsiProcessMessage(install, kind, record);
}

bool isNumberIn(const std::wstring& text, unsigned long low, unsigned long high) {
    if (text.empty() || text.size() > 10) return false;
    for (wchar_t c : text)
        if (c < L'0' || c > L'9') return false;
    unsigned long value = wcstoul(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

// Names that reach the spooler and a command line: no control characters,
// no quotes.
bool isPlainName(const std::wstring& text) {
    for (wchar_t c : text)
        if (c < L' ' || c == 0x7F || c == L'"') return false;
    return true;
}

// Separates the deferred action's arguments in its data: no property that
// passed the checks holds it.
constexpr wchar_t kSeparator = L'\x1F';

std::wstring formatted(MSIHANDLE install, const wchar_t* text) {
    PMSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringW(record, 0, text);
    return installerString([&](wchar_t* out, DWORD* size) { return MsiFormatRecordW(install, record, out, size); });
}

// What a console program prints into a pipe: text in the ANSI code page.
std::wstring fromAnsi(const std::string& text) {
    int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

// Runs rpqadmin.exe (the first item) with the other items as its arguments,
// without a console window; its exit code, or the failure to start it.
UINT runAdmin(MSIHANDLE install, const std::vector<std::wstring>& items) {
    if (items.empty() || items[0].empty()) {
        tell(install, INSTALLMESSAGE_ERROR, L"RPQ: the path of rpqadmin.exe is unknown.");
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring line;
    for (const std::wstring& item : items) appendArgument(line, item);
    // What the tool prints goes into the installer's log.
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    unique_handle readEnd, writeEnd;
    if (CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    // The pipe's write end is the one handle the tool gets: the installer's
    // service holds others that are inheritable.
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::unique_ptr<BYTE[]> listBlock(new BYTE[listSize ? listSize : 1]);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBlock.get());
    HANDLE inherited = writeEnd.get();
    bool listed = writeEnd && InitializeProcThreadAttributeList(list, 1, 0, &listSize);
    if (listed && !UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &inherited, sizeof(inherited),
                                             nullptr, nullptr)) {
        DeleteProcThreadAttributeList(list);
        listed = false;
    }
    if (listed) {
        startup.lpAttributeList = list;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdOutput = startup.StartupInfo.hStdError = writeEnd.get();
    }
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(items[0].c_str(), &line[0], nullptr, nullptr, listed ? TRUE : FALSE,
                                  CREATE_NO_WINDOW | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr, nullptr,
                                  &startup.StartupInfo, &process);
    if (listed) DeleteProcThreadAttributeList(list);
    DWORD startError = GetLastError();
    writeEnd.reset();  // the tool's end of the pipe is the tool's alone: reading ends when it exits
    if (!started) {
        tell(install, INSTALLMESSAGE_ERROR, L"RPQ: rpqadmin.exe could not be started (error " +
                                                std::to_wstring(startError) + L").");
        return ERROR_INSTALL_FAILURE;
    }
    unique_handle processHandle(process.hProcess), threadHandle(process.hThread);
    bool toldWhy = false;
    if (readEnd) {
        std::string output;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(readEnd.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) output.append(buffer, got);
        for (size_t start = 0, end; start < output.size(); start = end + 1) {
            end = output.find('\n', start);
            if (end == std::string::npos) end = output.size();
            std::string text = output.substr(start, end - start);
            while (!text.empty() && text.back() == '\r') text.pop_back();
            if (!text.empty()) tell(install, INSTALLMESSAGE_INFO, L"RPQ: rpqadmin: " + fromAnsi(text));
            toldWhy |= !text.empty();
        }
    }
    WaitForSingleObject(processHandle.get(), INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(processHandle.get(), &code);
    if (code == 0) return ERROR_SUCCESS;
    std::wstring verb = items.size() > 1 ? items[1] : L"";
    tell(install, INSTALLMESSAGE_INFO, L"RPQ: rpqadmin.exe " + verb + L" ended with " + std::to_wstring(code) +
                                           (toldWhy ? L" (its lines above say why)." : L" without saying why."));
    return ERROR_INSTALL_FAILURE;
}

std::vector<std::wstring> splitData(const std::wstring& data) {
    std::vector<std::wstring> items;
    size_t start = 0;
    for (size_t at; (at = data.find(kSeparator, start)) != std::wstring::npos; start = at + 1)
        items.push_back(data.substr(start, at - start));
    items.push_back(data.substr(start));
    return items;
}

bool printerExists(const std::wstring& name) {
    unique_printer printer;
    return OpenPrinterW(const_cast<LPWSTR>(name.c_str()), printer.put(), nullptr) != FALSE;
}

bool driverInstalled(const std::wstring& name) {
    DWORD needed = 0, count = 0;
    EnumPrinterDriversW(nullptr, nullptr, 1, nullptr, 0, &needed, &count);
    if (needed == 0) return false;
    std::unique_ptr<BYTE[]> block(new BYTE[needed]);
    if (!EnumPrinterDriversW(nullptr, nullptr, 1, block.get(), needed, &needed, &count)) return false;
    auto* drivers = reinterpret_cast<DRIVER_INFO_1W*>(block.get());
    for (DWORD i = 0; i < count; ++i)
        if (drivers[i].pName && _wcsicmp(drivers[i].pName, name.c_str()) == 0) return true;
    return false;
}

// The printers the package added ("PackagePrinters"): NUL-separated names,
// ending in an empty one.
std::wstring packagePrinters() {
    std::wstring added;
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane\\RPQ", 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
        return added;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), L"PackagePrinters", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size) {
        added.resize(size / sizeof(wchar_t) + 2);
        RegQueryValueExW(key.get(), L"PackagePrinters", nullptr, nullptr, reinterpret_cast<BYTE*>(&added[0]), &size);
    }
    return added;
}

// The driver that rpqadmin installs itself under Wine.
constexpr wchar_t kWineDriver[] = L"Wine PostScript Driver";

}  // namespace

// Refuses the installation, before it changes anything, when a public
// property has a value RPQ cannot use.
extern "C" __declspec(dllexport) UINT __stdcall CheckProperties(MSIHANDLE install) {
    std::wstring problem;
    std::wstring printer = property(install, L"PRINTERNAME");
    std::wstring port = property(install, L"SERVERPORT");
    if (!port.empty() && !isNumberIn(port, 1, 65535))
        problem = L"SERVERPORT must be a number from 1 to 65535, not \"" + port + L"\".";
    for (const wchar_t* flag : {L"SECURETRANSFER", L"ACCEPTALLCERTIFICATES", L"INTERACTION"}) {
        std::wstring value = property(install, flag);
        if (problem.empty() && !value.empty() && value != L"0" && value != L"1")
            problem = std::wstring(flag) + L" must be 0 or 1, not \"" + value + L"\".";
    }
    std::wstring logger = property(install, L"LOGGER");
    if (problem.empty() && !logger.empty() && !isLevelName(logger.c_str()))
        problem = L"LOGGER must be one of ON, TRACE, DEBUG, INFO, WARN, ERROR, FATAL, START, STOP, OFF, not \"" + logger +
                  L"\".";
    for (const wchar_t* name : {L"PRINTERNAME", L"DRIVER", L"PORT", L"SERVERNAME"}) {
        std::wstring value = property(install, name);
        if (problem.empty() && !isPlainName(value))
            problem = std::wstring(name) + L" must not hold quotes or control characters.";
    }
    // Windows printer names hold neither, and the spooler reads both as separators.
    if (problem.empty() && printer.find_first_of(L"\\,") != std::wstring::npos)
        problem = L"PRINTERNAME must not hold backslashes or commas.";
    if (problem.empty() && printer.empty()) {
        for (const wchar_t* name : {L"DRIVER", L"PORT", L"SERVERNAME", L"SERVERPORT", L"SECURETRANSFER",
                                    L"ACCEPTALLCERTIFICATES", L"INTERACTION", L"LOGGER"})
            if (!property(install, name).empty()) {
                problem = std::wstring(name) + L" is given without PRINTERNAME, the printer it belongs to.";
                break;
            }
    }
    // A printer to add needs its driver and its port: known before anything changes.
    std::wstring driver = property(install, L"DRIVER");
    if (problem.empty() && !printer.empty() && !printerExists(printer)) {
        bool wine = setupAllowsWineDefaults();
        if (driver.empty() && !wine)
            problem = L"DRIVER must name the printer driver for the new printer \"" + printer + L"\".";
        else if (!driver.empty() && !driverInstalled(driver) && !(wine && driver == kWineDriver))
            problem = L"DRIVER names no installed printer driver: \"" + driver + L"\".";
        else if (property(install, L"PORT").empty() && !wine)
            problem = L"PORT must name the port of the new printer \"" + printer +
                      L"\" (the port FILE: asks for a file name, which the spooler's service cannot answer).";
    }
    if (problem.empty() && nativeMachineIsArm64())
        problem = L"this Windows runs on ARM64: its spooler cannot load the x64 RPQ.dll.";
    if (problem.empty()) return ERROR_SUCCESS;
    tell(install, INSTALLMESSAGE_ERROR, L"RPQ: " + problem + L" Nothing was installed.");
    return ERROR_INSTALL_FAILURE;
}

// After costing, when the files' paths are known: the deferred, privileged
// action gets the checked properties as data.
extern "C" __declspec(dllexport) UINT __stdcall PrepareRegister(MSIHANDLE install) {
    // The deferred, privileged action gets the properties as data, one
    // argument each, never as a command line of the installer's making.
    std::wstring data = formatted(install, L"[#rpqadmin.exe]") + kSeparator + L"package-install";
    const std::pair<const wchar_t*, const wchar_t*> arguments[] = {
        {L"PRINTERNAME", L"PRINTERNAME"}, {L"DRIVER", L"DRIVER"}, {L"PORT", L"PORT"},
        {L"SERVERNAME", L"ServerName"}, {L"SERVERPORT", L"ServerPort"}, {L"SECURETRANSFER", L"SecureTransfer"},
        {L"ACCEPTALLCERTIFICATES", L"AcceptAllCertificates"}, {L"INTERACTION", L"Interaction"}, {L"LOGGER", L"Logger"}};
    for (const auto& argument : arguments)
        data += kSeparator + std::wstring(argument.second) + L"=" + property(install, argument.first);
    MsiSetPropertyW(install, L"Register", data.c_str());
    // Its rollback undoes a first registration; one that was there before
    // (a repair, an upgrade) is the older version's and stays.
    HKEY key = nullptr;
    bool registered = RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                    L"System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Print "
                                    L"Processors\\RPQ",
                                    0, KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS;
    if (key) RegCloseKey(key);
    MsiSetPropertyW(install, L"RollbackRegister", registered ? L"" : L"first");
    return ERROR_SUCCESS;
}

// Rollback of Register, as the system: what a failed first installation
// registered goes again: the printers it added, the print processor, its
// spooler copy and event source. Done here, not by rpqadmin.exe, which the
// rollback of the files may have taken already.
extern "C" __declspec(dllexport) UINT __stdcall RollbackRegister(MSIHANDLE install) {
    // Files the failed installation set aside (the spooler held them) go back,
    // and their deletes at the next restart are cancelled.
    if (!restoreSetAside())
        tell(install, INSTALLMESSAGE_INFO, L"RPQ: a file the failed installation set aside could not be put back.");
    if (property(install, L"CustomActionData").empty()) return ERROR_SUCCESS;  // registered before: kept
    std::wstring added = packagePrinters();
    for (const wchar_t* p = added.c_str(); *p; p += wcslen(p) + 1) {
        PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
        unique_printer printer;
        if (OpenPrinterW(const_cast<LPWSTR>(p), printer.put(), &defaults)) DeletePrinter(printer.get());
    }
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane\\RPQ", L"PackagePrinters");
    bool unregistered = unregisterProcessor();
    std::wstring dir;
    if (processorDir(dir)) DeleteFileW((dir + L"\\" + kProcessorFile).c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\RPQ");
    tell(install, INSTALLMESSAGE_INFO, unregistered ? L"RPQ: the failed installation's registration was undone."
                                                    : L"RPQ: the failed installation's registration could not be undone.");
    return ERROR_SUCCESS;
}

// Deferred, as the system: rpqadmin package-install with the checked
// properties (CustomActionData), no console window.
extern "C" __declspec(dllexport) UINT __stdcall Register(MSIHANDLE install) {
    return runAdmin(install, splitData(property(install, L"CustomActionData")));
}

// Deferred, as the system: rpqadmin package-uninstall, no console window.
extern "C" __declspec(dllexport) UINT __stdcall Unregister(MSIHANDLE install) {
    runAdmin(install, splitData(property(install, L"CustomActionData")));
    return ERROR_SUCCESS;  // removal goes on; what was kept is in the log
}

// Before a removal: the deferred removal action learns where rpqadmin.exe is.
extern "C" __declspec(dllexport) UINT __stdcall PrepareRemoval(MSIHANDLE install) {
    MsiSetPropertyW(install, L"Unregister", (formatted(install, L"[#rpqadmin.exe]") + kSeparator + L"package-uninstall").c_str());
    return ERROR_SUCCESS;
}

// Rollback of an installation (an upgrade cancelled or failed): the mark
// that MarkUpgrade set goes again, so that a later real removal is one.
extern "C" __declspec(dllexport) UINT __stdcall ClearUpgradeMark(MSIHANDLE) {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane\\RPQ", L"UpgradeInProgress");
    return ERROR_SUCCESS;
}

// On removal: names each printer still bound to RPQ that the package did not
// add. Such a printer stops working without RPQ; it is reported, not removed.
extern "C" __declspec(dllexport) UINT __stdcall ReportForeignPrinters(MSIHANDLE install) {
    std::wstring added = packagePrinters();
    DWORD needed = 0, count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
    if (needed == 0) return ERROR_SUCCESS;
    std::unique_ptr<BYTE[]> block(new BYTE[needed]);
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, block.get(), needed, &needed, &count)) return ERROR_SUCCESS;
    auto* printers = reinterpret_cast<PRINTER_INFO_2W*>(block.get());
    for (DWORD i = 0; i < count; ++i) {
        if (!printers[i].pPrintProcessor || _wcsicmp(printers[i].pPrintProcessor, L"RPQ") != 0) continue;
        bool ours = false;
        for (const wchar_t* p = added.c_str(); *p; p += wcslen(p) + 1)
            if (_wcsicmp(p, printers[i].pPrinterName) == 0) ours = true;
        if (!ours)
            tell(install, INSTALLMESSAGE_INFO,
                 L"RPQ: the printer \"" + std::wstring(printers[i].pPrinterName) +
                     L"\" is still bound to the print processor RPQ and was not added by this package; it is kept, "
                     L"and so is the print processor's registration, until it is switched to another print processor.");
    }
    return ERROR_SUCCESS;
}

// In an upgrade the older version is removed by the newer package; where the
// installer does not tell that removal it is one (Wine sets no
// UPGRADINGPRODUCTCODE), this mark does: package-uninstall then keeps the
// printers and the registration, and the newer version's package-install
// clears the mark.
// Windows Installer tells the older version's removal itself
// (UPGRADINGPRODUCTCODE), so on Windows this writes nothing: an immediate
// action never changes the machine there. Only Wine's msiexec needs the mark.
extern "C" __declspec(dllexport) UINT __stdcall MarkUpgrade(MSIHANDLE install) {
    if (!runningUnderWine() || property(install, L"WIX_UPGRADE_DETECTED").empty()) return ERROR_SUCCESS;
    DWORD one = 1;
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane\\RPQ", L"UpgradeInProgress", REG_DWORD, &one, sizeof(one));
    tell(install, INSTALLMESSAGE_INFO, L"RPQ: upgrading an installed version in place.");
    return ERROR_SUCCESS;
}
