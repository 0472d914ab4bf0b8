#include "printproc/rawjob/statemachine.h"
#include "printproc/rawjob/jobstatus.h"
#include <cstring>
#include <strsafe.h>
#include "diag/log.h"
#include "diag/security.h"
#include "interact/browser.h"
#include "interact/notify.h"
#include "storage/backlog.h"
#include "storage/chunks.h"
#include "storage/sevenzip.h"
#include "transfer/http.h"
#include "transfer/message.h"
#include "transfer/uid.h"

namespace {

double now(const TransferContext& t) { return t.job->runSeconds(); }

bool silenceOver(const TransferContext& t) { return now(t) - t.lastActivity > kSilenceLimitSeconds; }

bool cancelled(const TransferContext& t) { return t.jobContext && isAborted(t.jobContext); }

// The user hears once how the job ended: a cancel that came meanwhile is
// told as the cancel.
void abortNotice(TransferContext& t) {
    if (t.told) return;
    sendNotification(L_ERROR, t.uid(), L"[%s] Print job '%s' **** ABORTED ****!!!!", t.printerName, t.documentName);
    t.told = true;
}

void failureNotice(TransferContext& t, const wchar_t* reason = L"the job could not be transferred") {
    setJobStatus(t.jobContext, L"Failed: %s", reason);
    if (cancelled(t)) {
        abortNotice(t);
    } else if (!t.told) {
        notifyJobFailed(t.printerName, t.documentName, t.uid());
        t.told = true;
    }
    logMessageW(L_ERROR, L"Printjob \"%s\" could not be transferred.", t.documentName);
    discardJobFiles(t.storagePath, t.uid());
}

// Encodes the request into the message buffer and traces it.
bool encode(TransferContext& t, uint16_t* length) {
    if (!createMessage(t.request, t.messageBuffer, length, t.printerName)) return false;
    logMessage(L_TRACE, "Message size is <%u> bytes:", static_cast<unsigned>(*length));
    dumpRequest(t.request);
    return true;
}

CFDXSProtocol& status(const TransferContext& t);

bool exchange(TransferContext& t, uint16_t length, const ChunkEntry* chunk = nullptr) {
    HttpFilePart part = {};
    if (chunk) part = {chunk->path, chunk->name, chunk->size};
    return getAnswer(t.connection, t.secureTransfer != FALSE, t.acceptAllCertificates != FALSE, chunk ? &part : nullptr,
                     t.messageBuffer, length, t.response, t.transferActionPath, status(t));
}

CFDXSProtocol& status(const TransferContext& t) { return *t.job->protocol(); }

void judge(const TransferContext& t) {
    status(t).clear();
    status(t).set(t.response.value);
}

bool isOk(const TransferContext& t) { return status(t).isOk(); }
bool isError(const TransferContext& t) { return status(t).isError(); }
bool isWait(const TransferContext& t) { return status(t).isWait(); }

// The judged status as the shared decisions take it.
rpqproto::Answer answer(const TransferContext& t) {
    if (isOk(t)) return rpqproto::Answer::Ok;
    if (isError(t)) return rpqproto::Answer::Error;
    if (isWait(t)) return rpqproto::Answer::Wait;
    return rpqproto::Answer::Other;
}

rpqproto::Progress progress(const TransferContext& t) {
    rpqproto::Progress p;
    p.noOfChunks = t.noOfChunks;
    p.currentChunk = t.currentChunk;
    p.retryCount = t.retryCount;
    p.resumeState = t.resumeState;
    return p;
}

void keep(TransferContext& t, const rpqproto::Progress& p) {
    t.currentChunk = p.currentChunk;
    t.retryCount = p.retryCount;
    t.resumeState = p.resumeState;
}

}  // namespace

int stateInitial(TransferContext& t) {
    logMessage(L_INFO, "Enter state: *** INITIAL ***");
    sendNotification(L_INFO, t.uid(), L"[%s] Sending print job '%s' with %d page(s)", t.printerName, t.documentName,
                     static_cast<int>(t.noOfPages));
    bool ok = [&] {
        // 1. Run timer.
        LARGE_INTEGER frequency;
        if (!QueryPerformanceFrequency(&frequency)) logMessage(L_ERROR, "QueryPerformanceFrequency failed!");
        t.job->startRunTimer();

        // 2. Size and checksum of the capture file.
        char hex[33];
        checksumFile(*t.job->hash(), t.inputPath, &t.inputSize, t.inputDigest);
        digestToHex(t.inputDigest, hex);
        logMessage(L_DEBUG, "File size is <%I64u> with checksum <%s>", t.inputSize, hex);

        // 3. Compression.
        ULONGLONG step = GetTickCount64();
        setJobStatus(t.jobContext, L"Compressing");
        logMessage(L_INFO, "Compressing input file.");
        logMessageW(L_TRACE, L"Input file for 7zip <%s>", t.inputPath);
        logMessageW(L_TRACE, L"Output file for 7zip <%s>", t.archivePath);
        bool compressed = compressFile(t.programFilesPath, t.storagePath, 1, t.archivePath, t.inputPath);
        if (compressed) {
            logMessageW(L_DEBUG, L"Document has been 7zipped <%s>", t.archivePath);
            if (!deleteSecureFile(t.inputPath)) logSystemError("Could not delete the capture file. Reason <%lu>", GetLastError());
            logMessageW(L_DEBUG, L"Delete file <%s>", t.inputPath);
        } else {
            logMessage(L_ERROR, "Zipping the document failed!");
        }
        logElapsed(step);
        if (!compressed) return false;

        // 4. Chunks.
        step = GetTickCount64();
        logMessage(L_INFO, "Chunking compressed file.");
        bool chunked = createChunkFilename(*t.job->hash(), t.archivePath, t.chunkSet, &t.noOfChunks);
        if (chunked) {
            if (t.noOfChunks >= 2) {
                sendNotification(L_DEBUG, t.uid(), L"[%s] Create %d parts for transmission", t.printerName,
                                 static_cast<int>(t.noOfChunks));
                logMessage(L_DEBUG, "Create <%d> chunks for transmission", static_cast<int>(t.noOfChunks));
            } else {
                logMessage(L_DEBUG, "Create <1> chunk for transmission");
            }
            if (!deleteSecureFile(t.archivePath)) logSystemError("Could not delete the archive. Reason <%lu>", GetLastError());
            logMessageW(L_DEBUG, L"Delete file <%s>", t.archivePath);
        } else {
            logMessage(L_ERROR, "Chunking zip file failed!");
        }
        logElapsed(step);
        if (!chunked) return false;

        // 5. Backlog record.
        logMessage(L_INFO, "Save RPQ record for backlog.");
        // The record's host field holds a NetBIOS name: a remote IPv6 address keeps its start there.
        wchar_t recordHost[MAX_COMPUTERNAME_LENGTH + 1] = {};
        StringCchCopyNW(recordHost, ARRAYSIZE(recordHost), t.hostName, MAX_COMPUTERNAME_LENGTH);
        const BacklogEntry entry = {t.userName,  recordHost, t.printerName,          t.documentName,
                                    t.documentPath, t.jobId,   t.noOfPages,           t.noOfCopies,
                                    t.chunkSet.totalSize, t.inputDigest};
        if (!saveRecord(t.storagePath, t.uid(), entry)) {
            logMessage(L_ERROR, "FAILED to write RPQ record to disk!");
            return false;
        }
        logMessage(L_DEBUG, "RPQ record has been saved to disk.");

        // 6. Internet session.
        logMessage(L_INFO, "Open an internet session.");
        t.session = InternetOpenW(L"RpqHttpPOST", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        if (!t.session) {
            logSystemError("Failed to open internet session! Reason <%lu>", GetLastError());
            return false;
        }
        logMessage(L_DEBUG, "Got an open internet session");

        // 7. Its time-out.
        logMessage(L_INFO, "Set options to internet session.");
        if (!setTimeouts(t.session)) {
            logSystemError("Failed to set internet session options! Reason <%lu>", GetLastError());
            return false;
        }
        logMessage(L_DEBUG, "Set timeout on internet session.");

        // 8. Connection.
        logMessage(L_INFO, "Try to connect to server.");
        t.connection = InternetConnectW(t.session, t.serverName, t.serverPort, nullptr, nullptr, INTERNET_SERVICE_HTTP,
                                        0, 0);
        if (!t.connection) {
            logSystemError("Failed to connect! Reason <%lu>", GetLastError());
            return false;
        }
        logMessageW(L_DEBUG, L"Got an internet connection to server <%s> port<%d>", t.serverName,
                    static_cast<int>(t.serverPort));

        // 9. Its time-out.
        logMessage(L_INFO, "Set options to internet connection.");
        if (!setTimeouts(t.connection)) {
            logSystemError("Failed to set internet connect options! Reason <%lu>", GetLastError());
            return false;
        }
        logMessage(L_DEBUG, "Set timeout to internet connect options.");
        return true;
    }();
    logMessage(L_INFO, "Connection READY for transactions");
    if (ok) return ST_INITIATION;
    failureNotice(t);
    return ST_QUIT;
}

int stateInitiation(TransferContext& t) {
    ULONGLONG stateStart = GetTickCount64();
    logMessage(L_INFO, "Enter state: *** INITIATION ***");
    logMessage(L_DEBUG, "Use of protocol version 1.%d", kProtocolMinor);
    int next = ST_QUIT;
    bool failed = [&] {
        prepareRequest(t.request, t.uid(), MSG_XFER);
        t.request.size = t.inputSize;
        memcpy(t.request.checksum, t.inputDigest, kDigestSize);
        t.request.noOfChunks = t.noOfChunks;
        t.request.noOfPages = t.noOfPages;
        t.request.noOfCopies = t.noOfCopies;
        wcsncpy(t.request.hostname, t.hostName, MAX_PATH - 1);
        wcsncpy(t.request.username, t.userName, MAX_PATH - 1);
        wcsncpy(t.request.domainName, t.domainName, MAX_PATH - 1);
        t.request.domainKind = t.domainKind;
        wcsncpy(t.request.filename, t.documentName, MAX_PATH - 1);
        t.request.machineIdLength = t.machineIdLength;
        memcpy(t.request.machineId, t.machineId, kMachineIdSize);
        uint16_t length = 0;
        if (!encode(t, &length)) return true;
        t.lastActivity = now(t);
        t.resumeState = ST_CHUNK_TRANSFER;
        if (!exchange(t, length)) return true;
        logMessage(L_INFO, "Get valid <XFER> response.");
        dumpResponse(t.response);
        if (!answersRequest(t.request, t.response)) {
            if (t.response.type != t.request.type) logMessage(L_ERROR, "XFER response received but INVALID type!");
            if (t.response.sequenceNo != t.request.sequenceNo)
                logMessage(L_ERROR, "XFER response received but INVALID sequenceNo!");
            if (!sameUid(t.request, t.response)) logMessage(L_ERROR, "XFER response received but INVALID UID!");
            return true;
        }
        judge(t);
        next = rpqproto::afterXfer(answer(t));
        if (next == ST_CHUNK_TRANSFER) {
            if (t.interaction)
                openInteractionPage(t.secureTransfer != FALSE, t.serverName, t.serverPort, t.interactionActionPath,
                                    t.uid(), *t.owner);
            t.lastActivity = now(t);
            return false;
        }
        if (next == ST_RESET) {
            const char* reason = status(t).reasonName();
            wchar_t wideReason[64] = {};
            MultiByteToWideChar(CP_ACP, 0, reason ? reason : "", -1, wideReason, 63);
            sendNotification(L_ERROR, t.uid(), L"[%s] print job FAILED, because '%s'", t.printerName, wideReason);
            logMessageW(L_ERROR, L"XFER NAK: resetting");
            t.lastActivity = now(t);
        }
        return true;
    }();
    if (failed) failureNotice(t);
    logElapsed(stateStart);
    return next;
}

int stateChunkTransfer(TransferContext& t) {
    ULONGLONG stateStart = GetTickCount64();
    logMessage(L_INFO, "Enter state: *** CHUNK_TRANSFER ***");
    prepareRequest(t.request, t.uid(), MSG_CHUNK);
    rpqproto::Progress p = progress(t);
    bool more = rpqproto::nextChunk(p);
    keep(t, p);
    int next = ST_RESET;
    [&] {
        if (!more) {
            logMessage(L_INFO, "Finished with chunk transfers!");
            t.lastActivity = now(t);
            next = ST_WAIT;
            return;
        }
        if (t.noOfChunks > 1)
            sendNotification(L_INFO, t.uid(), L"[%s] Sending part %d of %d", t.printerName,
                             static_cast<int>(t.currentChunk), static_cast<int>(t.noOfChunks));
        setJobStatus(t.jobContext, L"Sending part %d of %d", static_cast<int>(t.currentChunk),
                     static_cast<int>(t.noOfChunks));
        t.request.currentChunk = t.currentChunk;
        t.request.nextChunk = rpqproto::followingChunk(p);
        const ChunkEntry* selected = nullptr;
        for (const ChunkEntry& entry : t.chunkSet.chunks) {
            logMessage(L_TRACE, "Testing chunk Nr <%d> and currentChunk <%d>", static_cast<int>(entry.number),
                       static_cast<int>(t.currentChunk));
            if (entry.number == t.currentChunk) {
                logMessage(L_TRACE, "Selected chunk Nr <%d> and currentChunk <%d>", static_cast<int>(entry.number),
                           static_cast<int>(t.currentChunk));
                selected = &entry;
                break;
            }
        }
        if (!selected) {
            logMessage(L_ERROR, "No chunk with number <%d>!", static_cast<int>(t.currentChunk));
            next = ST_RESET;
            return;
        }
        ChunkEntry chunk = *selected;
        logMessageW(L_DEBUG, L"Current chunk <%d> <%s>", static_cast<int>(chunk.number), chunk.name);
        t.request.size = chunk.size;
        memcpy(t.request.checksum, chunk.digest, kDigestSize);
        uint16_t length = 0;
        if (!encode(t, &length)) {
            logMessage(L_ERROR, "Unable to create message!");
            next = ST_RESET;
            return;
        }
        if (!exchange(t, length, &chunk)) {
            logMessage(L_ERROR, "getAnswer returned false!");
            if (silenceOver(t)) logMessage(L_ERROR, "CHUNK response timed out!");
            next = rpqproto::afterChunk(rpqproto::Answer::None, now(t) - t.lastActivity, p);
            keep(t, p);
            return;
        }
        dumpResponse(t.response);
        if (!answersRequest(t.request, t.response)) {
            logMessage(L_ERROR, "CHUNK response received, but INVALID!");
            next = ST_RESET;
            return;
        }
        logMessage(L_INFO, "Get valid <CHUNK> response.");
        judge(t);
        rpqproto::Answer said = answer(t);
        if (said != rpqproto::Answer::Other) t.lastActivity = now(t);
        next = rpqproto::afterChunk(said, now(t) - t.lastActivity, p);
        keep(t, p);
        if (said == rpqproto::Answer::Ok) {
            if (next == ST_CHUNK_TRANSFER) logMessage(L_INFO, "More CHUNKs needs to be sent");
            else logMessage(L_INFO, "Final CHUNK sent, waiting for end result");
        } else if (said == rpqproto::Answer::Error) {
            dumpRequest(t.request);
            dumpResponse(t.response);
        } else if (said == rpqproto::Answer::Other) {
            logMessage(L_ERROR, "Unknown response!");
        }
    }();
    if (next == ST_RESET) failureNotice(t);
    logElapsed(stateStart);
    return next;
}

int waitForTheServer(TransferContext& t);

int stateWait(TransferContext& t) {
    ULONGLONG stateStart = GetTickCount64();
    int next = waitForTheServer(t);
    // The server failed the job after its parts (Error, no or no valid
    // answer): the user is told, and the job's files go.
    if (next == ST_RESET && !t.told) failureNotice(t, L"the server did not confirm the job");
    logElapsed(stateStart);
    return next;
}

int waitForTheServer(TransferContext& t) {
    logMessage(L_INFO, "Enter state: *** WAIT ***");
    setJobStatus(t.jobContext, L"Waiting for the server");
    prepareRequest(t.request, t.uid(), MSG_PING);
    uint16_t length = 0;
    if (!encode(t, &length)) {
        logMessage(L_ERROR, "Unable to create message!");
        return ST_RESET;
    }
    if (!exchange(t, length)) {
        if (silenceOver(t)) logMessage(L_ERROR, "PING response timed out!");
        return ST_RESET;
    }
    logMessage(L_INFO, "Get valid <PING> response.");
    dumpResponse(t.response);
    if (!answersRequest(t.request, t.response)) {
        logMessage(L_ERROR, "PING response received but INVALID!");
        return ST_RESET;
    }
    judge(t);
    bool confirmed = false;
    int next = rpqproto::afterPing(answer(t), progress(t), &confirmed);
    if (isOk(t) || isWait(t)) t.lastActivity = now(t);
    if (confirmed) {
        deleteChunkFiles(t.chunkSet);
        if (!deleteRecord(t.storagePath, t.uid())) logMessage(L_ERROR, "Could not delete RPQ record file!");
        sendNotification(L_STOP, t.uid(), L"[%s] END, print job '%s' SUCCESSFULLY transferred.", t.printerName,
                         t.documentName);
        setJobStatus(t.jobContext, L"Transferred");
        t.told = true;
        logMessageW(L_STOP, L"###### printing on <%s>,  <%s> SUCCESSFULLY transferred.", t.printerName,
                    t.documentName);
    }
    return next;
}

int stateReset(TransferContext& t) {
    ULONGLONG stateStart = GetTickCount64();
    logMessage(L_INFO, "Enter state: *** RESET ***");
    prepareRequest(t.request, t.uid(), MSG_RESET);
    uint16_t length = 0;
    if (!encode(t, &length)) {
        logMessage(L_ERROR, "Unable to create message!");
        return ST_QUIT;
    }
    if (!exchange(t, length)) {
        rpqproto::Progress p = progress(t);
        int next = rpqproto::afterReset(rpqproto::Answer::None, now(t) - t.lastActivity, p);
        keep(t, p);
        return next;
    }
    logMessage(L_INFO, "Get valid <RESET> response.");
    dumpResponse(t.response);
    if (!answersRequest(t.request, t.response)) {
        logMessage(L_ERROR, "RESET response received but INVALID! Reason(s) follow:");
        if (t.response.type != t.request.type)
            logMessage(L_ERROR, "Response INVALID because response type doesn't match request type");
        if (t.response.sequenceNo != t.request.sequenceNo)
            logMessage(L_ERROR, "Response INVALID because response sequenceNo doesn't match request sequenceNo");
        if (!sameUid(t.request, t.response))
            logMessage(L_ERROR, "Response INVALID because response UID doesn't match request UID");
        logMessage(L_ERROR, "Quitting anyhow");
    }
    logElapsed(stateStart);
    return ST_QUIT;
}

int stateQuit(TransferContext& t) {
    logMessage(L_INFO, "Enter state: *** QUIT ***");
    if (t.connection && !InternetCloseHandle(t.connection)) logMessage(L_ERROR, "Failed to close Connect handle");
    if (t.session && !InternetCloseHandle(t.session)) logMessage(L_ERROR, "Failed to close Session handle");
    t.connection = nullptr;
    t.session = nullptr;
    if (t.jobRecord) clearString(t.jobRecord->uid, sizeof(t.jobRecord->uid));
    wchar_t* texts[] = {t.storagePath, t.programFilesPath, t.inputPath,          t.archivePath,
                        t.hostName,    t.domainName,       t.userName,           t.serverName,
                        t.transferActionPath, t.interactionActionPath, t.documentPath};
    for (wchar_t* text : texts)
        if (text) wclearString(text, 1);
    // The names themselves live in the job context: the transfer context lets go of them.
    t.printerName = nullptr;
    t.documentName = nullptr;
    t.inputSize = 0;
    memset(t.inputDigest, 0, sizeof(t.inputDigest));
    t.jobId = 0;
    t.noOfPages = t.noOfCopies = t.serverPort = 0;
    t.secureTransfer = t.acceptAllCertificates = FALSE;
    t.domainKind = t.machineIdLength = 0;
    t.machineId = nullptr;
    t.chunkSet.chunks.clear();
    prepareRequest(t.request, nullptr, NOTDEF_CTI);
    clearResponse(t.response);
    memset(t.messageBuffer, 0, sizeof(t.messageBuffer));
    t.noOfChunks = t.currentChunk = 0;
    t.retryCount = 0;
    t.lastActivity = 0;
    t.resumeState = ST_QUIT;
    t.interaction = TRUE;
    return ST_END_OF_JOB;
}

BOOL runTransfer(JobContext* ctx, JobRecord& job, CJobState& state) {
    TransferContext t;
    t.fillFrom(job);
    t.job = &state;
    t.jobContext = ctx;
    using StateFn = int (*)(TransferContext&);
    static const StateFn kStates[] = {stateInitial, stateInitiation, stateChunkTransfer, stateWait, stateReset, stateQuit};
    bool cancelHandled = false;
    int current = ST_INITIAL;
    do {
        int next = kStates[current](t);
        if (!cancelHandled) {
            if (isPaused(ctx)) logMessage(L_WARN, "User sets Printprocessor to paused - Ignored!");
            // A cancel after any state: told once, the job's files gone, and
            // one RESET while the connection is open, unless the state that
            // just ran was a RESET (its request went out already).
            if (isAborted(ctx) && current != ST_QUIT) {  // after QUIT the job is over
                logMessage(L_ERROR, "Printprocessor aborted(2)!");
                abortNotice(t);
                deleteChunkFiles(t.chunkSet);
                discardJobFiles(t.storagePath, t.uid());
                if (t.connection && current != ST_RESET) next = ST_RESET;
                cancelHandled = true;
            }
        }
        current = next;
    } while (current < ST_END_OF_JOB && current >= ST_INITIAL);
    logMessage(L_INFO, "Quitting print processor");
    t.chunkSet.chunks.clear();
    return TRUE;
}
