#include "serverfixture.h"
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

std::string le(uint64_t value, int width) {
    std::string out;
    for (int i = 0; i < width; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return out;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string hex(const std::string& bytes) {
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

std::string tempDir() {
    char pattern[] = "/tmp/rpqserver-test-XXXXXX";
    return mkdtemp(pattern);
}

int sh(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ServerProcess::ServerProcess(std::vector<std::string> extraArgs, bool https) : m_https(https) {
    m_dir = tempDir();
    m_storage = m_dir + "/storage";
    m_journal = m_dir + "/journal";
    std::string portFile = m_dir + "/port";
    if (https)
        sh("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout " + m_dir + "/key.pem -out " +
           m_dir + "/cert.pem >/dev/null 2>&1");
    std::vector<std::string> args = {RPQSERVER_EXE, "--port", "0", "--port-file", portFile, "--storage", m_storage,
                                     "--journal", m_journal};
    if (https) args.insert(args.end(), {"--cert", m_dir + "/cert.pem", "--key", m_dir + "/key.pem"});
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    m_pid = fork();
    if (m_pid == 0) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        FILE* log = freopen((m_dir + "/server.log").c_str(), "w", stdout);
        (void)log;
        execv(argv[0], argv.data());
        _exit(127);
    }
    for (int i = 0; i < 200 && m_port == 0; ++i) {
        std::ifstream in(portFile);
        if (!(in >> m_port)) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
}

ServerProcess::~ServerProcess() {
    stop();
    sh("rm -rf " + m_dir);
}

int ServerProcess::stop() {
    if (m_pid <= 0) return -1;
    kill(m_pid, SIGTERM);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ServerProcess::url(const std::string& path) const {
    return std::string(m_https ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + "/" + path;
}

namespace {
CurlResult runCurl(const std::string& dir, const std::string& args) {
    static int counter = 0;
    std::string out = dir + "/curl-out-" + std::to_string(++counter);
    CurlResult result;
    std::string command = "curl -s -k -o " + out + " -w '%{http_code}' " + args + " > " + out + ".status";
    result.exitCode = sh(command);
    result.httpStatus = atoi(readAll(out + ".status").c_str());
    result.body = readAll(out);
    return result;
}
}  // namespace

CurlResult ServerProcess::post(const std::string& message, const std::string* chunk, const std::string& chunkName,
                               const std::string& extraCurl) const {
    static int counter = 0;
    std::string base = m_dir + "/post-" + std::to_string(++counter);
    writeAll(base + ".msg", message);
    std::string args = "-F 'message=@" + base + ".msg;filename=message.dat;type=application/octet-stream' ";
    if (chunk) {
        writeAll(base + ".chunk", *chunk);
        args += "-F 'chunk=@" + base + ".chunk;filename=" + chunkName + ";type=application/octet-stream' ";
    }
    return runCurl(m_dir, args + extraCurl + " '" + url() + "'");
}

CurlResult ServerProcess::get(const std::string& pathAndQuery) const { return runCurl(m_dir, "'" + url(pathAndQuery) + "'"); }

std::vector<nlohmann::json> ServerProcess::journalLines(const std::string& file) const {
    std::vector<nlohmann::json> lines;
    std::istringstream in(readAll(m_journal + "/" + file));
    std::string line;
    while (std::getline(in, line)) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

namespace {
std::string header(uint8_t type, uint32_t seq, const std::string& uid) {
    return le(type, 1) + le(seq, 4) + le(uid.size(), 1) + uid;
}
}  // namespace

std::string utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string pingMessage(uint32_t seq, const std::string& uid) { return header(4, seq, uid); }
std::string resetMessage(uint32_t seq, const std::string& uid) { return header(3, seq, uid); }

std::string chunkMessage(uint32_t seq, const std::string& uid, uint32_t current, uint32_t next, uint64_t size,
                         const std::string& md5) {
    return header(2, seq, uid) + le(current, 4) + le(next, 4) + le(size, 8) + md5;
}

std::string xferMessage(uint32_t seq, const std::string& uid, uint64_t size, uint32_t chunks, const std::string& md5,
                        const std::string& filename) {
    std::string host = utf16("HOST1"), user = utf16("alice"), domain = utf16("WORKGROUP"), file = utf16(filename);
    return header(1, seq, uid) + le(size, 8) + le(chunks, 4) + md5 + le(1, 1) + le(5, 1) + le(2, 4) + le(3, 4) +
           le(host.size(), 1) + host + le(user.size(), 1) + user + le(domain.size(), 1) + domain + le(file.size(), 2) +
           file + le(2, 1) + le(4, 1) + "MID1";
}
