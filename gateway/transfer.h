// One job from the gateway's journal to the workflow server: the shared
// decisions, libarchive, OpenSSL's MD5 and libcurl.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "gateway/options.h"
#include "protocol/codec.h"

struct GatewayJob {
    std::string uid;
    std::string printer;
    std::string documentPath;  // the journal's copy of the client's document
    std::string workDir;       // where the archive is written
    std::u16string user, host, domain, documentName;
    uint8_t domainKind = 2;
    std::vector<uint8_t> machineId;
    uint32_t pages = 0;
    uint32_t copies = 1;
};

// How the job's client hears of it, and whether it gave up.
class CJobTeller {
public:
    virtual ~CJobTeller() = default;
    virtual void progress(const std::string& message) = 0;
    virtual void log(int level, const std::string& line) = 0;  // 0 debug, 1 info, 2 warn, 3 error
    virtual void interactionPage(const std::string& address) = 0;
    virtual bool cancelled() = 0;
};

// Monotonic seconds: the silence limit is measured on it.
class CClock {
public:
    virtual ~CClock() = default;
    virtual double now() const;
};

// Each printer's next sequence number, kept in the state folder.
class CSerials {
public:
    explicit CSerials(std::string dir) : m_dir(std::move(dir)) {}
    bool next(const std::string& printer, uint32_t* serial);

private:
    std::string m_dir;
};

enum class JobOutcome { Confirmed, Failed, Canceled };
struct TransferResult {
    JobOutcome outcome = JobOutcome::Failed;
    std::string reason;  // what the client reads when the job failed
    bool serverFound = false;  // the probe was answered: the server was there
};

TransferResult runGatewayTransfer(const PrinterTarget& target, const GatewayJob& job, CSerials& serials,
                                  CJobTeller& teller, const CClock& clock);
// The XFER that announces the job.
rpqproto::Request xferRequest(const GatewayJob& job, uint64_t size, const uint8_t digest[16], uint32_t noOfChunks);
// The address of the job's page on the server ("<scheme>://host:port<action>?UID=<uid>").
std::string interactionAddress(const PrinterTarget& target, const std::string& uid);
