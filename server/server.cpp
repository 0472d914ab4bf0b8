#include "server.h"
#include <httplib.h>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include "digest.h"
#include "multipart.h"
#include "wire.h"

namespace {
std::string htmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

Json requestJson(const wire::Request& q) {
    Json o = {{"type", wire::typeName(q.type)}, {"sequenceNo", q.sequenceNo}, {"uid", q.uid}};
    if (q.type == wire::XFER) {
        o["size"] = q.size;
        o["noOfChunks"] = q.noOfChunks;
        o["checksum"] = wire::toHex(q.checksum);
        o["version"] = std::to_string(q.versionMajor) + "." + std::to_string(q.versionMinor);
        o["noOfPages"] = q.noOfPages;
        o["noOfCopies"] = q.noOfCopies;
        o["hostname"] = q.hostname;
        o["username"] = q.username;
        o["domainName"] = q.domainName;
        o["domainKind"] = static_cast<unsigned>(q.domainKind);
        o["filename"] = q.filename;
        o["machineId"] = wire::toHex(q.machineId);
    } else if (q.type == wire::CHUNK) {
        o["currentChunk"] = q.currentChunk;
        o["nextChunk"] = q.nextChunk;
        o["size"] = q.size;
        o["checksum"] = wire::toHex(q.checksum);
    }
    return o;
}

Json jobJson(const std::string& uid, const Job& job) {
    return {{"uid", uid},
            {"state", jobStateName(job.state)},
            {"reason", job.reason},
            {"reset", job.reset},
            {"bytesReceived", job.bytesReceived},
            {"chunksReceived", job.chunks.size()},
            {"noOfChunks", job.xfer.noOfChunks},
            {"documentSize", job.xfer.size},
            {"documentChecksum", wire::toHex(job.xfer.checksum)},
            {"document", job.documentPath},
            {"filename", job.xfer.filename}};
}

const char* kOriginalContentType = "X-Rpq-Original-Content-Type";
const char* kHtml404 = "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1></body></html>";
const char* kHtml500 =
    "<html><head><title>500 Internal Server Error</title></head><body><h1>Internal Server Error</h1></body></html>";
}  // namespace

RpqServer::RpqServer(ServerOptions options, Scenario& scenario)
    : m_options(std::move(options)),
      m_scenario(scenario),
      m_jobs(m_options.storage, [this](const std::string& uid, const Job& job) {
          m_journal.job(jobJson(uid, job));
          if (job.reset) return;  // already told
          if (job.state == JobState::Verified)
              log("job " + uid + " verified: \"" + job.xfer.filename + "\" (" + std::to_string(job.xfer.size) +
                  " bytes, MD5 " + wire::toHex(job.xfer.checksum) + ") stored at " + job.documentPath);
          else if (job.state == JobState::Failed)
              log("job " + uid + " failed verification: " + job.reason);
      }) {}

RpqServer::~RpqServer() { stop(); }

std::string RpqServer::actionPath(const std::string& action) const {
    std::string path = "/";
    if (!m_options.prefix.empty()) path += m_options.prefix + "/";
    return path + action;
}

std::string RpqServer::baseUrl() const {
    return std::string(m_options.cert.empty() ? "http" : "https") + "://" + m_options.bind + ":" + std::to_string(m_port);
}

void RpqServer::log(const std::string& line) {
    if (!m_options.quiet) {
        fprintf(stdout, "[rpqserver] %s\n", line.c_str());
        fflush(stdout);
    }
}

bool RpqServer::start(std::string* why) {
    std::error_code ec;
    std::filesystem::create_directories(m_options.storage, ec);
    if (ec) {
        *why = "cannot create the storage directory " + m_options.storage + ": " + ec.message();
        return false;
    }
    if (!m_options.journal.empty() && !m_journal.open(m_options.journal, m_options.keepBodies, why)) return false;
    if (!m_options.cert.empty() || !m_options.key.empty()) {
        auto ssl = std::make_unique<httplib::SSLServer>(m_options.cert.c_str(), m_options.key.c_str());
        if (!ssl->is_valid()) {
            *why = "cannot use the certificate " + m_options.cert + " with the key " + m_options.key;
            return false;
        }
        m_server = std::move(ssl);
    } else {
        m_server = std::make_unique<httplib::Server>();
    }
    m_server->set_payload_max_length(m_options.maxBody);
    m_server->set_read_timeout(120, 0);
    m_server->set_keep_alive_timeout(1);  // idle clients must not delay a stop
    m_server->set_write_timeout(120, 0);
    // Answers go out at once: a small answer written as status line and body
    // must not wait for the client's delayed acknowledgement.
    m_server->set_tcp_nodelay(true);
    // httplib parses multipart bodies itself and then hides the raw bytes,
    // which the journal keeps: the real Content-Type is set aside before
    // routing, so the body arrives untouched.
    m_server->set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
        auto& r = const_cast<httplib::Request&>(req);
        auto it = r.headers.find("Content-Type");
        if (it != r.headers.end()) {
            r.headers.emplace(kOriginalContentType, it->second);
            r.headers.erase(it);
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    m_server->Post(actionPath(m_options.transferAction),
                   [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
                       std::string body;
                       bool tooBig = false;
                       bool complete = reader([&](const char* data, size_t length) {
                           if (body.size() + length > m_options.maxBody) {
                               tooBig = true;
                               return false;
                           }
                           body.append(data, length);
                           return true;
                       });
                       if (!complete && strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) > m_options.maxBody) tooBig = true;
                       if (tooBig) {
                           refuse(res, 413, "request body over " + std::to_string(m_options.maxBody) + " bytes",
                                  ++m_requests);
                           return;
                       }
                       if (!complete) {
                           refuse(res, 400, "request body incomplete", ++m_requests);
                           return;
                       }
                       httplib::Request copy = req;
                       copy.body = std::move(body);
                       handleTransfer(copy, res);
                   });
    m_server->Get(actionPath(m_options.interactionAction),
                  [this](const httplib::Request& req, httplib::Response& res) { handleInteraction(req, res); });
    m_server->set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) res.set_content(res.status == 404 ? kHtml404 : kHtml500, "text/html");
    });
    if (m_options.port == 0) {
        m_port = m_server->bind_to_any_port(m_options.bind.c_str());
        if (m_port <= 0) {
            *why = "cannot bind " + m_options.bind;
            return false;
        }
    } else {
        if (!m_server->bind_to_port(m_options.bind.c_str(), m_options.port)) {
            *why = "cannot bind " + m_options.bind + ":" + std::to_string(m_options.port);
            return false;
        }
        m_port = m_options.port;
    }
    log("listening on " + baseUrl() + actionPath(m_options.transferAction) + ", jobs land in " + m_options.storage);
    return true;
}

void RpqServer::run() { m_server->listen_after_bind(); }

void RpqServer::stop() {
    m_stopping = true;
    if (m_server) m_server->stop();
}

void RpqServer::refuse(httplib::Response& res, int status, const std::string& why, unsigned number) {
    log("request " + std::to_string(number) + " refused (" + std::to_string(status) + "): " + why);
    m_journal.request({{"n", number}, {"refused", status}, {"why", why}});
    res.status = status;
    res.set_content(why + "\n", "text/plain");
}

void RpqServer::handleTransfer(const httplib::Request& req, httplib::Response& res) {
    unsigned number = ++m_requests;
    std::string bodyFile = m_journal.saveBody(number, req.body);
    std::string contentType = req.get_header_value(kOriginalContentType);
    std::string boundary = boundaryOf(contentType);
    if (boundary.empty()) return refuse(res, 400, "not multipart/form-data: \"" + contentType + "\"", number);
    std::vector<Part> parts;
    std::string why;
    if (!parseMultipart(req.body, boundary, &parts, &why)) return refuse(res, 400, why, number);
    const Part* message = nullptr;
    const Part* chunk = nullptr;
    Json partsJson = Json::array();
    for (const Part& p : parts) {
        if (p.name == "message" && !message) message = &p;
        else if (p.name == "chunk" && !chunk) chunk = &p;
        partsJson.push_back({{"name", p.name},
                             {"filename", p.filename},
                             {"contentType", p.contentType},
                             {"headers", p.headers},
                             {"offset", p.offset},
                             {"size", p.size},
                             {"md5", wire::toHex(md5Of(req.body.substr(p.offset, p.size)))}});
    }
    if (!message) return refuse(res, 400, "no part named \"message\"", number);
    std::string messageBytes = req.body.substr(message->offset, message->size);
    auto decoded = wire::decodeRequest(messageBytes, &why);
    if (!decoded) return refuse(res, 400, "undecodable message: " + why, number);
    wire::Request q = *decoded;
    if ((q.type == wire::XFER || q.type == wire::CHUNK) && !isSafeUid(q.uid))
        return refuse(res, 400, "UID \"" + q.uid + "\" is not alphanumeric", number);
    if (q.type == wire::CHUNK && !chunk) return refuse(res, 400, "CHUNK without a part named \"chunk\"", number);

    Decision decision = m_scenario.decide(q.type, q.uid, q.type == wire::CHUNK ? q.currentChunk : 0);
    wire::Response r;
    r.type = q.type;
    r.sequenceNo = q.sequenceNo;
    r.uid = q.uid;
    std::string note;
    // The job's own answer, unless the scenario overrides it.
    uint8_t value = wire::statusValue(wire::OK);
    bool known = true;
    if (q.type == wire::XFER) {
        if (decision.action == Rule::OK && !m_jobs.announce(q, &note)) value = wire::statusValue(wire::ERROR, REASON_STORAGE);
        if (decision.action == Rule::WRONG_TYPE || decision.action == Rule::WRONG_SEQ ||
            decision.action == Rule::WRONG_UID)
            m_jobs.announce(q, &note);
    } else if (q.type == wire::CHUNK) {
        Job job;
        known = m_jobs.snapshot(q.uid, &job);
        if (!known) return refuse(res, 400, "CHUNK for UID " + q.uid + " that no XFER announced", number);
        // "wait" keeps the chunk (the server is busy, not refusing it); "error" drops it.
        if (decision.action != Rule::ERROR)
            value = m_jobs.addChunk(q, req.body.substr(chunk->offset, chunk->size), &note);
        r.currentChunk = q.currentChunk;
        r.nextChunk = q.nextChunk;
    } else if (q.type == wire::PING) {
        value = m_jobs.pingStatus(q.uid);
    } else if (q.type == wire::RESET) {
        m_jobs.reset(q.uid);
    }
    switch (decision.action) {
    case Rule::ERROR: value = wire::statusValue(wire::ERROR, static_cast<uint8_t>(decision.reason)); break;
    case Rule::WAIT: value = wire::statusValue(wire::WAIT); break;
    case Rule::WRONG_TYPE: r.type = static_cast<uint8_t>(q.type % 4 + 1); break;
    case Rule::WRONG_SEQ: r.sequenceNo = q.sequenceNo + 1; break;
    case Rule::WRONG_UID: r.uid = q.uid.empty() ? "X" : std::string(q.uid.size(), q.uid[0] == 'X' ? 'Y' : 'X'); break;
    default: break;
    }
    r.value = value;
    std::string answer = wire::encodeResponse(r);
    std::string action = "answer";
    if (decision.delayMillis > 0) std::this_thread::sleep_for(std::chrono::milliseconds(decision.delayMillis));
    if (decision.action == Rule::HTML404 || decision.action == Rule::HTML500) {
        res.status = decision.action == Rule::HTML404 ? 404 : 500;
        answer = decision.action == Rule::HTML404 ? kHtml404 : kHtml500;
        res.set_content(answer, "text/html");
        action = "html";
    } else if (decision.action == Rule::SILENT_CLOSE) {
        action = "close";
        res.set_content_provider(1, "application/octet-stream",
                                 [](size_t, size_t, httplib::DataSink&) { return false; });
        answer.clear();
    } else if (decision.action == Rule::DRIBBLE) {
        action = "dribble";
        int pause = decision.holdMillis;
        res.set_chunked_content_provider("application/octet-stream",
                                         [answer, pause, sent = size_t(0)](size_t, httplib::DataSink& sink) mutable {
                                             if (sent == answer.size()) {
                                                 sink.done();
                                                 return true;
                                             }
                                             std::this_thread::sleep_for(std::chrono::milliseconds(pause));
                                             return sink.write(answer.data() + sent++, 1);
                                         });
    } else if (decision.action == Rule::SILENT_HOLD) {
        action = "hold";
        answer.clear();
    } else {
        res.set_content(answer, "application/octet-stream");
    }
    m_journal.request({{"n", number},
                       {"path", req.path},
                       {"contentType", contentType},
                       {"contentLength", req.get_header_value("Content-Length")},
                       {"connection", req.get_header_value("Connection")},
                       {"boundary", boundary},
                       {"bodySize", req.body.size()},
                       {"bodyFile", bodyFile},
                       {"parts", partsJson},
                       {"messageHex", wire::toHex(messageBytes)},
                       {"message", requestJson(q)},
                       {"action", action},
                       {"rules", decision.rules},
                       {"note", note},
                       {"responseHex", wire::toHex(answer)},
                       {"responseValue", static_cast<unsigned>(value)}});
    log("request " + std::to_string(number) + ": " + wire::typeName(q.type) + " seq " + std::to_string(q.sequenceNo) +
        " uid " + q.uid + " -> " + action + " value " + std::to_string(value) + (note.empty() ? "" : " (" + note + ")") +
        (decision.rules.empty() ? "" : " [" + decision.rules + "]"));
    if (decision.action == Rule::SILENT_HOLD) {
        // Hold the connection open without an answer, then drop it.
        for (int waited = 0; waited < decision.holdMillis && !m_stopping; waited += 100)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        res.set_content_provider(1, "application/octet-stream",
                                 [](size_t, size_t, httplib::DataSink&) { return false; });
    }
}

void RpqServer::handleInteraction(const httplib::Request& req, httplib::Response& res) {
    std::string uid = req.get_param_value("uid");
    Job job;
    if (uid.empty() || !m_jobs.snapshot(uid, &job)) {
        res.status = 404;
        res.set_content("<html><head><title>Unknown job</title></head><body><h1>Unknown job</h1><p>No job with UID " +
                            htmlEscape(uid) + ".</p></body></html>",
                        "text/html");
        return;
    }
    const wire::Request& x = job.xfer;
    auto row = [](const std::string& k, const std::string& v) {
        return "<tr><th>" + htmlEscape(k) + "</th><td>" + htmlEscape(v) + "</td></tr>";
    };
    std::string html = "<html><head><title>RPQ job " + htmlEscape(uid) + "</title></head><body><h1>Job " +
                       htmlEscape(uid) + "</h1><table>" + row("Host", x.hostname) + row("User", x.username) +
                       row(x.domainKind == 1 ? "Domain" : "Workgroup", x.domainName) + row("Document", x.filename) +
                       row("Pages", std::to_string(x.noOfPages)) + row("Copies", std::to_string(x.noOfCopies)) +
                       row("State", jobStateName(job.state)) + "</table></body></html>";
    res.set_content(html, "text/html");
}
