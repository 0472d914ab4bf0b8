#include "journal.h"
#include <cstdio>
#include <sys/stat.h>

std::string jsonEscape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                snprintf(buf, sizeof(buf), "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

void JsonObject::key(const std::string& k) {
    if (!m_body.empty()) m_body += ",";
    m_body += "\"" + jsonEscape(k) + "\":";
}

JsonObject& JsonObject::add(const std::string& k, const std::string& value) {
    key(k);
    m_body += "\"" + jsonEscape(value) + "\"";
    return *this;
}

JsonObject& JsonObject::add(const std::string& k, uint64_t value) {
    key(k);
    m_body += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::add(const std::string& k, bool value) {
    key(k);
    m_body += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::raw(const std::string& k, const std::string& json) {
    key(k);
    m_body += json;
    return *this;
}

bool Journal::open(const std::string& dir, std::string* why) {
    mkdir(dir.c_str(), 0755);
    m_dir = dir;
    m_requests.open(dir + "/requests.jsonl", std::ios::app);
    m_jobs.open(dir + "/jobs.jsonl", std::ios::app);
    if (!m_requests || !m_jobs) {
        *why = "cannot write the journal in " + dir;
        return false;
    }
    return true;
}

std::string Journal::saveBody(unsigned number, const std::string& body) {
    if (m_dir.empty()) return {};
    char name[32];
    snprintf(name, sizeof(name), "body-%06u.bin", number);
    std::ofstream out(m_dir + "/" + name, std::ios::binary);
    out.write(body.data(), static_cast<std::streamsize>(body.size()));
    return name;
}

void Journal::request(const std::string& json) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_requests.is_open()) m_requests << json << "\n" << std::flush;
}

void Journal::job(const std::string& json) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_jobs.is_open()) m_jobs << json << "\n" << std::flush;
}
