#pragma once
#include <windows.h>
#include "printproc/jobcontext.h"

// Local playback of EMF and TEXT jobs. jobName is the name the spooler gave
// PrintDocumentOnPrintProcessor ("<printer>, Job N"); on failure the failing
// call's error is the last error.
bool printEmfJob(JobContext* ctx, LPWSTR jobName);
bool printTextJob(JobContext* ctx, LPWSTR jobName);
// A RAW job that our own playback started (Wine draws through a nested job):
// its bytes go to the port unchanged.
bool passJobThrough(JobContext* ctx, LPWSTR jobName);

// The printer a playback draws on: the open data's printer name (Wine hands
// OpenPrintProcessor the port), else the one the spooler named.
inline LPWSTR playbackPrinterName(const JobContext* ctx) {
    return ctx->openDataPrinterName && *ctx->openDataPrinterName ? ctx->openDataPrinterName : ctx->printerName;
}

// Marks the calling thread as playing a job back for the marker's lifetime.
class CPlaybackMark {
public:
    CPlaybackMark();
    ~CPlaybackMark();
    CPlaybackMark(const CPlaybackMark&) = delete;
    CPlaybackMark& operator=(const CPlaybackMark&) = delete;
};
// True while the calling thread plays a job back.
bool insidePlayback();
