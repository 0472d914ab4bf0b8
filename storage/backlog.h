// Backlog records: UID.psf beside a job's files while it is in flight.
#pragma once
#include <windows.h>
#include "base/jobfiles.h"
#include <cstddef>
#include "base/clock.h"

#pragma pack(push, 1)
struct backlog_record {
    BYTE reserved1[10];
    wchar_t userName[MAX_PATH];
    wchar_t hostName[MAX_COMPUTERNAME_LENGTH + 1];
    wchar_t printerName[MAX_PATH];
    wchar_t documentName[MAX_PATH];
    wchar_t documentPath[MAX_PATH];
    BYTE reserved2[2];
    DWORD jobId;
    WORD noOfPages;
    WORD noOfCopies;
    BYTE reserved3[4];
    ULONGLONG archiveSize;
    BYTE documentDigest[16];
};
#pragma pack(pop)
static_assert(sizeof(backlog_record) == 2160, "record layout");
static_assert(offsetof(backlog_record, userName) == 10, "record layout");
static_assert(offsetof(backlog_record, hostName) == 530, "record layout");
static_assert(offsetof(backlog_record, printerName) == 562, "record layout");
static_assert(offsetof(backlog_record, documentName) == 1082, "record layout");
static_assert(offsetof(backlog_record, documentPath) == 1602, "record layout");
static_assert(offsetof(backlog_record, jobId) == 2124, "record layout");
static_assert(offsetof(backlog_record, noOfPages) == 2128, "record layout");
static_assert(offsetof(backlog_record, archiveSize) == 2136, "record layout");
static_assert(offsetof(backlog_record, documentDigest) == 2144, "record layout");

constexpr ULONGLONG kOrphanAgeMinutes = 60;

// What a record keeps of its job; null texts stay empty.
struct BacklogEntry {
    const wchar_t* userName;
    const wchar_t* hostName;
    const wchar_t* printerName;
    const wchar_t* documentName;
    const wchar_t* documentPath;
    DWORD jobId;
    WORD noOfPages;
    WORD noOfCopies;
    ULONGLONG archiveSize;
    const BYTE* documentDigest;
};

// UID.psf in the storage folder.
bool saveRecord(const wchar_t* storagePath, const char* uid, const BacklogEntry& entry);
bool deleteRecord(const wchar_t* storagePath, const char* uid);
// Deletes every file of the job (UID.*), with or without its record.
bool discardJobFiles(const wchar_t* storagePath, const char* uid);
void deleteJobFiles(const wchar_t* baseName, const wchar_t* storagePath);
// Deletes the files of jobs whose records are older than 60 minutes, and
// files older than 60 minutes that have no record; a running job's files
// stay whatever their age.
bool lookForOlderJobs(const wchar_t* storagePath, const IClock& clock);


// A running job holds a lock of this prefix and its UID (see CNamedLock).
constexpr wchar_t kRunningJobLock[] = L"RPQJob";
bool isJobRunning(const wchar_t* uid);
