// The RAW job routine: capture the spooled job and hand it to the transfer.
#include "printproc/rawjob/jobroutine.h"
#include <lm.h>
#include <shlobj.h>
#include <winspool.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <strsafe.h>
#include "base/namedlock.h"
#include "base/printerkey.h"
#include "base/unique.h"
#include "config/settings.h"
#include "diag/log.h"
#include "diag/security.h"
#include "interact/browser.h"
#include "interact/notify.h"
#include "printproc/printerinfo.h"
#include "printproc/rawjob/jobinfo.h"
#include "printproc/rawjob/jobowner.h"
#include "printproc/rawjob/jobrecord.h"
#include "printproc/rawjob/jobstate.h"
#include "printproc/rawjob/spooleridentity.h"
#include "printproc/rawjob/statemachine.h"
#include "storage/backlog.h"
#include "storage/chunks.h"
#include "transfer/http.h"
#include "transfer/uid.h"

namespace {
constexpr DWORD kCaptureBufferSize = 256 * 1024;

void freeNetBuffer(LPWSTR p) { NetApiBufferFree(p); }
using unique_netbuffer = CUniqueAny<LPWSTR, freeNetBuffer>;

// "<common app data>\Halvane\RPQ\Temp\<printer>": the users' documents,
// for the system and administrators only; both folders stay held open for
// the job, so that neither can be swapped for another while it runs.
bool storageDirectory(JobRecord& job, unique_hfile held[2]) {
    wchar_t temp[MAX_PATH];
    if (!productDataPath(temp) || FAILED(StringCchCatW(temp, MAX_PATH, L"\\Temp"))) return false;
    if (FAILED(StringCchPrintfW(job.storagePath, MAX_PATH, L"%s\\%s", temp, job.printerName))) return false;
    return makeSecureFolder(temp, FileAccess::Private, &held[0]) &&
           makeSecureFolder(job.storagePath, FileAccess::Private, &held[1]);
}

bool programFilesDirectory(JobRecord& job) {
    wchar_t base[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, base))) return false;
    if (FAILED(StringCchPrintfW(job.programFilesPath, MAX_PATH, L"%s\\Halvane\\RPQ", base))) return false;
    int rc = SHCreateDirectoryExW(nullptr, job.programFilesPath, nullptr);
    return rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS;
}

bool jobFilePath(const JobRecord& job, wchar_t* target, const wchar_t* extension) {
    wchar_t uid[11];
    return convertUid(uid, 11, job.uid) &&
           SUCCEEDED(StringCchPrintfW(target, MAX_PATH, L"%s\\%s%s", job.storagePath, uid, extension));
}

// The longest file part a job carries, and the longest extension kept
// when a longer one is shortened.
constexpr size_t kDocumentNameChars = 255;
constexpr size_t kKeptExtensionChars = 32;

// Splits the document name into its folder (into the job record) and its
// file part (in place). A name too long for the job's buffers is shortened,
// keeping its extension, rather than dropping the user's job.
bool splitDocumentName(JobContext* ctx, JobRecord& job) {
    if (!ctx->documentName) {
        logMessage(L_ERROR, "Could not split the file path");
        return false;
    }
    wchar_t* name = ctx->documentName;
    size_t length = wcslen(name);
    size_t fileStart = 0;
    for (size_t i = 0; i < length; ++i)
        if (name[i] == L'\\' || name[i] == L'/' || (i == 1 && name[i] == L':')) fileStart = i + 1;
    // The folder keeps what fits; it is information, not a path RPQ opens.
    StringCchCopyNW(job.documentPath, MAX_PATH, name, fileStart);
    wchar_t* file = name + fileStart;
    size_t fileLength = length - fileStart;
    if (fileLength > kDocumentNameChars) {
        const wchar_t* dot = wcsrchr(file, L'.');
        size_t extension = dot && static_cast<size_t>(file + fileLength - dot) <= kKeptExtensionChars
                               ? static_cast<size_t>(file + fileLength - dot)
                               : 0;
        wmemmove(file + kDocumentNameChars - extension, file + fileLength - extension, extension);
        fileLength = kDocumentNameChars;
        file[fileLength] = L'\0';
        logMessageW(L_WARN, L"Document name shortened to <%s>", file);
    }
    // The file part is never longer than the whole name: it fits in place.
    wmemmove(name, file, fileLength + 1);
    return true;
}

bool domainOrWorkgroup(JobRecord& job) {
    unique_netbuffer name;
    NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
    if (NetGetJoinInformation(nullptr, name.put(), &status) != NERR_Success) {
        logMessage(L_ERROR, "NetGetJoinInformation FAILED!");
        return false;
    }
    switch (status) {
    case NetSetupWorkgroupName:
        job.domainKind = 2;
        return SUCCEEDED(StringCchCopyW(job.domainName, MAX_PATH, name.get()));
    case NetSetupDomainName: {
        DWORD size = MAX_PATH;
        job.domainKind = 1;
        return GetComputerNameExW(ComputerNameDnsDomain, job.domainName, &size) != FALSE;
    }
    case NetSetupUnjoined:
        logMessage(L_ERROR, "Not joined to any workgroup or domain.");
        return false;
    default:
        logMessage(L_ERROR, "Unknown network status!");
        return false;
    }
}

// The machine's GUID from the registry, else its NetBIOS name.
void fillMachineId(JobRecord& job) {
    char guid[kMachineIdSize + 1] = {};
    DWORD size = sizeof(guid) - 1;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid",
                     RRF_RT_REG_SZ, nullptr, guid, &size) == ERROR_SUCCESS && guid[0]) {
        job.machineIdLength = static_cast<BYTE>(strnlen(guid, kMachineIdSize));
        memcpy(job.machineId, guid, job.machineIdLength);
        return;
    }
    int n = WideCharToMultiByte(CP_ACP, 0, job.hostName, -1, guid, sizeof(guid), nullptr, nullptr);
    job.machineIdLength = static_cast<BYTE>(n > 0 ? n - 1 : 0);
    memcpy(job.machineId, guid, job.machineIdLength);
}

void readJobInformation(JobContext* ctx, JobRecord& job) {
    std::unique_ptr<BYTE[]> block = readJobInfo(ctx, 2);
    if (!block) return;
    auto info = reinterpret_cast<JOB_INFO_2W*>(block.get());
    job.noOfPages = static_cast<WORD>(info->TotalPages & 0xFFFF);
    if (info->pDevMode) job.noOfCopies = static_cast<WORD>(info->pDevMode->dmCopies);
    logMessage(L_INFO, "Send document with <%d> page(s) and <%d> copies", static_cast<int>(job.noOfPages),
               static_cast<int>(job.noOfCopies));
}

// The owner and origin of the job from the spooler's job information; where
// that cannot be read, the calling thread's account when it is a person's
// (the printing program's own when the print processor runs inside it),
// never a service's (the spooler's own).
void identifyOwner(JobContext* ctx, LPWSTR spooledName, JobRecord& job) {
    JobOwnerFacts facts = {};
    JobOwnerQuery query = ctx->queryOwner ? ctx->queryOwner : spoolerJobOwner;
    bool remote = false;
    const BYTE* account = nullptr;
    if (query(ctx, spooledName, &facts)) {
        remote = remoteHostName(facts.machine, job.remoteHost, kHostNameChars);
        StringCchCopyW(job.userName, MAX_PATH, facts.user);
        if (facts.hasSid) account = facts.sid;
    } else {
        logMessage(L_WARN, "The job's information names no owner: the calling thread's account is taken");
        JobOwner thread;
        if (threadOwner(thread)) {
            StringCchCopyW(job.userName, MAX_PATH, thread.userName);
            if (thread.hasSid && !isServiceAccount(thread.sid)) {
                memcpy(facts.sid, thread.sid, sizeof(facts.sid));
                account = facts.sid;
            }
        }
    }
    if (!job.userName[0] && account) {
        wchar_t domain[MAX_PATH];
        DWORD userSize = MAX_PATH, domainSize = MAX_PATH;
        SID_NAME_USE use;
        if (!LookupAccountSidW(nullptr, const_cast<BYTE*>(account), job.userName, &userSize, domain, &domainSize, &use))
            job.userName[0] = L'\0';
    }
    resolveJobOwner(job.owner, job.userName, account, remote, ctx->sessions ? *ctx->sessions : systemSessions());
    if (job.owner.unreachable)
        logMessageW(L_INFO, L"No notifications and no browser for <%s>: %hs", job.userName, job.owner.unreachable);
}

enum class CaptureEnd { Complete, Aborted, ReadFailed, WriteFailed };

// Steps 18 to 24: the spooled data into the capture file.
bool capture(JobContext* ctx, JobRecord& job, LPWSTR documentName) {
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[kCaptureBufferSize]());
    if (!buffer) return false;
    // A new file only: nothing a user placed there is written through.
    unique_hfile file(createPrivateFile(job.inputPath, GENERIC_WRITE, FILE_SHARE_WRITE));
    if (!file) {
        logSystemError("Create FDXS file FAILED! Reason <%lu>", GetLastError());
        return false;
    }
    unique_printer spooled;
    if (!OpenPrinterW(documentName, spooled.put(), nullptr)) {
        logMessage(L_FATAL, "Open printer FAILED!");
        file.reset();
        deleteFileLogged(job.inputPath);
        notifyJobFailed(job.printerName, job.documentName, job.uid);
        return false;
    }
    ULONGLONG start = GetTickCount64();
    logMessageW(L_INFO, L"Write printer data to <%s>", job.inputPath);
    CaptureEnd end = CaptureEnd::Complete;
    DWORD got = 0;
    for (;;) {
        // A failed read is a failed capture: a truncated document is never
        // sent as if it were whole.
        if (!ReadPrinter(spooled.get(), buffer.get(), kCaptureBufferSize, &got)) {
            logSystemError("Read printer FAILED! Reason <%lu>", GetLastError());
            end = CaptureEnd::ReadFailed;
            break;
        }
        if (got == 0) break;
        if (isPaused(ctx)) {
            logMessage(L_WARN, "Printprocessor paused!");
            waitWhilePaused(ctx);
        }
        if (isAborted(ctx)) {
            logMessage(L_ERROR, "Printprocessor aborted!");
            end = CaptureEnd::Aborted;
            break;
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), buffer.get(), got, &written, nullptr) || written != got) {
            logMessage(L_ERROR, "Write to file FAILED! Error %lu", GetLastError());
            end = CaptureEnd::WriteFailed;
            break;
        }
    }
    logElapsed(start);
    file.reset();
    spooled.reset();
    if (end == CaptureEnd::Complete) return true;
    // A partial capture is never sent as if it were the whole document.
    deleteFileLogged(job.inputPath);
    if (end == CaptureEnd::Aborted)
        sendNotification(L_ERROR, job.uid, L"[%s] Print job '%s' **** ABORTED ****!!!!", job.printerName,
                         job.documentName);
    else
        notifyJobFailed(job.printerName, job.documentName, job.uid);
    return false;
}
}  // namespace

BOOL printRawJob(JobContext* ctx, LPWSTR documentName) {
    // The printer's key, ProgramData and the event log are the spooler's:
    // worked on as the spooler, never as the client it may impersonate.
    CAsSpooler asSpooler(ctx->spoolerIdentity);
    CJobState state(ctx->clock);
    CJobScope scope(state);
    JobRecord job = {};
    job.owner.unreachable = "the job's owner is not known yet";
    COwnerScope ownerScope(&job.owner);
    job.startTick = GetTickCount64();
    BOOL result = FALSE;
    bool documentStarted = false;
    std::optional<CNamedLock> running;
    unique_hfile heldFolders[2];  // the job's folders, until its files are gone

    // 1. The log, under the escaped printer name.
    if (!ctx->openDataPrinterName || !state.log().openLogFile(ctx->openDataPrinterName)) return FALSE;
    job.printerName = ctx->openDataPrinterName;

    // 2. Level and the job's opening lines.
    wchar_t levelText[MAX_PATH] = {};
    CLog::LevelSource levelSource = readLogLevelSetting(job.printerName, levelText);
    state.log().setLogLevel(levelSource, levelText);
    logMessageW(L_START, L"###### printing on <%s>, job <%s>", job.printerName, ctx->documentName);
    logMessage(L_TRACE, "PPRINTPROCESSORDATA");
    logMessageW(L_TRACE, L"PrinterName <%s>", ctx->printerName);
    logMessageW(L_TRACE, L"Document <%s>", ctx->documentName);
    logMessageW(L_TRACE, L"OutputFile <%s>", ctx->outputFile);
    logMessage(L_TRACE, "JobId <%lu>", ctx->jobId);
    logMessage(L_TRACE, "Copies <%lu>", ctx->copies);
    logMessage(L_TRACE, "TabSize <%lu>", ctx->tabSize);
    logMessageW(L_TRACE, L"PrinterName <%s>", job.printerName);

    [&] {
        // 3. An empty document on the printer, ended on every way out.
        DOC_INFO_1W doc = {ctx->documentName, ctx->outputFile, ctx->datatypeName};
        if (!StartDocPrinterW(ctx->printerHandle, 1, reinterpret_cast<BYTE*>(&doc))) {
            logMessageW(L_FATAL, L"StartDocPrinter FAILED! <%s>", ctx->documentName);
            return;
        }
        documentStarted = true;

        // 4. The job UID.
        if (!generateUid(job.uid, kUidLength)) {
            logMessage(L_FATAL, "Generate uid FAILED!");
            return;
        }
        logMessage(L_DEBUG, "Generate UID <%s>", job.uid);
        // Marks the job as running, so that no sweep takes its files.
        wchar_t wideUid[11] = {};
        convertUid(wideUid, 11, job.uid);
        running.emplace(kRunningJobLock, wideUid);
        if (!running->valid()) {  // unmarked, its files could be swept from under it
            logSystemError("Mark job as running FAILED! <%lu>", GetLastError());
            return;
        }
        identifyOwner(ctx, documentName, job);
        sendNotification(L_START, job.uid, L"[%s] Start working on print job '%s'", job.printerName, ctx->documentName);

        // 5. Storage directory.
        if (!storageDirectory(job, heldFolders)) {
            logMessage(L_FATAL, "Set storage path FAILED!");
            return;
        }
        logMessageW(L_DEBUG, L"Set storage path <%s>", job.storagePath);

        // 6. Program files directory.
        if (!programFilesDirectory(job)) {
            logMessage(L_FATAL, "Set program files path FAILED!");
            return;
        }
        logMessageW(L_DEBUG, L"Set program files path <%s>", job.programFilesPath);

        // 7. Archive path.
        if (!jobFilePath(job, job.archivePath, L".7z")) {
            logMessage(L_FATAL, "Set zip file FAILED!");
            return;
        }
        logMessageW(L_DEBUG, L"Set zip file <%s>", job.archivePath);

        // 8. Document path and file name.
        if (!splitDocumentName(ctx, job)) {
            logMessage(L_FATAL, "Set doc file FAILED!");
            return;
        }
        logMessageW(L_DEBUG, L"Set doc path <%s>", job.documentPath);
        logMessageW(L_DEBUG, L"Set doc file <%s>", ctx->documentName);

        // 9. Host name: the machine the job came from.
        DWORD size = kHostNameChars;
        if (job.remoteHost[0]) StringCchCopyW(job.hostName, kHostNameChars, job.remoteHost);
        else if (!GetComputerNameExW(ComputerNameNetBIOS, job.hostName, &size)) {
            logMessage(L_FATAL, "Set host name FAILED!");
            return;
        }
        logMessageW(L_DEBUG, L"Set host name <%s>", job.hostName);

        // 10. Domain or workgroup.
        if (!domainOrWorkgroup(job)) {
            logMessage(L_FATAL, "Set domain/workgroup name FAILED!!");
            return;
        }
        logMessageW(L_DEBUG, L"Set domain/workgroup name <%s>", job.domainName);
        logMessage(L_DEBUG, "Set domain/workgroup id   <%02X> = <%s>", job.domainKind,
                   job.domainKind == 1 ? "Domain" : "Workgroup");

        // 11. User name: the job's owner (read with the UID above).
        if (!job.userName[0]) {
            logMessage(L_FATAL, "Get user name FAILED! Error %d", static_cast<int>(ERROR_NONE_MAPPED));
            return;
        }
        logMessageW(L_DEBUG, L"Get user name <%s>", job.userName);

        // 12, 13. Machine id, document, job id and copies.
        fillMachineId(job);
        job.documentName = ctx->documentName;
        job.jobId = ctx->jobId;
        job.noOfCopies = static_cast<WORD>(ctx->copies);

        // 14. Capture file path.
        if (!jobFilePath(job, job.inputPath, L".dat")) {
            logMessage(L_FATAL, "Set input file name FAILED!");
            return;
        }
        logMessageW(L_DEBUG, L"Set input file name <%s>", job.inputPath);

        // 15. Settings.
        USHORT port = 0;
        bool secure = false, acceptAll = false, interaction = true;
        const PrinterSettingsDefaults defaults = {kDefaultServerName, kDefaultTransferAction,
                                                  kDefaultInteractionAction, kDefaultServerPort, false};
        if (!readPrinterSettings(job.printerName, job.serverName, job.transferActionPath, job.interactionActionPath,
                                 &port, &secure, &acceptAll, &interaction, defaults)) {
            logMessage(L_FATAL, "Get registry settings FAILED!");
            return;
        }
        job.serverPort = port;
        job.secureTransfer = secure;
        job.acceptAllCertificates = acceptAll;
        job.interaction = interaction;
        logPrinterSettings(job.serverName, job.transferActionPath, job.interactionActionPath, port, secure, acceptAll,
                           interaction);

        // 16. The job's status holder and hashing facility.
        state.createFacilities();
        state.protocol()->clear();

        // 17. Is the server there?
        if (!validateServerConnection(job.serverName, job.serverPort, job.printerName, secure, acceptAll,
                                      job.transferActionPath)) {
            sendNotification(L_ERROR, job.uid,
                             L"[%s] print job '%s' can't be processed because server in not ready.", job.printerName,
                             job.documentName);
            logMessage(L_FATAL, "Server not ready!");
            return;
        }

        // 18 to 24. Capture.
        if (!capture(ctx, job, documentName)) return;

        // 25. Pages and copies from the job's information.
        readJobInformation(ctx, job);

        // 26. Older jobs, then the transfer.
        lookForOlderJobs(job.storagePath, state.clock());
        result = runTransfer(ctx, job, state);
    }();

    // 27. The end, from every step.
    state.destroyFacilities();
    if (documentStarted) EndDocPrinter(ctx->printerHandle);
    logMessage(L_DEBUG, "Done with RAW printing");
    logElapsed(job.startTick);
    state.log().closeLogFile();
    return result;
}
