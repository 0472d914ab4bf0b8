// The job's status text in the printer's queue (what a user or help desk
// sees beside the job in Windows' own queue window).
#pragma once
#include <windows.h>
#include "printproc/jobcontext.h"

// Sets JOB_INFO_1 pStatus of the job through the spooler (SetJob level 1
// with the job's own information, read by GetJob); formatted like printf. Failures are only logged:
// the status is a courtesy, never a reason to fail the job.
void setJobStatus(const JobContext* ctx, const wchar_t* format, ...);
