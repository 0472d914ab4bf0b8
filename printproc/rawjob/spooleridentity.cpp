#include "printproc/rawjob/spooleridentity.h"
#include "base/unique.h"
#include "diag/log.h"

namespace {
// Without spoolss (a spooler that is not Windows'): the same with the thread's token.
HANDLE WINAPI revertWithTokens() {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE | TOKEN_QUERY | TOKEN_DUPLICATE, TRUE, &token))
        return nullptr;
    if (!RevertToSelf()) {
        CloseHandle(token);
        return nullptr;
    }
    return token;
}

BOOL WINAPI impersonateWithTokens(HANDLE token) {
    BOOL ok = SetThreadToken(nullptr, token);
    CloseHandle(token);
    return ok;
}

SpoolerIdentityApi loadSpoolerIdentity() {
    SpoolerIdentityApi api = {revertWithTokens, impersonateWithTokens};
    if (HMODULE spoolss = GetModuleHandleW(L"spoolss.dll")) {
        auto revert = reinterpret_cast<HANDLE(WINAPI*)()>(GetProcAddress(spoolss, "RevertToPrinterSelf"));
        auto impersonate = reinterpret_cast<BOOL(WINAPI*)(HANDLE)>(GetProcAddress(spoolss, "ImpersonatePrinterClient"));
        if (revert && impersonate) api = {revert, impersonate};
    }
    return api;
}
const SpoolerIdentityApi kSystemSpoolerIdentity = loadSpoolerIdentity();
}  // namespace

const SpoolerIdentityApi& systemSpoolerIdentity() { return kSystemSpoolerIdentity; }

CAsSpooler::CAsSpooler(const SpoolerIdentityApi* api) : m_api(api ? *api : systemSpoolerIdentity()) {
    unique_handle current;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, current.put())) return;  // not impersonating
    m_token = m_api.revertToPrinterSelf();
    if (!m_token) logSystemError("RevertToPrinterSelf FAILED! <%lu>", GetLastError());
}

CAsSpooler::~CAsSpooler() {
    if (m_token && !m_api.impersonatePrinterClient(m_token))
        logSystemError("ImpersonatePrinterClient FAILED! <%lu>", GetLastError());
}
