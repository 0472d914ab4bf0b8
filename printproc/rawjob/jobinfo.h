// The job's information as the spooler keeps it, through a handle that
// answers GetJob. The spooler opens the print processor on the printer's
// port ("NAME, Port"), and GetJob answers only printer, job and server
// handles: the printer is opened by its own name for pages, copies, owner
// and status alike.
#pragma once
#include <windows.h>
#include <memory>
#include "base/unique.h"
#include "printproc/jobcontext.h"

// The printer of the job opened by its own name; empty when it cannot be.
unique_printer openJobPrinter(const JobContext* ctx);
// GetJob at the level through the printer opened by its own name, else the
// handle the job was opened with; null when neither answers.
std::unique_ptr<BYTE[]> readJobInfo(const JobContext* ctx, DWORD level);
