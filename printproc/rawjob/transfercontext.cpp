#include "printproc/rawjob/transfercontext.h"

void TransferContext::fillFrom(JobRecord& job) {
    jobRecord = &job;
    storagePath = job.storagePath;
    programFilesPath = job.programFilesPath;
    inputPath = job.inputPath;
    archivePath = job.archivePath;
    hostName = job.hostName;
    domainName = job.domainName;
    userName = job.userName;
    serverName = job.serverName;
    transferActionPath = job.transferActionPath;
    interactionActionPath = job.interactionActionPath;
    printerName = job.printerName;
    documentName = job.documentName;
    documentPath = job.documentPath;
    jobId = job.jobId;
    noOfPages = job.noOfPages;
    noOfCopies = job.noOfCopies;
    serverPort = job.serverPort;
    secureTransfer = job.secureTransfer;
    acceptAllCertificates = job.acceptAllCertificates;
    domainKind = job.domainKind;
    machineIdLength = job.machineIdLength;
    machineId = job.machineId;
    interaction = job.interaction;
    owner = &job.owner;
}
