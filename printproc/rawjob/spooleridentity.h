// Work on the spooler's own resources (the printer's key, ProgramData, the
// event log) is done as the spooler: where the calling thread impersonates
// the job's client, the guard reverts to the spooler's identity for its
// scope and impersonates the client again at its end. A thread that does not
// impersonate is left as it is.
#pragma once
#include <windows.h>

struct SpoolerIdentityApi {
    HANDLE(WINAPI* revertToPrinterSelf)();
    BOOL(WINAPI* impersonatePrinterClient)(HANDLE token);
};
// The spooler's own (spoolss.dll), else the same through the token calls.
const SpoolerIdentityApi& systemSpoolerIdentity();

class CAsSpooler {
public:
    explicit CAsSpooler(const SpoolerIdentityApi* api = nullptr);
    ~CAsSpooler();
    CAsSpooler(const CAsSpooler&) = delete;
    CAsSpooler& operator=(const CAsSpooler&) = delete;
    // True when the thread was impersonating and now acts as the spooler.
    bool reverted() const { return m_token != nullptr; }

private:
    const SpoolerIdentityApi& m_api;
    HANDLE m_token = nullptr;
};
