// Who printed the job, and from where: the spooler's job information, not
// the identity of the thread the spooler calls us on.
#pragma once
#include <windows.h>
#include "printproc/jobcontext.h"

// The job's owner, their account and originating machine as the spooler
// keeps them (JOB_INFO_2 pUserName, the owner of pSecurityDescriptor,
// pMachineName). False when the job's information cannot be read or names
// neither a user nor an account.
bool spoolerJobOwner(JobContext* ctx, LPCWSTR spooledName, JobOwnerFacts* facts);

// Whether pMachineName ("\\CLIENT", "CLIENT" or empty) names another machine
// than this one: only an empty name or this machine's own is local. For a
// remote job, host receives what the XFER names it by: an IP address whole,
// else the name cut to a NetBIOS name's 15 characters at its first dot,
// keeping only the letters, digits, "-" and "_" a host name may hold
// ("UNKNOWN" when none are left).
bool remoteHostName(const wchar_t* machine, wchar_t* host, size_t hostChars);
