// The reference workflow server: routes, message handling and faults.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include "jobs.h"
#include "journal.h"
#include "scenario.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

struct ServerOptions {
    std::string bind = "127.0.0.1";
    int port = 8080;  // 0: any free port
    std::string storage = "rpq-storage";
    std::string journal;  // empty: none
    bool keepBodies = true;  // raw bodies beside the journal
    std::string prefix;   // path prefix before the action names
    std::string transferAction = "FDXS_Transfer";
    std::string interactionAction = "FDXS_Interaction";
    std::string cert, key;  // both set: HTTPS
    size_t maxBody = 64u << 20;
    bool quiet = false;
};

class RpqServer {
public:
    RpqServer(ServerOptions options, Scenario& scenario);
    ~RpqServer();
    bool start(std::string* why);  // binds; then run() serves
    void run();
    void stop();
    int port() const { return m_port; }
    std::string baseUrl() const;

private:
    void handleTransfer(const httplib::Request& req, httplib::Response& res);
    void handleInteraction(const httplib::Request& req, httplib::Response& res);
    void refuse(httplib::Response& res, int status, const std::string& why, unsigned number);
    void log(const std::string& line);
    std::string actionPath(const std::string& action) const;

    ServerOptions m_options;
    Scenario& m_scenario;
    Journal m_journal;
    JobStore m_jobs;
    std::unique_ptr<httplib::Server> m_server;
    std::atomic<unsigned> m_requests{0};
    std::atomic<bool> m_stopping{false};
    int m_port = 0;
};
