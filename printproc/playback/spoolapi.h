// The EMF spool-file functions playback draws with: gdi32's where it has
// them (looked up at run time: the import library's stubs abort under
// Wine), else the Wine-only stand-in.
#pragma once
#include <windows.h>

struct SpoolFileApi {
    HANDLE(WINAPI* getSpoolFileHandle)(LPWSTR, LPDEVMODEW, LPWSTR);
    BOOL(WINAPI* deleteSpoolFileHandle)(HANDLE);
    HDC(WINAPI* getDC)(HANDLE);
    DWORD(WINAPI* getPageCount)(HANDLE);
    HANDLE(WINAPI* getPageHandle)(HANDLE, DWORD, LPDWORD);
    BOOL(WINAPI* getDevmodeForPage)(HANDLE, DWORD, PDEVMODEW*, PDEVMODEW*);
    BOOL(WINAPI* startDocEMF)(HANDLE, DOCINFOW*);
    BOOL(WINAPI* startPageEMF)(HANDLE);
    BOOL(WINAPI* playPageEMF)(HANDLE, HANDLE, RECT*, RECT*, RECT*);
    BOOL(WINAPI* endPageEMF)(HANDLE, DWORD);
    BOOL(WINAPI* resetDCEMF)(HANDLE, PDEVMODEW);
    BOOL(WINAPI* endDocEMF)(HANDLE);
};

// The system's functions when gdi32 exports all twelve, else the stand-in.
const SpoolFileApi& spoolFileApi();
// True when the stand-in is in use.
bool usingSpoolStandIn();
