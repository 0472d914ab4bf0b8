// The transfer state machine's per-run record and its states.
#pragma once
#include <windows.h>
#include <wininet.h>
#include "printproc/jobcontext.h"
#include "printproc/rawjob/jobrecord.h"
#include "printproc/rawjob/jobstate.h"
#include "protocol/decisions.h"
#include "storage/chunks.h"
#include "transfer/protocol.h"

using rpqproto::ST_CHUNK_TRANSFER;
using rpqproto::ST_END_OF_JOB;
using rpqproto::ST_INITIAL;
using rpqproto::ST_INITIATION;
using rpqproto::ST_QUIT;
using rpqproto::ST_RESET;
using rpqproto::ST_WAIT;

struct TransferContext {
    CJobState* job = nullptr;  // log, clock, status holder, hash, run timer
    const JobContext* jobContext = nullptr;  // the spooler's cancel bit
    bool told = false;         // the user has been told how the job ended
    HINTERNET connection = nullptr;
    HINTERNET session = nullptr;
    JobRecord* jobRecord = nullptr;
    wchar_t* storagePath = nullptr;
    wchar_t* programFilesPath = nullptr;
    wchar_t* inputPath = nullptr;
    ULONGLONG inputSize = 0;
    BYTE inputDigest[kDigestSize] = {};
    wchar_t* archivePath = nullptr;
    wchar_t* hostName = nullptr;
    wchar_t* domainName = nullptr;
    wchar_t* userName = nullptr;
    wchar_t* serverName = nullptr;
    wchar_t* transferActionPath = nullptr;
    wchar_t* interactionActionPath = nullptr;
    wchar_t* printerName = nullptr;
    wchar_t* documentName = nullptr;
    wchar_t* documentPath = nullptr;
    DWORD jobId = 0;
    WORD noOfPages = 0;
    WORD noOfCopies = 0;
    WORD serverPort = 0;
    BOOL secureTransfer = FALSE;
    BOOL acceptAllCertificates = FALSE;
    BYTE domainKind = 0;
    BYTE machineIdLength = 0;
    BYTE* machineId = nullptr;
    ChunkSet chunkSet;
    ProtocolResponse response = {};
    ProtocolRequest request = {};
    BYTE messageBuffer[kMessageBufferSize] = {};
    DWORD noOfChunks = 0;
    DWORD currentChunk = 0;
    BYTE retryCount = 3;
    double lastActivity = 0.0;
    int resumeState = ST_CHUNK_TRANSFER;
    BOOL interaction = TRUE;
    const JobOwner* owner = nullptr;

    // References and values from the job record.
    void fillFrom(JobRecord& job);
    // The job UID (the job record's first field).
    const char* uid() const { return jobRecord ? jobRecord->uid : ""; }
};
