#include "journal.h"
#include <cstdio>
#include <sys/stat.h>

namespace {
// One line; bytes that are not UTF-8 become U+FFFD rather than failing.
std::string line(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }
}  // namespace

bool Journal::open(const std::string& dir, bool keepBodies, std::string* why) {
    mkdir(dir.c_str(), 0755);
    m_dir = dir;
    m_keepBodies = keepBodies;
    m_requests.open(dir + "/requests.jsonl", std::ios::app);
    m_jobs.open(dir + "/jobs.jsonl", std::ios::app);
    if (!m_requests || !m_jobs) {
        *why = "cannot write the journal in " + dir;
        return false;
    }
    return true;
}

std::string Journal::saveBody(unsigned number, const std::string& body) {
    if (m_dir.empty() || !m_keepBodies) return {};
    char name[32];
    snprintf(name, sizeof(name), "body-%06u.bin", number);
    std::ofstream out(m_dir + "/" + name, std::ios::binary);
    out.write(body.data(), static_cast<std::streamsize>(body.size()));
    return name;
}

void Journal::request(const Json& value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_requests.is_open()) m_requests << line(value) << "\n" << std::flush;
}

void Journal::job(const Json& value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_jobs.is_open()) m_jobs << line(value) << "\n" << std::flush;
}
