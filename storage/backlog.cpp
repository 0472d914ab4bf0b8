#include "storage/backlog.h"
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <map>
#include <string>
#include <vector>
#include <strsafe.h>
#include "base/unique.h"
#include "base/namedlock.h"
#include "diag/log.h"
#include "diag/security.h"
#include "storage/chunks.h"
#include "transfer/uid.h"

namespace {
struct FoundRecord {
    std::wstring path;
    FILETIME created;
};

// The record's path; logs convertMessage or pathMessage on failure.
bool recordPath(const wchar_t* storagePath, const char* jobUid, wchar_t* path, const char* pathMessage) {
    wchar_t uid[11];
    if (!convertUid(uid, 11, jobUid)) {
        logMessage(L_ERROR, "Could not convert UID to WCHAR!");
        return false;
    }
    if (!storagePath || FAILED(StringCchPrintfW(path, MAX_PATH, L"%s\\%s%s", storagePath, uid, L".psf"))) {
        logMessage(L_ERROR, "%s", pathMessage);
        return false;
    }
    return true;
}

// Every non-directory match of a pattern, with its creation time.
std::vector<FoundRecord> findRecords(const wchar_t* pattern, const wchar_t* storagePath) {
    std::vector<FoundRecord> found;
    WIN32_FIND_DATAW data;
    unique_hfind find(FindFirstFileW(pattern, &data));
    if (!find) return found;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        wchar_t full[MAX_PATH];
        if (FAILED(StringCchPrintfW(full, MAX_PATH, L"%s\\%s", storagePath, data.cFileName))) continue;
        logMessageW(L_DEBUG, L"Found a file <%s>", full);
        found.push_back({full, data.ftCreationTime});
    } while (FindNextFileW(find.get(), &data));
    return found;
}

// Reads up to a record's size; false when the file cannot be read.
bool readRecord(const std::wstring& path, bool* opened, DWORD* bytesRead) {
    logMessageW(L_DEBUG, L"Read from file <%s>", path.c_str());
    unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    *opened = static_cast<bool>(file);
    if (!file) return false;
    backlog_record record;
    return ReadFile(file.get(), &record, sizeof(record), bytesRead, nullptr) != FALSE;
}

std::wstring baseNameOf(const std::wstring& path) {
    wchar_t drive[3], dir[MAX_PATH], name[256], ext[256];
    if (_wsplitpath_s(path.c_str(), drive, 3, dir, MAX_PATH, name, 256, ext, 256) != 0) return {};
    return name;
}
}  // namespace

bool saveRecord(const wchar_t* storagePath, const char* uid, const BacklogEntry& entry) {
    backlog_record record = {};
    record.jobId = entry.jobId;
    record.noOfPages = entry.noOfPages;
    record.noOfCopies = entry.noOfCopies;
    record.archiveSize = entry.archiveSize;
    if (entry.documentDigest) memcpy(record.documentDigest, entry.documentDigest, sizeof(record.documentDigest));
    struct Text {
        const wchar_t* source;
        wchar_t* target;
        size_t capacity;
        const char* message;
    } texts[] = {
        {entry.documentName, record.documentName, MAX_PATH, "Could not copy documentName!"},
        {entry.documentPath, record.documentPath, MAX_PATH, "Could not copy documentPath!"},
        {entry.hostName, record.hostName, ARRAYSIZE(record.hostName), "Could not copy hostName!"},
        {entry.printerName, record.printerName, MAX_PATH, "Could not copy printerName!"},
        {entry.userName, record.userName, MAX_PATH, "Could not copy userName!"},
    };
    for (const Text& t : texts) {
        if (t.source && FAILED(StringCchCopyW(t.target, t.capacity, t.source))) {
            logMessage(L_ERROR, "%s", t.message);
            return false;
        }
    }
    wchar_t path[MAX_PATH];
    if (!recordPath(storagePath, uid, path, "Could not add the storagePath to saveFile!")) return false;
    deleteSecureFile(path);  // replaced, never written through
    unique_hfile file(createPrivateFile(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE));
    if (!file) {
        logSystemError("Could not create the record file. Reason <%lu>", GetLastError());
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), &record, sizeof(record), &written, nullptr) || written != sizeof(record)) {
        logMessage(L_ERROR, "Could not write record file!");
        return false;
    }
    return true;
}

bool deleteRecord(const wchar_t* storagePath, const char* uid) {
    logMessage(L_INFO, "Delete RPQ record from disk");
    wchar_t path[MAX_PATH];
    if (!recordPath(storagePath, uid, path, "Could not add the storagePath to record file!")) return false;
    return deleteFileLogged(path);
}

void deleteJobFiles(const wchar_t* baseName, const wchar_t* storagePath) {
    wchar_t pattern[MAX_PATH];
    if (FAILED(StringCchPrintfW(pattern, MAX_PATH, L"%s\\%s.*", storagePath, baseName))) return;
    WIN32_FIND_DATAW data;
    unique_hfind find(FindFirstFileW(pattern, &data));
    if (!find) return;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !isJobFileName(data.cFileName)) continue;
        wchar_t path[MAX_PATH];
        if (SUCCEEDED(StringCchPrintfW(path, MAX_PATH, L"%s\\%s", storagePath, data.cFileName))) deleteFileLogged(path);
    } while (FindNextFileW(find.get(), &data));
}

bool discardJobFiles(const wchar_t* storagePath, const char* uid) {
    // Every file of the job, whether or not its record was written yet.
    wchar_t wideUid[11];
    if (!storagePath || !convertUid(wideUid, 11, uid)) {
        logMessage(L_ERROR, "Could not convert UID to WCHAR!");
        return false;
    }
    deleteJobFiles(wideUid, storagePath);
    return true;
}

namespace {
ULONGLONG ageMinutes(const IClock& clock, const FILETIME& created) {
    // Unsigned: a creation time in the future gives a huge age.
    return (fileTimeToUInt64(clock.wallNow()) - fileTimeToUInt64(created)) / 600000000ULL;
}
}  // namespace

bool lookForOlderJobs(const wchar_t* storagePath, const IClock& clock) {
    wchar_t pattern[MAX_PATH];
    if (FAILED(StringCchPrintfW(pattern, MAX_PATH, L"%s\\*%s", storagePath, L".psf"))) return false;
    logMessageW(L_DEBUG, L"Look for older jobs, set filter to <%s>", pattern);
    for (const FoundRecord& record : findRecords(pattern, storagePath)) {
        std::wstring base = baseNameOf(record.path);
        if (isJobRunning(base.c_str())) continue;
        bool opened = false;
        DWORD got = 0;
        if (!readRecord(record.path, &opened, &got)) {
            if (opened) logMessage(L_ERROR, "Could not read backlog file!");
            continue;
        }
        logMessage(L_DEBUG, "Read <%d> bytes into backlog_record", static_cast<int>(got));
        ULONGLONG age = ageMinutes(clock, record.created);
        logMessage(L_DEBUG, "Timediff %ld minutes", static_cast<long>(age));
        if (age > kOrphanAgeMinutes) deleteJobFiles(base.c_str(), storagePath);
    }
    // Files of jobs that failed before their record was written.
    if (FAILED(StringCchPrintfW(pattern, MAX_PATH, L"%s\\*", storagePath))) return false;
    std::map<std::wstring, bool> sweepable;  // per job: no record and not running, asked once
    for (const FoundRecord& file : findRecords(pattern, storagePath)) {
        if (!isJobFileName(file.path.c_str() + file.path.rfind(L'\\') + 1)) continue;  // never anything but RPQ's own
        std::wstring base = baseNameOf(file.path);
        auto known = sweepable.find(base);
        if (known == sweepable.end()) {
            wchar_t record[MAX_PATH];
            bool orphan = SUCCEEDED(StringCchPrintfW(record, MAX_PATH, L"%s\\%s.psf", storagePath, base.c_str())) &&
                          GetFileAttributesW(record) == INVALID_FILE_ATTRIBUTES && !isJobRunning(base.c_str());
            known = sweepable.emplace(base, orphan).first;
        }
        if (known->second && ageMinutes(clock, file.created) > kOrphanAgeMinutes) deleteFileLogged(file.path.c_str());
    }
    return true;
}

bool isJobRunning(const wchar_t* uid) { return namedLockExists(kRunningJobLock, uid); }
