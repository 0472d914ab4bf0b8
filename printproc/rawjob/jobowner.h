// Who printed the job, and from where: the spooler's job information, not
// the identity of the thread the spooler calls us on.
#pragma once
#include <windows.h>
#include "printproc/jobcontext.h"

constexpr size_t kMachineNameChars = MAX_PATH;

// The job's owner and originating machine as the spooler keeps them
// (JOB_INFO_1 pUserName and pMachineName); spooledName is the name that
// PrintDocumentOnPrintProcessor received. False when neither handle gives
// the job's information.
bool spoolerJobOwner(JobContext* ctx, LPCWSTR spooledName, wchar_t* user, size_t userChars, wchar_t* machine,
                     size_t machineChars);

// The machine part of pMachineName ("\\CLIENT" or "CLIENT") when that is not
// this machine, cut to a NetBIOS name's 15 characters at its first dot; an
// empty text when the job was printed here.
void remoteHostName(const wchar_t* machine, wchar_t* host, size_t hostChars);
