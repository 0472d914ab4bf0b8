// Backlog records: UID.psf beside a job's files while it is in flight.
#pragma once
#include <windows.h>
#include <cstddef>
#include "printproc/jobrecord.h"

#pragma pack(push, 1)
struct backlog_record {
    BYTE reserved1[10];
    wchar_t userName[MAX_PATH];
    wchar_t hostName[kHostNameChars];
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

bool saveRecord(TransferContext& ctx);
bool deleteRecord(TransferContext& ctx);
bool discardJobFiles(TransferContext& ctx);
void deleteJobFiles(const wchar_t* baseName, const wchar_t* storagePath);
bool lookForOlderJobs(JobRecord& job);
