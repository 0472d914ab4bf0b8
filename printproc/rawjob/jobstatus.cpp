#include "printproc/rawjob/jobstatus.h"
#include <winspool.h>
#include <cstdarg>
#include <string>
#include <strsafe.h>
#include "base/unique.h"
#include "diag/log.h"
#include "printproc/printerinfo.h"
#include "printproc/rawjob/jobinfo.h"

namespace {
bool setOn(const JobContext* ctx, HANDLE printer, wchar_t* status) {
    std::unique_ptr<BYTE[]> block = fetchJobInfo(printer, ctx->jobId, 1);
    if (!block) return false;
    auto* info = reinterpret_cast<JOB_INFO_1W*>(block.get());
    info->pStatus = status;
    info->Position = JOB_POSITION_UNSPECIFIED;
    SetJobCall setJob = ctx->setJob ? ctx->setJob : SetJobW;
    return setJob(printer, ctx->jobId, 1, block.get(), 0) != FALSE;
}
}  // namespace

void setJobStatus(const JobContext* ctx, const wchar_t* format, ...) {
    if (!ctx) return;
    wchar_t status[256];
    va_list args;
    va_start(args, format);
    StringCchVPrintfW(status, 256, format, args);
    va_end(args);
    // The printer by its own name first: the spooler opened us on its port.
    unique_printer printer = openJobPrinter(ctx);
    if (printer && setOn(ctx, printer.get(), status)) return;
    if (ctx->printerHandle && setOn(ctx, ctx->printerHandle, status)) return;
    logMessageW(L_DEBUG, L"Job status <%s> not set (error %lu)", status, GetLastError());
}
