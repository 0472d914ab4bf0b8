// rpqmsica.dll: the package's checks, run by the installer before anything
// changes, and its report of printers it leaves bound to RPQ.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <winspool.h>
#include <cwchar>
#include <memory>
#include <string>

namespace {
std::wstring property(MSIHANDLE install, const wchar_t* name) {
    DWORD size = 0;
    wchar_t empty[1] = L"";
    if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return {};
    std::wstring value(size + 1, L'\0');
    size += 1;
    if (MsiGetPropertyW(install, name, &value[0], &size) != ERROR_SUCCESS) return {};
    value.resize(size);
    return value;
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

bool isLevel(const std::wstring& text) {
    for (const wchar_t* level : {L"ON", L"TRACE", L"DEBUG", L"INFO", L"WARN", L"ERROR", L"FATAL", L"START", L"STOP", L"OFF"})
        if (_wcsicmp(text.c_str(), level) == 0) return true;
    return false;
}
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
    if (problem.empty() && !logger.empty() && !isLevel(logger))
        problem = L"LOGGER must be one of ON, TRACE, DEBUG, INFO, WARN, ERROR, FATAL, START, STOP, OFF, not \"" + logger +
                  L"\".";
    if (problem.empty() && printer.empty()) {
        for (const wchar_t* name : {L"DRIVER", L"PORT", L"SERVERNAME", L"SERVERPORT", L"SECURETRANSFER",
                                    L"ACCEPTALLCERTIFICATES", L"INTERACTION", L"LOGGER"})
            if (!property(install, name).empty()) {
                problem = std::wstring(name) + L" is given without PRINTERNAME, the printer it belongs to.";
                break;
            }
    }
    if (problem.empty()) return ERROR_SUCCESS;
    tell(install, INSTALLMESSAGE_ERROR, L"RPQ: " + problem + L" Nothing was installed.");
    return ERROR_INSTALL_FAILURE;
}

// On removal: names each printer still bound to RPQ that the package did not
// add. Such a printer stops working without RPQ; it is reported, not removed.
extern "C" __declspec(dllexport) UINT __stdcall ReportForeignPrinters(MSIHANDLE install) {
    std::wstring added;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane\\RPQ", 0, KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
        DWORD size = 0;
        if (RegQueryValueExW(key, L"PackagePrinters", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size) {
            added.resize(size / sizeof(wchar_t) + 1);
            RegQueryValueExW(key, L"PackagePrinters", nullptr, nullptr, reinterpret_cast<BYTE*>(&added[0]), &size);
        }
        RegCloseKey(key);
    }
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
extern "C" __declspec(dllexport) UINT __stdcall MarkUpgrade(MSIHANDLE install) {
    if (property(install, L"WIX_UPGRADE_DETECTED").empty()) return ERROR_SUCCESS;
    DWORD one = 1;
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane\\RPQ", L"UpgradeInProgress", REG_DWORD, &one, sizeof(one));
    tell(install, INSTALLMESSAGE_INFO, L"RPQ: upgrading an installed version in place.");
    return ERROR_SUCCESS;
}
