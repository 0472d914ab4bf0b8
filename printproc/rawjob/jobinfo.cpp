#include "printproc/rawjob/jobinfo.h"
#include <winspool.h>
#include "printproc/printerinfo.h"

unique_printer openJobPrinter(const JobContext* ctx) {
    unique_printer printer;
    if (ctx && ctx->openDataPrinterName) OpenPrinterW(ctx->openDataPrinterName, printer.put(), nullptr);
    return printer;
}

std::unique_ptr<BYTE[]> readJobInfo(const JobContext* ctx, DWORD level) {
    if (!ctx) return nullptr;
    unique_printer printer = openJobPrinter(ctx);
    std::unique_ptr<BYTE[]> info;
    if (printer) info = fetchJobInfo(printer.get(), ctx->jobId, level);
    if (!info && ctx->printerHandle) info = fetchJobInfo(ctx->printerHandle, ctx->jobId, level);
    return info;
}
