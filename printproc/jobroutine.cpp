#include "printproc/jobroutine.h"

BOOL printRawJob(JobContext*, LPWSTR) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
