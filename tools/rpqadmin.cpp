// rpqadmin: installs RPQ into the spooler, adds printers bound to it and
// writes their settings. Run "rpqadmin help" for the commands.
#include <windows.h>
#include <shlobj.h>
#include <winspool.h>
#include <sddl.h>
#include <cerrno>
#include <cstdio>
#include <cwctype>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>
#include <aclapi.h>
#include "base/finalpath.h"
#include "base/trust.h"
#include "base/folderaccess.h"
#include "base/platform.h"
#include "base/printerkey.h"
#include "base/levelnames.h"
#include "base/unique.h"
#include "tools/jobfolder.h"
#include "tools/registration.h"
#include "tools/replacefile.h"
#include "tools/toolerror.h"

namespace {
constexpr wchar_t kWineDriver[] = L"Wine PostScript Driver";

// The commands: on standard output with exit code 0 when asked for, else on
// standard error with 2.
int usage(bool asked = false) {
    fwprintf(asked ? stdout : stderr,
             L"usage:\n"
             L"  rpqadmin install [RPQ.dll [7z.dll]] [--restart-spooler]\n"
             L"                                         copy RPQ.dll into the spooler and register it;\n"
             L"                                         7z.dll goes to %%ProgramFiles%%\\Halvane\\RPQ; files in use\n"
             L"                                         are set aside, and the running spooler restarted\n"
             L"  rpqadmin uninstall [--force]           unregister RPQ and remove its files (refused while\n"
             L"                                         printers are bound to it, unless --force)\n"
             L"  rpqadmin add-printer NAME [--port PORT] [--driver DRIVER] [--attributes N] [--processor P]\n"
             L"  rpqadmin remove-printer NAME\n"
             L"  rpqadmin configure NAME [VALUE=DATA | -VALUE]...\n"
             L"      values: ServerName ServerPort JobTransferAction JobInteractionAction MsgNo\n"
             L"              SecureTransfer AcceptAllCertificates Interaction Logger\n"
             L"  rpqadmin show NAME                     print the printer's settings\n"
             L"  rpqadmin package-install [PRINTERNAME=N] [DRIVER=D] [PORT=P] [Setting=Data]...\n"
             L"                                         what the installation package does\n"
             L"  rpqadmin package-uninstall             remove what package-install added\n"
             L"  rpqadmin diagnose PRINTER              check the printer's settings, server, folders and notifier\n"
             L"  rpqadmin help                          this list\n"
             L"Files default to the ones beside rpqadmin.exe.\n");
    return asked ? 0 : 2;
}

std::wstring besideMe(const wchar_t* file) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self);
    size_t slash = dir.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : dir.substr(0, slash + 1)) + file;
}

bool programFilesDir(std::wstring& dir) {
    wchar_t base[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, base))) return false;
    dir = std::wstring(base) + L"\\Halvane";
    CreateDirectoryW(dir.c_str(), nullptr);
    dir += L"\\RPQ";
    return CreateDirectoryW(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// True when both paths name one file (a copy onto itself would fail with a
// sharing violation, as when rpqadmin runs from the folder it installs into).
bool sameFile(const std::wstring& a, const std::wstring& b) {
    auto identity = [](const std::wstring& path, BY_HANDLE_FILE_INFORMATION* info) {
        unique_hfile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                                             FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
        return file && GetFileInformationByHandle(file.get(), info);
    };
    BY_HANDLE_FILE_INFORMATION first = {}, second = {};
    return identity(a, &first) && identity(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

// Copies source onto target unless they are the same file already; a
// target in use is set aside (see replacefile.h).
bool copyOnto(const std::wstring& source, const std::wstring& target, bool* wasInUse) {
    *wasInUse = false;
    sweepSetAside(target);
    return sameFile(source, target) || replaceFile(source, target, wasInUse);
}

// One data folder with its access list and the administrators as owner:
// made with them; one that exists and is RPQ's (a trusted owner, nobody
// else may change it) is given them through a handle to itself; one that
// others made or may write to is moved aside, named in *movedAside, and
// made anew: never secured in place, where what a user put inside would
// stay theirs. A link or a file there is refused.
// The folder, through its handle: owned by the administrators, with the
// descriptor's list alone (protected from inheritance).
bool giveToAdministrators(HANDLE folder, PSECURITY_DESCRIPTOR descriptor) {
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) return false;
    DWORD rc = SetSecurityInfo(folder, SE_FILE_OBJECT,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               administrators, nullptr, dacl, nullptr);
    SetLastError(rc);
    return rc == ERROR_SUCCESS;
}

// Marks a folder taken over in place (in use, it could not be moved aside).
constexpr wchar_t kTakenOver[] = L"*";

bool secureDataFolder(const std::wstring& path, const wchar_t* sddl, std::wstring* movedAside, bool* notAFolder = nullptr) {
    unique_hlocal descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor,
                                                              nullptr))
        return false;
    descriptor.reset(attributes.lpSecurityDescriptor);
    if (CreateDirectoryW(path.c_str(), &attributes)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    unique_hfile folder(CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!folder || !GetFileInformationByHandle(folder.get(), &info)) return false;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !isAtPath(folder.get(), path.c_str())) {
        if (notAFolder) *notAFolder = true;  // a link or a file: left for the administrator to remove
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    PSECURITY_DESCRIPTOR current = nullptr;
    if (GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &current) != ERROR_SUCCESS)
        return false;
    unique_hlocal currentOwner(current);
    if (!isTrustedFolderSecurity(current)) {
        folder.reset();
        if (moveAside(path, L".untrusted-", 1, movedAside)) return CreateDirectoryW(path.c_str(), &attributes) != FALSE;
        DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) return false;
        // Held open by someone: it cannot be renamed, so it is taken over in
        // place, through a handle that backup semantics lets the
        // administrators open whatever its list says.
        unique_hfile held(CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION heldInfo = {};
        if (!held || !GetFileInformationByHandle(held.get(), &heldInfo) ||
            (heldInfo.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !isAtPath(held.get(), path.c_str()))
            return false;
        if (!giveToAdministrators(held.get(), descriptor.get())) return false;
        *movedAside = kTakenOver + path;
        return true;
    }
    // Already as a first install leaves it: a repair or upgrade changes nothing.
    if (!grantsMoreThan(current, descriptor.get())) return true;
    return giveToAdministrators(folder.get(), descriptor.get());
}

// The printer folders inside Log\ or Temp\ that are not RPQ's: moved aside
// (the next job makes a fresh one).
bool takeOverPrinterFolders(const std::wstring& parent, const wchar_t* sddl, std::vector<std::wstring>* movedAside) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    unique_hfind find(FindFirstFileW((parent + L"\\*").c_str(), &data));
    if (find) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L".." || !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
                (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || name.find(L".untrusted-") != std::wstring::npos)
                continue;
            names.push_back(name);
        } while (FindNextFileW(find.get(), &data));
    }
    for (const std::wstring& name : names) {
        std::wstring aside;
        if (!secureDataFolder(parent + L"\\" + name, sddl, &aside)) return false;
        if (!aside.empty()) movedAside->push_back(aside);
    }
    return true;
}

// "<common app data>\\Halvane\\RPQ" with "Log" and "Temp" (the system and administrators only).
bool makeDataFolders(std::wstring* failed, std::vector<std::wstring>* movedAside, bool* notAFolder) {
    wchar_t base[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base))) return false;
    std::wstring halvane = std::wstring(base) + L"\\Halvane", product = halvane + L"\\RPQ";
    const std::pair<std::wstring, const wchar_t*> folders[] = {
        {halvane, kReadableSddl}, {product, kReadableSddl}, {product + L"\\Log", kPrivateSddl},
        {product + L"\\Temp", kPrivateSddl}};
    for (const auto& folder : folders) {
        std::wstring aside;
        if (!secureDataFolder(folder.first, folder.second, &aside, notAFolder)) {
            *failed = folder.first;
            return false;
        }
        if (!aside.empty()) movedAside->push_back(aside);
    }
    for (const wchar_t* parent : {L"\\Log", L"\\Temp"})
        if (!takeOverPrinterFolders(product + parent, kPrivateSddl, movedAside)) {
            *failed = product + parent;
            return false;
        }
    return true;
}

int install(int argc, wchar_t** argv) {
    if (nativeMachineIsArm64()) {
        fwprintf(stderr, L"this Windows runs on ARM64: its spooler cannot load the x64 RPQ.dll, so RPQ is not installed "
                         L"(print to an IPP printer such as rpqgate instead)\n");
        return 1;
    }
    std::vector<std::wstring> files;
    bool restart = false;
    for (int i = 2; i < argc; ++i) {
        if (!wcscmp(argv[i], L"--restart-spooler")) restart = true;
        else files.push_back(argv[i]);
    }
    if (files.size() > 2) return usage();
    std::wstring dll = files.size() > 0 ? files[0] : besideMe(kProcessorFile);
    std::wstring sevenZip = files.size() > 1 ? files[1] : besideMe(L"7z.dll");
    std::wstring dir;
    if (!processorDir(dir)) return failWith(L"GetPrintProcessorDirectory", GetLastError());
    std::wstring target = dir + L"\\" + kProcessorFile;
    bool dllInUse = false, sevenZipInUse = false;
    clearSetAsideRecord();  // what this installation sets aside, for its rollback
    if (!copyOnto(dll, target, &dllInUse))
        return failWith((L"Copying " + dll + L" to " + target).c_str(), GetLastError());
    std::wstring pf;
    if (!programFilesDir(pf)) return failWith(L"Creating the program files folder", GetLastError());
    std::wstring sevenZipTarget = pf + L"\\7z.dll";
    if (!copyOnto(sevenZip, sevenZipTarget, &sevenZipInUse))
        return failWith((L"Copying " + sevenZip + L" to " + sevenZipTarget).c_str(), GetLastError());
    // Event Viewer reads the entries' text from RPQ.dll's message table.
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    LONG rc = RegSetKeyValueW(HKEY_LOCAL_MACHINE, kEventSourceKey, L"EventMessageFile", REG_EXPAND_SZ, target.c_str(),
                              static_cast<DWORD>((target.size() + 1) * sizeof(wchar_t)));
    if (rc == ERROR_SUCCESS)
        rc = RegSetKeyValueW(HKEY_LOCAL_MACHINE, kEventSourceKey, L"TypesSupported", REG_DWORD, &types, sizeof(types));
    if (rc != ERROR_SUCCESS) return failWith(L"Registering the event source \"RPQ\"", static_cast<DWORD>(rc));
    std::wstring folder;
    std::vector<std::wstring> movedAside;
    bool notAFolder = false;
    if (!makeDataFolders(&folder, &movedAside, &notAFolder)) {
        if (!notAFolder) return failWith((L"Securing the data folder " + folder).c_str(), GetLastError());
        fwprintf(stderr, L"%ls is a link or a file, not a folder of RPQ's own: RPQ does not work through it. "
                         L"Remove it and install again.\n", folder.c_str());
        return 1;
    }
    for (const std::wstring& aside : movedAside) {
        if (aside.rfind(kTakenOver, 0) == 0)
            wprintf(L"a folder that was not RPQ's (others made it or may change it) is in use, so it was taken over in "
                    L"place (its owner and access list are RPQ's now; what others put in it stays): %ls\n",
                    aside.c_str() + wcslen(kTakenOver));
        else
            wprintf(L"a folder that was not RPQ's (others made it or may change it) was moved aside to %ls\n",
                    aside.c_str());
    }
    if (!AddPrintProcessorW(nullptr, nullptr, const_cast<LPWSTR>(kProcessorFile), const_cast<LPWSTR>(kProcessorName)) &&
        GetLastError() != ERROR_PRINT_PROCESSOR_ALREADY_INSTALLED)
        return failWith(L"AddPrintProcessor", GetLastError());
    wprintf(L"installed print processor \"%ls\": %ls\n7-Zip library: %ls\n", kProcessorName, target.c_str(),
            sevenZipTarget.c_str());
    if (dllInUse || sevenZipInUse) {
        bool restarted = false;
        if (!restart)
            wprintf(L"the spooler holds the older version loaded: it takes the new one when it restarts\n");
        else if (!restartSpoolerIfRunning(&restarted))
            return failWith(L"Restarting the Spooler service", GetLastError());
        else if (restarted)
            wprintf(L"restarted the Spooler service: its next job uses the new version\n");
        wprintf(L"the older files are deleted at the next restart\n");
    }
    return 0;
}

// The local printers bound to the print processor RPQ.
std::vector<std::wstring> boundPrinters() {
    std::vector<std::wstring> names;
    DWORD needed = 0, count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> block(needed ? needed : 1);
    if (!needed || !EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, block.data(), needed, &needed, &count)) return names;
    auto* printers = reinterpret_cast<PRINTER_INFO_2W*>(block.data());
    for (DWORD i = 0; i < count; ++i)
        if (printers[i].pPrintProcessor && _wcsicmp(printers[i].pPrintProcessor, kProcessorName) == 0)
            names.push_back(printers[i].pPrinterName);
    return names;
}

int uninstall(int argc, wchar_t** argv) {
    bool force = argc > 2 && !wcscmp(argv[2], L"--force");
    if (argc > (force ? 3 : 2)) return usage();
    // Their jobs would fail while the tools still said "spooled".
    std::vector<std::wstring> bound = boundPrinters();
    if (!bound.empty() && !force) {
        for (const std::wstring& name : bound)
            fwprintf(stderr, L"printer \"%ls\" is bound to the print processor %ls\n", name.c_str(), kProcessorName);
        fwprintf(stderr, L"nothing was removed: switch or remove these printers first, or give --force\n");
        return 1;
    }
    if (!unregisterProcessor()) return failWith(L"DeletePrintProcessor", GetLastError());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    std::wstring dir, pf;
    if (processorDir(dir)) DeleteFileW((dir + L"\\" + kProcessorFile).c_str());
    if (programFilesDir(pf)) {
        DeleteFileW((pf + L"\\7z.dll").c_str());
        RemoveDirectoryW(pf.c_str());
    }
    wprintf(L"removed print processor \"%ls\"\n", kProcessorName);
    return 0;
}

// True when the driver is installed; its data file's path in *dataFile.
bool findDriver(const wchar_t* name, std::wstring* dataFile = nullptr) {
    DWORD needed = 0, count = 0;
    EnumPrinterDriversW(nullptr, nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed ? needed : 1);
    if (!EnumPrinterDriversW(nullptr, nullptr, 2, buffer.data(), needed, &needed, &count)) return false;
    auto drivers = reinterpret_cast<DRIVER_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        if (_wcsicmp(drivers[i].pName, name) == 0) {
            if (dataFile) *dataFile = drivers[i].pDataFile ? drivers[i].pDataFile : L"";
            return true;
        }
    return false;
}

// Wine's PostScript driver reads its printer description from generic.ppd,
// which winspool.drv carries as resource "PPDFILE" 1; without the file no DC
// can be made on the printer.
bool writeWinePpd(const std::wstring& path) {
    HMODULE winspool = GetModuleHandleW(L"winspool.drv");
    HRSRC found = winspool ? FindResourceW(winspool, MAKEINTRESOURCEW(1), L"PPDFILE") : nullptr;
    HGLOBAL loaded = found ? LoadResource(winspool, found) : nullptr;
    auto bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!bytes) return false;
    DWORD size = SizeofResource(winspool, found);
    DWORD length = static_cast<DWORD>(strnlen(bytes, size));
    unique_hfile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes, length, &written, nullptr) && written == length;
}

bool installWineDriver() {
    wchar_t dir[MAX_PATH] = {};
    DWORD needed = 0;
    if (!GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(dir), sizeof(dir), &needed) ||
        !writeWinePpd(std::wstring(dir) + L"\\generic.ppd"))
        return false;
    DRIVER_INFO_3W info = {};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(kWineDriver);
    info.pDriverPath = const_cast<LPWSTR>(L"wineps.drv");
    info.pConfigFile = const_cast<LPWSTR>(L"wineps.drv");
    info.pDataFile = const_cast<LPWSTR>(L"generic.ppd");
    return AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info), APD_COPY_NEW_FILES) != FALSE;
}

int addPrinter(int argc, wchar_t** argv) {
    if (argc < 3) return usage();
    std::wstring name = argv[2], port, driver = kWineDriver, processor = kProcessorName;
    DWORD attributes = PRINTER_ATTRIBUTE_LOCAL;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (!wcscmp(argv[i], L"--port")) port = argv[i + 1];
        else if (!wcscmp(argv[i], L"--driver")) driver = argv[i + 1];
        else if (!wcscmp(argv[i], L"--attributes")) attributes = wcstoul(argv[i + 1], nullptr, 0);
        else if (!wcscmp(argv[i], L"--processor")) processor = argv[i + 1];
        else return usage();
    }
    if (port.empty()) {
        // On Windows the port FILE: asks for a file name, which the spooler's
        // service cannot answer: every job played back there would fail.
        if (!setupAllowsWineDefaults()) {
            fwprintf(stderr, L"no port named: give the printer's port with --port PORT (on Windows the port FILE: asks "
                             L"for a file name, which the spooler's service cannot answer)\n");
            return 1;
        }
        port = L"FILE:";
    }
    if (!findDriver(driver.c_str())) {
        if (driver != kWineDriver) return failWith((L"Finding the driver " + driver).c_str(), ERROR_UNKNOWN_PRINTER_DRIVER);
        // Wine's own driver is installed on demand, and only where Wine is.
        if (!setupAllowsWineDefaults()) {
            fwprintf(stderr, L"no printer driver named: give one with --driver NAME (\"%ls\" exists only under Wine)\n",
                     kWineDriver);
            return 1;
        }
        if (!installWineDriver()) return failWith(L"Installing the Wine PostScript driver", GetLastError());
    }
    std::wstring dataFile;
    if (driver == kWineDriver && findDriver(kWineDriver, &dataFile) && !dataFile.empty() &&
        GetFileAttributesW(dataFile.c_str()) == INVALID_FILE_ATTRIBUTES && !writeWinePpd(dataFile))
        return failWith((L"Writing " + dataFile).c_str(), GetLastError());
    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(name.c_str());
    info.pPortName = const_cast<LPWSTR>(port.c_str());
    info.pDriverName = const_cast<LPWSTR>(driver.c_str());
    info.pPrintProcessor = const_cast<LPWSTR>(processor.c_str());
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    info.Attributes = attributes;
    HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    if (!printer) return failWith((L"AddPrinter \"" + name + L"\"").c_str(), GetLastError());
    ClosePrinter(printer);
    wprintf(L"added printer \"%ls\" on port %ls, driver \"%ls\", print processor %ls\n", name.c_str(), port.c_str(),
            driver.c_str(), processor.c_str());
    return 0;
}

int removePrinter(int argc, wchar_t** argv) {
    if (argc != 3) return usage();
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    unique_printer printer;
    if (!OpenPrinterW(argv[2], printer.put(), &defaults)) return failWith(L"OpenPrinter", GetLastError());
    if (!DeletePrinter(printer.get())) return failWith(L"DeletePrinter", GetLastError());
    wprintf(L"removed printer \"%ls\"\n", argv[2]);
    return 0;
}

// The key of a printer as the print processor names it: escaped.
bool printerKeyPath(const wchar_t* printer, wchar_t* path) {
    wchar_t escaped[MAX_PATH] = {};
    if (wcslen(printer) >= MAX_PATH) return false;
    wcscpy(escaped, printer);
    escapePathName(escaped);
    return settingsKeyPath(escaped, path);
}

LONG setString(HKEY key, const wchar_t* name, const wchar_t* value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
}

LONG setDword(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

const wchar_t* const kDwordValues[] = {L"ServerPort", L"MsgNo", L"SecureTransfer", L"AcceptAllCertificates",
                                       L"Interaction"};
const wchar_t* const kStringValues[] = {L"ServerName", L"JobTransferAction", L"JobInteractionAction", L"Logger"};

bool isOneOf(const wchar_t* name, const wchar_t* const* list, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (!wcscmp(name, list[i])) return true;
    return false;
}

// The rule a setting's value must keep, as the package checks it; empty
// when the value keeps it.
std::wstring brokenRule(const std::wstring& name, const std::wstring& data) {
    auto number = [&](unsigned long low, unsigned long high, unsigned long* value) {
        wchar_t* end = nullptr;
        errno = 0;
        *value = wcstoul(data.c_str(), &end, 0);
        return !data.empty() && iswdigit(data[0]) && !*end && errno == 0 && *value >= low && *value <= high;
    };
    unsigned long value = 0;
    if (name == L"ServerPort")
        return number(1, 65535, &value) ? L"" : L"ServerPort must be a number from 1 to 65535";
    if (name == L"SecureTransfer" || name == L"AcceptAllCertificates" || name == L"Interaction")
        return data == L"0" || data == L"1" ? L"" : name + L" must be 0 or 1";
    if (name == L"MsgNo") return number(0, 0xFFFFFFFFul, &value) ? L"" : L"MsgNo must be a number from 0 to 4294967295";
    if (name == L"Logger") {
        // The log reads names only: a number would be stored and never take effect.
        return isLevelName(data.c_str())
                   ? L""
                   : L"Logger must be one of ON, TRACE, DEBUG, INFO, WARN, ERROR, FATAL, START, STOP, OFF";
    }
    return L"";
}

bool printerExists(const std::wstring& name);

int configure(int argc, wchar_t** argv) {
    if (argc < 3) return usage();
    // A key for a printer that does not exist would only wait for a printer of that name.
    if (!printerExists(argv[2])) {
        fwprintf(stderr, L"there is no printer \"%ls\": nothing was changed\n", argv[2]);
        return 1;
    }
    wchar_t path[MAX_PATH];
    if (!printerKeyPath(argv[2], path)) return failWith(L"Building the settings key path", ERROR_FILENAME_EXCED_RANGE);
    // Every item is checked before anything is written: a refused value changes nothing.
    for (int i = 3; i < argc; ++i) {
        std::wstring item = argv[i];
        std::wstring name = item.empty() || item[0] != L'-' ? item.substr(0, item.find(L'=')) : item.substr(1);
        if (!isOneOf(name.c_str(), kDwordValues, 5) && !isOneOf(name.c_str(), kStringValues, 4)) {
            fwprintf(stderr, L"unknown setting \"%ls\"\n", name.c_str());
            return usage();
        }
        if (item[0] == L'-') continue;
        if (item.find(L'=') == std::wstring::npos) return usage();
        std::wstring rule = brokenRule(name, item.substr(item.find(L'=') + 1));
        if (!rule.empty()) {
            fwprintf(stderr, L"%ls, not \"%ls\": nothing was changed\n", rule.c_str(), item.substr(item.find(L'=') + 1).c_str());
            return 1;
        }
    }
    unique_hkey key;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              key.put(), &disposition);
    if (rc != ERROR_SUCCESS) return failWith((L"Opening HKLM\\" + std::wstring(path)).c_str(), rc);
    if (disposition == REG_CREATED_NEW_KEY) {
        // Everything a first job would write, so the printer works at once.
        if ((rc = setString(key.get(), L"ServerName", kDefaultServerName)) ||
            (rc = setDword(key.get(), L"ServerPort", kDefaultServerPort)) ||
            (rc = setString(key.get(), L"JobTransferAction", kDefaultTransferAction)) ||
            (rc = setString(key.get(), L"JobInteractionAction", kDefaultInteractionAction)) ||
            (rc = setDword(key.get(), L"MsgNo", 0)) || (rc = setDword(key.get(), L"SecureTransfer", 0)) ||
            (rc = setDword(key.get(), L"AcceptAllCertificates", 0)))
            return failWith(L"Writing the default settings", rc);
    }
    for (int i = 3; i < argc; ++i) {
        std::wstring item = argv[i];
        if (item[0] == L'-') {
            rc = RegDeleteValueW(key.get(), item.c_str() + 1);
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
                return failWith((L"Deleting " + item.substr(1)).c_str(), rc);
            continue;
        }
        size_t eq = item.find(L'=');
        std::wstring name = item.substr(0, eq), data = item.substr(eq + 1);
        if (isOneOf(name.c_str(), kDwordValues, 5)) rc = setDword(key.get(), name.c_str(), wcstoul(data.c_str(), nullptr, 0));
        else rc = setString(key.get(), name.c_str(), data.c_str());
        if (rc != ERROR_SUCCESS) return failWith((L"Writing " + name).c_str(), rc);
    }
    wprintf(L"configured HKLM\\%ls\n", path);
    return 0;
}

int show(int argc, wchar_t** argv) {
    if (argc != 3) return usage();
    wchar_t path[MAX_PATH];
    if (!printerKeyPath(argv[2], path)) return failWith(L"Building the settings key path", ERROR_FILENAME_EXCED_RANGE);
    unique_hkey key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put());
    if (rc != ERROR_SUCCESS) return failWith((L"Opening HKLM\\" + std::wstring(path)).c_str(), rc);
    wprintf(L"HKLM\\%ls\n", path);
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        BYTE data[1024];
        DWORD nameLen = 256, dataLen = sizeof(data) - 2, type = 0;
        if (RegEnumValueW(key.get(), i, name, &nameLen, nullptr, &type, data, &dataLen) != ERROR_SUCCESS) break;
        if (type == REG_DWORD) wprintf(L"  %-22ls %lu\n", name, *reinterpret_cast<DWORD*>(data));
        else if (type == REG_SZ) {
            data[dataLen] = data[dataLen + 1] = 0;
            wprintf(L"  %-22ls \"%ls\"\n", name, reinterpret_cast<wchar_t*>(data));
        }
    }
    return 0;
}
}  // namespace

namespace {
// What the installation package records and makes.
constexpr wchar_t kProductKey[] = L"SOFTWARE\\Halvane\\RPQ";
constexpr wchar_t kPackagePrinters[] = L"PackagePrinters";
constexpr wchar_t kNotifierKey[] = L"SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify";

std::vector<std::wstring> packagePrinters() {
    std::vector<std::wstring> names;
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), kPackagePrinters, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return names;
    std::wstring block(size / sizeof(wchar_t) + 2, L'\0');
    if (RegQueryValueExW(key.get(), kPackagePrinters, nullptr, nullptr, reinterpret_cast<BYTE*>(&block[0]), &size) !=
        ERROR_SUCCESS)
        return names;
    for (const wchar_t* p = block.c_str(); *p; p += wcslen(p) + 1) names.push_back(p);
    return names;
}

LONG storePackagePrinters(const std::vector<std::wstring>& names) {
    unique_hkey key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, key.put(), nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    if (names.empty()) return RegDeleteValueW(key.get(), kPackagePrinters) == ERROR_SUCCESS ? ERROR_SUCCESS : rc;
    std::wstring block;
    for (const std::wstring& name : names) block += name + L'\0';
    block += L'\0';
    return RegSetValueExW(key.get(), kPackagePrinters, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(block.c_str()),
                          static_cast<DWORD>(block.size() * sizeof(wchar_t)));
}

bool printerExists(const std::wstring& name) {
    unique_printer printer;
    return OpenPrinterW(const_cast<LPWSTR>(name.c_str()), printer.put(), nullptr) != FALSE;
}

// The notifier's settings key: readable by the users who run the notifier.
LONG makeNotifierKey() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    // Users read the machine's settings; only administrators change them (a
    // user's notifier publishes its own port in the user's own hive).
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)",
                                                              SDDL_REVISION_1, &descriptor, nullptr))
        return static_cast<LONG>(GetLastError());
    unique_hlocal owner(descriptor);
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor, FALSE};
    unique_hkey key;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kNotifierKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE | WRITE_DAC,
                              &security, key.put(), &disposition);
    // A key an older version opened to users' writing is closed to them.
    if (rc == ERROR_SUCCESS && disposition == REG_OPENED_EXISTING_KEY)
        rc = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor);
    return rc;
}

int packageInstall(int argc, wchar_t** argv) {
    std::wstring printer, driver, port;
    std::vector<std::wstring> settings;
    for (int i = 2; i < argc; ++i) {
        std::wstring item = argv[i];
        size_t eq = item.find(L'=');
        if (eq == std::wstring::npos) return usage();
        std::wstring name = item.substr(0, eq), data = item.substr(eq + 1);
        if (data.empty()) continue;  // a public property left unset
        if (name == L"PRINTERNAME") printer = data;
        else if (name == L"DRIVER") driver = data;
        else if (name == L"PORT") port = data;
        else settings.push_back(item);
    }
    wchar_t* installArgs[] = {argv[0], const_cast<wchar_t*>(L"install"), const_cast<wchar_t*>(L"--restart-spooler")};
    if (int rc = install(3, installArgs)) return rc;
    if (LONG rc = makeNotifierKey()) return failWith(L"Creating the notifier's settings key", static_cast<DWORD>(rc));
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProductKey, L"UpgradeInProgress");
    if (printer.empty()) return 0;
    if (!printerExists(printer)) {
        std::vector<std::wstring> args = {argv[0], L"add-printer", printer};
        if (!driver.empty()) args.insert(args.end(), {L"--driver", driver});
        if (!port.empty()) args.insert(args.end(), {L"--port", port});
        std::vector<wchar_t*> raw;
        for (std::wstring& a : args) raw.push_back(&a[0]);
        if (int rc = addPrinter(static_cast<int>(raw.size()), raw.data())) return rc;
        std::vector<std::wstring> added = packagePrinters();
        added.push_back(printer);
        if (LONG rc = storePackagePrinters(added)) return failWith(L"Recording the added printer", static_cast<DWORD>(rc));
    }
    std::vector<std::wstring> args = {argv[0], L"configure", printer};
    args.insert(args.end(), settings.begin(), settings.end());
    std::vector<wchar_t*> raw;
    for (std::wstring& a : args) raw.push_back(&a[0]);
    return configure(static_cast<int>(raw.size()), raw.data());
}

// Set by the newer package while it removes the older one (see rpqmsica).
bool upgradeInProgress() {
    DWORD value = 0, size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, kProductKey, L"UpgradeInProgress", RRF_RT_REG_DWORD, nullptr, &value,
                        &size) == ERROR_SUCCESS &&
           value != 0;
}

// Removes the printers the package added; the print processor stays
// registered while another printer is still bound to it. In an upgrade the
// newer version keeps everything.
int packageUninstall() {
    if (upgradeInProgress()) {
        wprintf(L"another version of RPQ is installed: printers and registration kept\n");
        return 0;
    }
    for (const std::wstring& name : packagePrinters()) {
        std::wstring copy = name;
        wchar_t* args[] = {const_cast<wchar_t*>(L"rpqadmin"), const_cast<wchar_t*>(L"remove-printer"), &copy[0]};
        removePrinter(3, args);
    }
    storePackagePrinters({});
    bool bound = false;
    for (const std::wstring& name : boundPrinters()) {
        fwprintf(stderr, L"printer \"%ls\" is still bound to %ls: the print processor stays registered\n", name.c_str(),
                 kProcessorName);
        bound = true;
    }
    if (bound) return 0;
    if (!unregisterProcessor()) return failWith(L"DeletePrintProcessor", GetLastError());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    int rc = 0;
    std::wstring dir;
    if (processorDir(dir)) {
        std::wstring copy = dir + L"\\" + kProcessorFile;
        bool delayed = false;
        // The running spooler holds it loaded: set aside, deleted at the next restart.
        if (!deleteNowOrAtRestart(copy, &delayed)) {
            fwprintf(stderr, L"the spooler's copy %ls could not be deleted (error %lu): delete it after a restart\n",
                     copy.c_str(), GetLastError());
            rc = 1;
        } else if (delayed) {
            wprintf(L"the spooler holds %ls loaded: it is deleted at the next restart\n", copy.c_str());
        }
    }
    // The documents of abandoned jobs go with RPQ; logs and settings stay.
    wchar_t base[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base))) {
        std::wstring temp = std::wstring(base) + L"\\Halvane\\RPQ\\Temp";
        std::vector<std::wstring> kept;
        if (!removeJobFolder(temp, &kept)) {
            fwprintf(stderr, L"the job folder %ls was not removed whole; kept:\n", temp.c_str());
            for (const std::wstring& item : kept) fwprintf(stderr, L"  %ls\n", item.c_str());
            rc = 1;
        }
    }
    wprintf(L"removed print processor \"%ls\"\n", kProcessorName);
    return rc;
}
}  // namespace

// Checks one printer the way its jobs go (RPQ.dll as the spooler has it
// does the work); exit code 0 only when a job would get through.
int diagnose(int argc, wchar_t** argv) {
    if (argc != 3) return usage();
    std::wstring dir;
    if (!processorDir(dir)) return failWith(L"GetPrintProcessorDirectory", GetLastError());
    std::wstring dll = dir + L"\\" + kProcessorFile;
    unique_hmodule module(LoadLibraryW(dll.c_str()));
    if (!module) return failWith((L"Loading " + dll + L" (is RPQ installed?)").c_str(), GetLastError());
    using Diagnose = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
    auto run = reinterpret_cast<Diagnose>(GetProcAddress(module.get(), "RpqDiagnoseW"));
    if (!run) return failWith((dll + L" is older than this rpqadmin: it cannot diagnose").c_str(), GetLastError());
    std::vector<wchar_t> report(64 * 1024);
    DWORD result = run(argv[2], report.data(), static_cast<DWORD>(report.size()));
    wprintf(L"%ls", report.data());
    return static_cast<int>(result);
}

// Whether this process runs with an administrator's full rights (elevated).
bool runsElevated() {
    unique_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return usage();
    std::wstring command = argv[1];
    if (command == L"help" || command == L"--help" || command == L"-h" || command == L"/?") return usage(true);
    // The manifest asks for the caller's own rights (asInvoker): commands that
    // change the machine say plainly what they need instead of failing deep
    // inside with "access denied".
    for (const wchar_t* privileged : {L"install", L"uninstall", L"add-printer", L"remove-printer", L"configure",
                                      L"diagnose", L"package-install", L"package-uninstall"})
        if (command == privileged && !runsElevated()) {
            fwprintf(stderr, L"rpqadmin %ls changes the spooler and the machine's settings: run it as administrator "
                             L"(from an elevated prompt)\n",
                     privileged);
            return 5;
        }
    if (command == L"install") return install(argc, argv);
    if (command == L"uninstall") return uninstall(argc, argv);
    if (command == L"add-printer") return addPrinter(argc, argv);
    if (command == L"remove-printer") return removePrinter(argc, argv);
    if (command == L"configure") return configure(argc, argv);
    if (command == L"show") return show(argc, argv);
    if (command == L"diagnose") return diagnose(argc, argv);
    if (command == L"package-install") return packageInstall(argc, argv);
    if (command == L"package-uninstall") return packageUninstall();
    return usage();
}
