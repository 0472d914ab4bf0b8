#pragma once
#include <windows.h>
#include "printproc/jobcontext.h"

// Captures a RAW job and transfers it to the workflow server.
BOOL printRawJob(JobContext* ctx, LPWSTR documentName);
