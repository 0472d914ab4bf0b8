// The run's journal: JSON lines that tests read.
//   requests.jsonl  one line per request, with its raw body in body-NNNNNN.bin
//   jobs.jsonl      one line per change of a job's state
#pragma once
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;

class Journal {
public:
    bool open(const std::string& dir, bool keepBodies, std::string* why);
    // Stores the body and returns its file name ("" without a journal).
    std::string saveBody(unsigned number, const std::string& body);
    void request(const Json& line);
    void job(const Json& line);

private:
    std::mutex m_mutex;
    std::string m_dir;
    bool m_keepBodies = true;
    std::ofstream m_requests, m_jobs;
};
