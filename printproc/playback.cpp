#include "printproc/playback.h"

// Playback is not built yet: such jobs end unprinted.
BOOL playEmfJob(JobContext*, LPWSTR) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL playTextJob(JobContext*, LPWSTR) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
