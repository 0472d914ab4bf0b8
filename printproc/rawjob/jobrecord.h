// The RAW job routine's record of one job.
#pragma once
#include <windows.h>
#include "interact/owner.h"

// A NetBIOS name (15 characters) or a remote machine's IP address whole (IPv6: 45).
constexpr size_t kHostNameChars = 46;
constexpr size_t kMachineIdSize = 64;

struct JobRecord {
    char uid[11];
    wchar_t userName[MAX_PATH];
    wchar_t domainName[MAX_PATH];
    wchar_t hostName[kHostNameChars];
    wchar_t storagePath[MAX_PATH];
    wchar_t programFilesPath[MAX_PATH];
    wchar_t archivePath[MAX_PATH];
    wchar_t inputPath[MAX_PATH];
    wchar_t serverName[MAX_PATH];
    wchar_t transferActionPath[MAX_PATH];
    wchar_t interactionActionPath[MAX_PATH];
    wchar_t* printerName;
    wchar_t* documentName;
    wchar_t documentPath[MAX_PATH];
    DWORD jobId;
    WORD noOfPages;
    WORD noOfCopies;
    WORD serverPort;
    BOOL secureTransfer;
    BOOL acceptAllCertificates;
    BYTE domainKind;
    BYTE machineIdLength;
    BYTE machineId[kMachineIdSize];
    BOOL interaction;
    JobOwner owner;  // whom notifications and the browser are for
    wchar_t remoteHost[kHostNameChars];  // the machine the job came from, when not this one
    ULONGLONG startTick;
};
