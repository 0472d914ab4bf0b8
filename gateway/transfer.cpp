#include "gateway/transfer.h"
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <cstring>
#include <mutex>
#include "gateway/archive.h"
#include "gateway/digest.h"
#include "gateway/exchange.h"
#include "protocol/chunkplan.h"
#include "protocol/codec.h"
#include "protocol/decisions.h"

using namespace rpqproto;

double CClock::now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool CSerials::next(const std::string& printer, uint32_t* serial) {
    // One file per printer, locked while it is read and written: printers'
    // jobs run on threads of their own, and a second gateway may share the folder.
    static std::mutex inProcess;
    std::lock_guard<std::mutex> lock(inProcess);
    std::string path = m_dir + "/serial-" + printer;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool ok = flock(fd, LOCK_EX) == 0;
    char text[16] = {};
    ssize_t n = ok ? pread(fd, text, sizeof(text) - 1, 0) : -1;
    uint32_t value = n > 0 ? static_cast<uint32_t>(strtoul(text, nullptr, 10)) : 0;
    ++value;
    if (value == 0) value = 1;
    std::string out = std::to_string(value) + "\n";
    ok = ok && n >= 0 && ftruncate(fd, 0) == 0 &&
         pwrite(fd, out.data(), out.size(), 0) == static_cast<ssize_t>(out.size()) && fsync(fd) == 0;
    close(fd);
    if (ok) *serial = value;
    return ok;
}

std::string interactionAddress(const PrinterTarget& target, const std::string& uid) {
    std::string host = target.server.find(':') != std::string::npos ? "[" + target.server + "]" : target.server;
    return (target.secure ? "https://" : "http://") + host + ":" + std::to_string(target.port) +
           target.interactionPath + "?uid=" + uid;
}

rpqproto::Request xferRequest(const GatewayJob& job, uint64_t size, const uint8_t digest[16], uint32_t noOfChunks) {
    Request request;
    request.type = TYPE_XFER;
    request.uid = job.uid;
    request.size = size;
    memcpy(request.checksum, digest, 16);
    request.noOfChunks = noOfChunks;
    request.noOfPages = job.pages;
    request.noOfCopies = job.copies;
    request.hostname = job.host;
    request.username = job.user;
    request.domainName = job.domain;
    request.domainKind = job.domainKind;
    request.filename = job.documentName;
    request.machineId = job.machineId;
    return request;
}

namespace {

struct ChunkInfo {
    uint64_t offset = 0;
    uint64_t length = 0;
    uint8_t digest[16] = {};
};

class CRun {
public:
    CRun(const PrinterTarget& target, const GatewayJob& job, CSerials& serials, CJobTeller& teller,
         const CClock& clock)
        : m_target(target), m_job(job), m_serials(serials), m_teller(teller), m_clock(clock) {}

    TransferResult run() {
        int state = probe() ? ST_INITIAL : ST_QUIT;
        bool cancelHandled = false;
        do {
            int next = step(state);
            if (!cancelHandled && state != ST_QUIT && m_teller.cancelled()) {
                cancelled();
                // The server hears a RESET once it has heard of the job.
                if (m_xferSent && state != ST_RESET) next = ST_RESET;
                else if (!m_xferSent) next = ST_QUIT;
                cancelHandled = true;
            }
            state = next;
        } while (state >= ST_INITIAL && state < ST_END_OF_JOB);
        unlink(m_archive.c_str());
        return m_result;
    }

private:
    int step(int state) {
        switch (state) {
        case ST_INITIAL: return initial();
        case ST_INITIATION: return initiation();
        case ST_CHUNK_TRANSFER: return chunkTransfer();
        case ST_WAIT: return wait();
        case ST_RESET: return reset();
        default: return ST_END_OF_JOB;
        }
    }

    void fail(const std::string& reason) {
        if (m_result.outcome == JobOutcome::Confirmed || m_told) return;
        m_result.outcome = JobOutcome::Failed;
        m_result.reason = reason;
        m_told = true;
        m_teller.log(3, "Job " + m_job.uid + " could not be transferred: " + reason);
    }

    void cancelled() {
        m_teller.log(2, "The client cancelled the job.");
        m_result.outcome = JobOutcome::Canceled;
        m_result.reason = "Cancelled by the client";
        m_told = true;
    }

    // Before anything is made, as the print processor does: is the server
    // there? Nothing else is sent when it is not.
    bool probe() {
        m_teller.log(0, "Validate server connection");
        m_teller.progress("Checking the workflow server");
        Request request;
        request.type = TYPE_PING;
        if (!randomUid(kUidLength, &request.uid) || !m_serials.next(m_job.printer, &request.sequenceNo)) {
            fail("the probe could not be prepared (no random bytes, or the state folder cannot be written)");
            return false;
        }
        Encoded encoded = encodeRequest(request);
        std::string why = "no answer";
        for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
            if (m_teller.cancelled()) return cancelled(), false;
            Answer answer = send(request, encoded, nullptr, &why);
            if (answer != Answer::None && answer != Answer::Invalid) {
                m_teller.log(0, "Server is ALIVE, workflow running ...");
                m_result.serverFound = true;
                return true;
            }
        }
        m_teller.log(3, "PING response timed out!");
        if (m_teller.cancelled()) return cancelled(), false;
        fail("The workflow server is not ready: " + why);
        return false;
    }

    double silence() const { return m_clock.now() - m_lastActivity; }

    // Encodes the request with the printer's next serial number and sends it.
    Answer exchange(Request& request, const ChunkPart* chunk, std::string* why) {
        uint32_t serial = 0;
        if (!m_serials.next(m_job.printer, &serial)) {
            *why = "no sequence number (the state folder cannot be written)";
            return Answer::None;
        }
        request.sequenceNo = serial;
        return send(request, encodeRequest(request), chunk, why);
    }

    // Posts the encoded request, decodes and checks the answer.
    Answer send(const Request& request, const Encoded& encoded, const ChunkPart* chunk, std::string* why) {
        std::vector<uint8_t> bytes;
        std::function<bool()> cancelled;
        if (request.type != TYPE_RESET) cancelled = [this] { return m_teller.cancelled(); };
        m_teller.log(0, std::string("Sending <") + typeName(request.type) + "> message");
        if (!postExchange(m_target, encoded.bytes, encoded.length, chunk, bytes, cancelled, why)) {
            m_teller.log(3, std::string(typeName(request.type)) + ": no answer: " + *why);
            return Answer::None;
        }
        if (decodeResponse(m_response, bytes.data(), bytes.size()) != DecodeResult::Ok || !answers(request, m_response)) {
            *why = "the server's answer does not answer the request";
            m_teller.log(3, std::string(typeName(request.type)) + " response received but INVALID!");
            return Answer::Invalid;
        }
        m_teller.log(0, std::string("Response <") + typeName(m_response.type) + "," + statusName(m_response.value) + ">");
        switch (statusOf(m_response.value)) {
        case Status::Ok: return Answer::Ok;
        case Status::Error: return Answer::Error;
        case Status::Wait: return Answer::Wait;
        default: return Answer::Other;
        }
    }

    Request prepare(uint8_t type) {
        Request request;
        request.type = type;
        request.uid = m_job.uid;
        return request;
    }

    int initial() {
        m_teller.log(0, "Enter state: *** INITIAL ***");
        m_teller.progress("Compressing");
        uint64_t read = 0;
        if (!md5OfRange(m_job.documentPath, 0, UINT64_MAX, m_inputDigest, &read)) {
            fail("the document could not be read");
            return ST_QUIT;
        }
        m_inputSize = read;
        m_teller.log(0, "File size is <" + std::to_string(m_inputSize) + "> with checksum <" + digestHex(m_inputDigest) + ">");
        m_archive = m_job.workDir + "/" + m_job.uid + ".7z";
        std::string why;
        if (!writeArchive(m_job.documentPath, archiveItemName(m_job.uid), m_archive,
                          [this] { return m_teller.cancelled(); }, &why)) {
            fail("Zipping the document failed: " + why);
            return ST_QUIT;
        }
        struct stat archive = {};
        if (stat(m_archive.c_str(), &archive) != 0) {
            fail("the archive could not be read");
            return ST_QUIT;
        }
        uint64_t size = static_cast<uint64_t>(archive.st_size);
        m_progress.noOfChunks = chunkCount(size);
        for (uint32_t n = 1; n <= m_progress.noOfChunks; ++n) {
            ChunkInfo chunk;
            chunk.offset = static_cast<uint64_t>(n - 1) * kChunkSize;
            chunk.length = chunkLength(size, n);
            uint64_t got = 0;
            if (!md5OfRange(m_archive, chunk.offset, chunk.length, chunk.digest, &got) || got != chunk.length) {
                fail("Chunking zip file failed");
                return ST_QUIT;
            }
            m_chunks.push_back(chunk);
        }
        m_teller.log(1, "Create <" + std::to_string(m_progress.noOfChunks) + "> chunk(s) for transmission");
        return ST_INITIATION;
    }

    int initiation() {
        m_teller.log(0, "Enter state: *** INITIATION ***");
        m_teller.progress("Announcing the job to the server");
        Request request = xferRequest(m_job, m_inputSize, m_inputDigest, m_progress.noOfChunks);
        m_lastActivity = m_clock.now();
        m_progress.resumeState = ST_CHUNK_TRANSFER;
        m_xferSent = true;
        std::string why;
        Answer answer = exchange(request, nullptr, &why);
        int next = afterXfer(answer);
        if (answer == Answer::Ok) {
            m_lastActivity = m_clock.now();
            if (m_target.interaction) m_teller.interactionPage(interactionAddress(m_target, m_job.uid));
        } else if (answer == Answer::Error) {
            m_lastActivity = m_clock.now();
            fail("The server refused the job (server reason " + std::to_string(reasonOf(m_response.value)) + ")");
        } else if (answer == Answer::None) {
            fail("The workflow server did not answer: " + why);
        } else {
            fail(answer == Answer::Invalid ? "The workflow server answered another request"
                                           : std::string("The workflow server answered ") + statusName(m_response.value));
        }
        return next;
    }

    int chunkTransfer() {
        m_teller.log(0, "Enter state: *** CHUNK_TRANSFER ***");
        Request request = prepare(TYPE_CHUNK);
        if (!nextChunk(m_progress)) {
            m_teller.log(1, "Finished with chunk transfers!");
            m_lastActivity = m_clock.now();
            return ST_WAIT;
        }
        uint32_t number = m_progress.currentChunk;
        m_teller.progress("Sending part " + std::to_string(number) + " of " + std::to_string(m_progress.noOfChunks));
        const ChunkInfo& chunk = m_chunks[number - 1];
        request.currentChunk = number;
        request.nextChunk = followingChunk(m_progress);
        request.size = chunk.length;
        memcpy(request.checksum, chunk.digest, 16);
        ChunkPart part;
        part.path = m_archive;
        part.offset = chunk.offset;
        part.length = chunk.length;
        part.name = chunkName(m_job.uid, number);
        std::string why;
        Answer answer = exchange(request, &part, &why);
        if (answer == Answer::Ok || answer == Answer::Error || answer == Answer::Wait) m_lastActivity = m_clock.now();
        int next = answer == Answer::Invalid ? ST_RESET : afterChunk(answer, silence(), m_progress);
        if (next == ST_RESET) {
            if (answer == Answer::Error) fail("The server did not take part " + std::to_string(number) + " (server reason " +
                                              std::to_string(reasonOf(m_response.value)) + ")");
            else if (answer == Answer::None) fail("The workflow server did not answer: " + why);
            else fail("The workflow server's answer to part " + std::to_string(number) + " was not understood");
        }
        return next;
    }

    int wait() {
        m_teller.log(0, "Enter state: *** WAIT ***");
        m_teller.progress("Waiting for the server");
        Request request = prepare(TYPE_PING);
        std::string why;
        Answer answer = exchange(request, nullptr, &why);
        if (answer == Answer::Ok || answer == Answer::Wait) m_lastActivity = m_clock.now();
        bool confirmed = false;
        int next = answer == Answer::Invalid ? ST_RESET : afterPing(answer, m_progress, &confirmed);
        if (confirmed) {
            m_result.outcome = JobOutcome::Confirmed;
            m_result.reason.clear();
            m_told = true;
            m_teller.log(1, "Job " + m_job.uid + " SUCCESSFULLY transferred.");
        } else if (next == ST_RESET) {
            if (answer == Answer::None && silence() > kSilenceLimitSeconds) m_teller.log(3, "PING response timed out!");
            fail(answer == Answer::None ? "The workflow server did not confirm the job: " + why
                                        : "The workflow server did not confirm the job");
        }
        return next;
    }

    int reset() {
        m_teller.log(0, "Enter state: *** RESET ***");
        Request request = prepare(TYPE_RESET);
        std::string why;
        Answer answer = exchange(request, nullptr, &why);
        return afterReset(answer, silence(), m_progress);
    }

    const PrinterTarget& m_target;
    const GatewayJob& m_job;
    CSerials& m_serials;
    CJobTeller& m_teller;
    const CClock& m_clock;
    TransferResult m_result;
    bool m_told = false;
    bool m_xferSent = false;
    Progress m_progress;
    Response m_response;
    uint64_t m_inputSize = 0;
    uint8_t m_inputDigest[16] = {};
    std::string m_archive;
    std::vector<ChunkInfo> m_chunks;
    double m_lastActivity = 0;
};

}  // namespace

TransferResult runGatewayTransfer(const PrinterTarget& target, const GatewayJob& job, CSerials& serials,
                                  CJobTeller& teller, const CClock& clock) {
    CRun run(target, job, serials, teller, clock);
    return run.run();
}
