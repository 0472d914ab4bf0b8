#include "jobs.h"
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include "digest.h"

namespace fs = std::filesystem;

const char* jobStateName(JobState state) {
    switch (state) {
    case JobState::Receiving: return "receiving";
    case JobState::Verifying: return "verifying";
    case JobState::Verified: return "verified";
    case JobState::Failed: return "failed";
    }
    return "?";
}

bool isSafeUid(const std::string& uid) {
    if (uid.empty() || uid.size() > 64) return false;
    for (char c : uid)
        if (!isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

namespace {
std::string chunkName(const std::string& uid, uint32_t number) {
    char suffix[16];
    snprintf(suffix, sizeof(suffix), ".%03u", number);
    return uid + suffix;
}

// Runs argv without a shell; true on exit code 0.
bool run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string sevenZipProgram() {
    for (const char* name : {"7zz", "7z", "7za"}) {
        for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"}) {
            std::string path = std::string(dir) + name;
            if (access(path.c_str(), X_OK) == 0) return path;
        }
    }
    return {};
}
}  // namespace

JobStore::~JobStore() {
    for (std::thread& t : m_workers)
        if (t.joinable()) t.join();
}

void JobStore::publish(const std::string& uid, const Job& job) {
    if (m_listener) m_listener(uid, job);
}

bool JobStore::announce(const wire::Request& xfer, std::string* why) {
    auto job = std::make_shared<Job>();
    job->xfer = xfer;
    job->dir = m_storage + "/" + xfer.uid;
    std::error_code ec;
    fs::remove_all(job->dir, ec);
    fs::create_directories(job->dir, ec);
    if (ec) {
        *why = "cannot create " + job->dir + ": " + ec.message();
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_jobs[xfer.uid] = job;
    publish(xfer.uid, *job);
    return true;
}

uint8_t JobStore::addChunk(const wire::Request& chunk, const std::string& data, std::string* note) {
    std::shared_ptr<Job> job;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_jobs.find(chunk.uid);
        if (it != m_jobs.end()) job = it->second;
    }
    if (!job) {
        *note = "no XFER announced " + chunk.uid;
        return wire::statusValue(wire::ERROR, REASON_UNKNOWN_JOB);
    }
    if (data.size() != chunk.size) {
        *note = "chunk " + std::to_string(chunk.currentChunk) + " has " + std::to_string(data.size()) +
                " bytes, the message says " + std::to_string(chunk.size);
        return wire::statusValue(wire::ERROR, REASON_SIZE);
    }
    if (md5Of(data) != chunk.checksum) {
        *note = "chunk " + std::to_string(chunk.currentChunk) + " fails its MD5 checksum";
        return wire::statusValue(wire::ERROR, REASON_CHECKSUM);
    }
    std::ofstream out(job->dir + "/" + chunkName(chunk.uid, chunk.currentChunk), std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) {
        *note = "cannot store chunk " + std::to_string(chunk.currentChunk);
        return wire::statusValue(wire::ERROR, REASON_STORAGE);
    }
    out.close();
    bool complete = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!job->chunks.count(chunk.currentChunk)) job->bytesReceived += data.size();
        job->chunks[chunk.currentChunk] = data.size();
        complete = job->state == JobState::Receiving && job->xfer.noOfChunks > 0 &&
                   job->chunks.size() == job->xfer.noOfChunks && job->chunks.rbegin()->first == job->xfer.noOfChunks;
        if (complete) job->state = JobState::Verifying;
        publish(chunk.uid, *job);
        if (complete) m_workers.emplace_back(&JobStore::verify, this, chunk.uid);
    }
    return wire::statusValue(wire::OK);
}

void JobStore::verify(std::string uid) {
    std::shared_ptr<Job> job;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        job = m_jobs[uid];
    }
    std::string archive = job->dir + "/" + uid + ".7z";
    std::string reason;
    std::string documentPath;
    {
        std::ofstream out(archive, std::ios::binary | std::ios::trunc);
        for (uint32_t n = 1; n <= job->xfer.noOfChunks && out; ++n) {
            std::ifstream in(job->dir + "/" + chunkName(uid, n), std::ios::binary);
            out << in.rdbuf();
        }
        if (!out) reason = "cannot rebuild the archive";
    }
    std::string program = sevenZipProgram();
    std::string extractDir = job->dir + "/document";
    if (reason.empty() && program.empty()) reason = "no 7z program to extract the archive";
    if (reason.empty() && !run({program, "x", "-y", "-bd", "-o" + extractDir, archive}))
        reason = "the archive does not extract";
    if (reason.empty()) {
        std::vector<fs::path> items;
        std::error_code ec;
        for (auto& entry : fs::recursive_directory_iterator(extractDir, ec)) items.push_back(entry.path());
        if (items.size() != 1 || !fs::is_regular_file(items[0]))
            reason = "the archive holds " + std::to_string(items.size()) + " items, not one file";
        else
            documentPath = items[0].string();
    }
    if (reason.empty()) {
        std::string digest;
        unsigned long long size = 0;
        if (!md5OfFile(documentPath, &digest, &size)) reason = "cannot read the extracted document";
        else if (size != job->xfer.size)
            reason = "document has " + std::to_string(size) + " bytes, XFER said " + std::to_string(job->xfer.size);
        else if (digest != job->xfer.checksum)
            reason = "document MD5 " + wire::toHex(digest) + " differs from XFER's " + wire::toHex(job->xfer.checksum);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    job->state = reason.empty() ? JobState::Verified : JobState::Failed;
    job->reason = reason;
    job->documentPath = documentPath;
    publish(uid, *job);
}

uint8_t JobStore::pingStatus(const std::string& uid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_jobs.find(uid);
    if (it == m_jobs.end()) return wire::statusValue(wire::OK);
    switch (it->second->state) {
    case JobState::Receiving: return wire::statusValue(wire::OK);  // go on sending
    case JobState::Verifying: return wire::statusValue(wire::WAIT);
    case JobState::Verified: return wire::statusValue(wire::OK);
    case JobState::Failed: return wire::statusValue(wire::ERROR, REASON_VERIFY);
    }
    return wire::statusValue(wire::OK);
}

void JobStore::reset(const std::string& uid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_jobs.find(uid);
    if (it == m_jobs.end()) return;
    it->second->reset = true;
    publish(uid, *it->second);
}

bool JobStore::snapshot(const std::string& uid, Job* out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_jobs.find(uid);
    if (it == m_jobs.end()) return false;
    *out = *it->second;
    return true;
}
