// The per-job handle record that OpenPrintProcessor gives the spooler.
#pragma once
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

class IClock;
struct JobContext;
struct SessionPlatform;
struct SpoolerIdentityApi;

// Asks the printer's driver for the job's layout attributes.
using JobAttributeQuery = bool (*)(LPWSTR printerName, const DEVMODEW* devMode, ATTRIBUTE_INFO_4* info);

// What the spooler's job information says of the job's owner: the name it
// is shown under, the machine it came from, and the owner's account (the
// owner of the job's security descriptor; hasSid false when there is none).
struct JobOwnerFacts {
    wchar_t user[MAX_PATH];
    wchar_t machine[MAX_PATH];
    BYTE sid[SECURITY_MAX_SID_SIZE];
    bool hasSid;
};
using JobOwnerQuery = bool (*)(JobContext* ctx, LPCWSTR spooledName, JobOwnerFacts* facts);

// winspool's SetJobW, or a stand-in that records the calls (tests).
using SetJobCall = BOOL(WINAPI*)(HANDLE printer, DWORD jobId, DWORD level, LPBYTE info, DWORD command);

constexpr DWORD kJobSignature = 0x5051;
constexpr LONG kStatusAborted = 0x1;
constexpr LONG kStatusPaused = 0x8;
constexpr LONG kStatusHeld = 0x100;  // the job is waiting for its pause to end
// The open data's printer name is escaped in place, which can triple it.
constexpr SIZE_T kPrinterNameRoom = MAX_PATH;

struct JobContext {
    DWORD signature;
    DWORD size;
    volatile LONG status;
    HANDLE pauseEvent;
    DWORD datatype;
    HANDLE printerHandle;
    LPWSTR printerName;
    LPWSTR documentName;
    LPWSTR outputFile;
    LPWSTR datatypeName;
    LPWSTR parameters;
    DWORD jobId;
    DWORD copies;
    DWORD tabSize;
    HDC dc;
    DEVMODEW* devMode;
    LPWSTR openDataPrinterName;
    IClock* clock;  // the clock the job reads; null for the system clock
    JobAttributeQuery queryAttributes;  // null for the driver's own answer
    JobOwnerQuery queryOwner;  // null for the spooler's job information
    const SessionPlatform* sessions;  // null for the system's terminal services
    const SpoolerIdentityApi* spoolerIdentity;  // null for the spooler's own calls
    SetJobCall setJob;  // null for winspool's SetJobW
    bool passThrough;  // a RAW job our own playback started: its bytes go out unchanged
};

// Null, INVALID_HANDLE_VALUE or a wrong signature give null.
JobContext* validateHandle(HANDLE handle);
inline bool isAborted(const JobContext* ctx) { return (ctx->status & kStatusAborted) != 0; }
inline bool isPaused(const JobContext* ctx) { return (ctx->status & kStatusPaused) != 0; }
// Waits while the job is paused; the held bit shows that it does.
inline void waitWhilePaused(JobContext* ctx) {
    if (!isPaused(ctx)) return;
    InterlockedOr(&ctx->status, kStatusHeld);
    WaitForSingleObject(ctx->pauseEvent, INFINITE);
    InterlockedAnd(&ctx->status, ~kStatusHeld);
}
// Releases everything the record owns, then the record.
void releaseJobContext(JobContext* ctx);
