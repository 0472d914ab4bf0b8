#include "printproc/rawjob/jobowner.h"
#include <winspool.h>
#include <string>
#include <strsafe.h>
#include "base/unique.h"
#include "printproc/printerinfo.h"

namespace {
bool ownerFrom(HANDLE printer, DWORD jobId, wchar_t* user, size_t userChars, wchar_t* machine, size_t machineChars) {
    std::unique_ptr<BYTE[]> block = fetchJobInfo(printer, jobId, 1);
    if (!block) return false;
    auto info = reinterpret_cast<JOB_INFO_1W*>(block.get());
    if (!info->pUserName || !*info->pUserName) return false;
    return SUCCEEDED(StringCchCopyW(user, userChars, info->pUserName)) &&
           SUCCEEDED(StringCchCopyW(machine, machineChars, info->pMachineName ? info->pMachineName : L""));
}

bool sameName(const wchar_t* name, COMPUTER_NAME_FORMAT format) {
    wchar_t own[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    return GetComputerNameExW(format, own, &size) && own[0] && _wcsicmp(own, name) == 0;
}
}  // namespace

bool spoolerJobOwner(JobContext* ctx, LPCWSTR spooledName, wchar_t* user, size_t userChars, wchar_t* machine,
                     size_t machineChars) {
    if (ctx->printerHandle && ownerFrom(ctx->printerHandle, ctx->jobId, user, userChars, machine, machineChars))
        return true;
    // A spooler that opened us on the port (Wine's) answers on the printer:
    // the spooled name is "<printer>, Job <n>".
    if (!spooledName) return false;
    std::wstring printerName(spooledName);
    size_t job = printerName.rfind(L", Job ");
    if (job == std::wstring::npos) return false;
    printerName.resize(job);
    unique_printer printer;
    return OpenPrinterW(&printerName[0], printer.put(), nullptr) &&
           ownerFrom(printer.get(), ctx->jobId, user, userChars, machine, machineChars);
}

void remoteHostName(const wchar_t* machine, wchar_t* host, size_t hostChars) {
    host[0] = L'\0';
    if (!machine) return;
    while (*machine == L'\\') ++machine;
    if (!*machine || sameName(machine, ComputerNameNetBIOS) || sameName(machine, ComputerNameDnsHostname) ||
        sameName(machine, ComputerNameDnsFullyQualified))
        return;
    size_t n = 0;
    while (machine[n] && machine[n] != L'.' && n < MAX_COMPUTERNAME_LENGTH && n + 1 < hostChars) ++n;
    StringCchCopyNW(host, hostChars, machine, n);
}
