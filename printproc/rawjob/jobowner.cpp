#include "printproc/rawjob/jobowner.h"
#include "protocol/hostfield.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#include <winspool.h>
#include <cwctype>
#include <strsafe.h>
#include "printproc/rawjob/jobinfo.h"

namespace {
bool sameName(const wchar_t* name, COMPUTER_NAME_FORMAT format) {
    wchar_t own[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    return GetComputerNameExW(format, own, &size) && own[0] && _wcsicmp(own, name) == 0;
}

bool isIpAddress(const wchar_t* text) {
    BYTE address[16];
    return InetPtonW(AF_INET, text, address) == 1 || InetPtonW(AF_INET6, text, address) == 1;
}
}  // namespace

bool spoolerJobOwner(JobContext* ctx, LPCWSTR, JobOwnerFacts* facts) {
    std::unique_ptr<BYTE[]> block = readJobInfo(ctx, 2);
    if (!block) return false;
    auto info = reinterpret_cast<JOB_INFO_2W*>(block.get());
    *facts = {};
    StringCchCopyW(facts->user, MAX_PATH, info->pUserName ? info->pUserName : L"");
    StringCchCopyW(facts->machine, MAX_PATH, info->pMachineName ? info->pMachineName : L"");
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (info->pSecurityDescriptor && GetSecurityDescriptorOwner(info->pSecurityDescriptor, &owner, &defaulted) &&
        owner && IsValidSid(owner))
        facts->hasSid = CopySid(sizeof(facts->sid), facts->sid, owner) != FALSE;
    return facts->user[0] || facts->hasSid;
}

bool remoteHostName(const wchar_t* machine, wchar_t* host, size_t hostChars) {
    host[0] = L'\0';
    if (!machine || !*machine) return false;  // printed here
    while (*machine == L'\\') ++machine;
    if (*machine && (sameName(machine, ComputerNameNetBIOS) || sameName(machine, ComputerNameDnsHostname) ||
                     sameName(machine, ComputerNameDnsFullyQualified)))
        return false;
    if (isIpAddress(machine)) {
        StringCchCopyW(host, hostChars, machine);
        return true;
    }
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 code units");
    std::u16string field = rpqproto::hostFieldOf(reinterpret_cast<const char16_t*>(machine));
    StringCchCopyW(host, hostChars, reinterpret_cast<const wchar_t*>(field.c_str()));
    return true;
}
