// Jobs as the server keeps them: announced by XFER, filled by CHUNKs,
// verified once every chunk is in.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "wire.h"

enum class JobState { Receiving, Verifying, Verified, Failed };
const char* jobStateName(JobState state);

struct Job {
    wire::Request xfer;
    std::string dir;
    std::map<uint32_t, uint64_t> chunks;  // number -> size, once checked
    uint64_t bytesReceived = 0;
    JobState state = JobState::Receiving;
    std::string reason;
    std::string documentPath;
    bool reset = false;
};

// Reasons the server gives in bits 4-7 of an Error status.
enum Reason : uint8_t {
    REASON_NONE = 0,
    REASON_CHECKSUM = 1,
    REASON_SIZE = 2,
    REASON_UNKNOWN_JOB = 3,
    REASON_VERIFY = 4,
    REASON_STORAGE = 5,
};

class JobStore {
public:
    using Listener = std::function<void(const std::string& uid, const Job& job)>;
    JobStore(std::string storage, Listener listener) : m_storage(std::move(storage)), m_listener(std::move(listener)) {}
    ~JobStore();

    bool announce(const wire::Request& xfer, std::string* why);
    // Stores a chunk; returns the status value for the answer.
    uint8_t addChunk(const wire::Request& chunk, const std::string& data, std::string* note);
    // The PING answer for a job; unknown jobs (probes) are OK.
    uint8_t pingStatus(const std::string& uid);
    void reset(const std::string& uid);
    bool snapshot(const std::string& uid, Job* out);

private:
    void verify(std::string uid);
    void publish(const std::string& uid, const Job& job);

    std::string m_storage;
    Listener m_listener;
    std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<Job>> m_jobs;
    std::vector<std::thread> m_workers;
};

bool isSafeUid(const std::string& uid);
