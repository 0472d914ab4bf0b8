#pragma once
#include <windows.h>
#include "printproc/jobcontext.h"

// Local playback of EMF and TEXT jobs.
BOOL playEmfJob(JobContext* ctx, LPWSTR documentName);
BOOL playTextJob(JobContext* ctx, LPWSTR documentName);
