#include "printproc/playback/failurelog.h"
#include <strsafe.h>
#include "config/settings.h"
#include "diag/log.h"

void logPlaybackFailure(const JobContext* ctx, const char* kind) {
    DWORD error = GetLastError();
    const wchar_t* name = ctx->openDataPrinterName && *ctx->openDataPrinterName ? ctx->openDataPrinterName
                                                                                 : ctx->printerName;
    wchar_t printer[MAX_PATH] = {};
    CLog log;
    if (name && SUCCEEDED(StringCchCopyW(printer, MAX_PATH, name)) && log.openLogFile(printer)) {
        CLogScope scope(&log);
        wchar_t level[MAX_PATH] = {};
        log.setLogLevel(readLogLevelSetting(printer, level), level);
        logMessageW(L_ERROR, L"%hs playback of <%s> FAILED", kind, ctx->documentName ? ctx->documentName : L"");
        logSystemError("Reason <%lu>", error);
    }
    SetLastError(error);
}
