// Starts rpqserver as a child process and talks to it with curl.
#pragma once
#include <sys/types.h>
#include <cstdint>
#include <string>
#include <nlohmann/json.hpp>
#include <vector>

std::string le(uint64_t value, int width);
std::string readAll(const std::string& path);
void writeAll(const std::string& path, const std::string& bytes);
std::string hex(const std::string& bytes);
std::string tempDir();
int sh(const std::string& command);

struct CurlResult {
    int exitCode = -1;
    int httpStatus = 0;
    std::string body;
};

class ServerProcess {
public:
    explicit ServerProcess(std::vector<std::string> extraArgs = {}, bool https = false);
    ~ServerProcess();
    int stop();  // SIGTERM; the exit code
    std::string url(const std::string& path = "FDXS_Transfer") const;
    // POSTs the message (and the chunk file) as multipart/form-data.
    CurlResult post(const std::string& message, const std::string* chunk = nullptr,
                    const std::string& chunkName = "chunk.001", const std::string& extraCurl = "") const;
    CurlResult get(const std::string& pathAndQuery) const;
    std::vector<nlohmann::json> journalLines(const std::string& file = "requests.jsonl") const;
    const std::string& dir() const { return m_dir; }
    const std::string& storage() const { return m_storage; }
    int port() const { return m_port; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
    bool m_https = false;
    std::string m_dir, m_storage, m_journal;
};

// Messages built byte by byte.
std::string pingMessage(uint32_t seq, const std::string& uid);
std::string resetMessage(uint32_t seq, const std::string& uid);
std::string chunkMessage(uint32_t seq, const std::string& uid, uint32_t current, uint32_t next, uint64_t size,
                         const std::string& md5);
std::string xferMessage(uint32_t seq, const std::string& uid, uint64_t size, uint32_t chunks, const std::string& md5,
                        const std::string& filename);
std::string utf16(const std::string& ascii);
