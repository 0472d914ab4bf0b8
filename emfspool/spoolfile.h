// Wine-only stand-in for the system's EMF spool-file functions (Wine's gdi32
// has none): the same operations over the job's EMF spool stream, read
// through the spooler and drawn with PlayEnhMetaFile on a printer DC.
// Used only where gdi32 lacks the real functions.
#pragma once
#include <windows.h>

namespace emfspool {
HANDLE WINAPI getSpoolFileHandle(LPWSTR printerName, LPDEVMODEW devMode, LPWSTR jobName);
BOOL WINAPI deleteSpoolFileHandle(HANDLE spool);
HDC WINAPI getDC(HANDLE spool);
DWORD WINAPI getPageCount(HANDLE spool);
HANDLE WINAPI getPageHandle(HANDLE spool, DWORD page, LPDWORD pageType);
BOOL WINAPI getDevmodeForPage(HANDLE spool, DWORD page, PDEVMODEW* current, PDEVMODEW* previous);
BOOL WINAPI startDocEMF(HANDLE spool, DOCINFOW* docInfo);
BOOL WINAPI startPageEMF(HANDLE spool);
BOOL WINAPI playPageEMF(HANDLE spool, HANDLE page, RECT* document, RECT* border, RECT* clip);
BOOL WINAPI endPageEMF(HANDLE spool, DWORD optimization);
BOOL WINAPI resetDCEMF(HANDLE spool, PDEVMODEW devMode);
BOOL WINAPI endDocEMF(HANDLE spool);
}  // namespace emfspool
