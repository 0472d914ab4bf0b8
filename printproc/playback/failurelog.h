// A played-back job that failed leaves its reason in the printer's log, so
// that an administrator can see why it printed nothing.
#pragma once
#include <windows.h>
#include "printproc/jobcontext.h"

// Logs "<kind> playback of <document> FAILED" and the last error's text to
// the printer's log of the day; the last error is kept.
void logPlaybackFailure(const JobContext* ctx, const char* kind);
