// The run's journal: JSON lines that tests read.
//   requests.jsonl  one line per request, with its raw body in body-NNNNNN.bin
//   jobs.jsonl      one line per change of a job's state
#pragma once
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

std::string jsonEscape(const std::string& text);

// Builds one JSON object, field by field.
class JsonObject {
public:
    JsonObject& add(const std::string& key, const std::string& value);
    JsonObject& add(const std::string& key, const char* value) { return add(key, std::string(value)); }
    JsonObject& add(const std::string& key, uint64_t value);
    JsonObject& add(const std::string& key, int value) { return add(key, static_cast<uint64_t>(value)); }
    JsonObject& add(const std::string& key, unsigned value) { return add(key, static_cast<uint64_t>(value)); }
    JsonObject& add(const std::string& key, bool value);
    JsonObject& raw(const std::string& key, const std::string& json);
    std::string str() const { return "{" + m_body + "}"; }

private:
    void key(const std::string& k);
    std::string m_body;
};

class Journal {
public:
    bool open(const std::string& dir, std::string* why);
    // Stores the body and returns its file name ("" without a journal).
    std::string saveBody(unsigned number, const std::string& body);
    void request(const std::string& json);
    void job(const std::string& json);

private:
    std::mutex m_mutex;
    std::string m_dir;
    std::ofstream m_requests, m_jobs;
};
