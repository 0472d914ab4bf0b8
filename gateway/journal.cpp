#include "gateway/journal.h"
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include "gateway/text.h"

namespace {

bool writeSynced(const std::string& path, const std::string& data) {
    std::string temp = path + ".new";
    unlink(temp.c_str());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool ok = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()) && fsync(fd) == 0;
    close(fd);
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) unlink(temp.c_str());
    return ok;
}

// A second name for PAPPL's spool file where both are on one file system
// (the spool lives in the state folder); a copy elsewhere. Synced either way.
bool keepSynced(const std::string& source, const std::string& target) {
    unlink(target.c_str());
    if (link(source.c_str(), target.c_str()) == 0) {
        int fd = open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        struct stat st = {};
        bool ok = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && fsync(fd) == 0;
        if (fd >= 0) close(fd);
        if (ok) return true;
        unlink(target.c_str());
    }
    int in = open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) return false;
    unlink(target.c_str());
    int out = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out < 0) {
        close(in);
        return false;
    }
    std::vector<char> block(1 << 20);
    bool ok = true;
    for (;;) {
        ssize_t got = read(in, block.data(), block.size());
        if (got < 0) ok = false;
        if (got <= 0) break;
        if (write(out, block.data(), static_cast<size_t>(got)) != got) {
            ok = false;
            break;
        }
    }
    ok = ok && fsync(out) == 0;
    close(in);
    close(out);
    if (!ok) unlink(target.c_str());
    return ok;
}

std::string hexOf(const std::vector<uint8_t>& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += kHex[b >> 4];
        s += kHex[b & 15];
    }
    return s;
}

bool bytesOf(const std::string& hex, std::vector<uint8_t>* bytes) {
    if (hex.size() % 2 || hex.size() > 128) return false;
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        auto nibble = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
        int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes->push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

bool validUid(const std::string& uid) {
    if (uid.size() != 10) return false;
    for (char c : uid)
        if (!strchr(rpqgateUidAlphabet(), c) || c == 0) return false;
    return true;
}

}  // namespace

std::string recordText(const GatewayJob& job) {
    std::ostringstream out;
    out << "uid=" << job.uid << "\n"
        << "printer=" << job.printer << "\n"
        << "user=" << escapeLine(toUtf8(job.user)) << "\n"
        << "host=" << escapeLine(toUtf8(job.host)) << "\n"
        << "domain=" << escapeLine(toUtf8(job.domain)) << "\n"
        << "domainKind=" << static_cast<unsigned>(job.domainKind) << "\n"
        << "document=" << escapeLine(toUtf8(job.documentName)) << "\n"
        << "machineId=" << hexOf(job.machineId) << "\n"
        << "pages=" << job.pages << "\n"
        << "copies=" << job.copies << "\n"
        << "end=1\n";
    return out.str();
}

bool parseRecord(const std::string& text, GatewayJob& job) {
    std::istringstream in(text);
    std::string line;
    bool ended = false;
    auto number = [](const std::string& v, uint32_t max, uint32_t* out) {
        if (v.empty() || v.size() > 10 || v.find_first_not_of("0123456789") != std::string::npos) return false;
        unsigned long long n = strtoull(v.c_str(), nullptr, 10);
        if (n > max) return false;
        *out = static_cast<uint32_t>(n);
        return true;
    };
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) return false;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1), plain;
        uint32_t n = 0;
        if (key == "uid") {
            if (!validUid(value)) return false;
            job.uid = value;
        } else if (key == "printer") {
            job.printer = value;
        } else if (key == "user" || key == "host" || key == "domain" || key == "document") {
            if (!unescapeLine(value, &plain)) return false;
            std::u16string wide = fromUtf8(plain);
            if (key == "user") job.user = wide;
            else if (key == "host") job.host = wide;
            else if (key == "domain") job.domain = wide;
            else job.documentName = wide;
        } else if (key == "domainKind") {
            if (!number(value, 255, &n)) return false;
            job.domainKind = static_cast<uint8_t>(n);
        } else if (key == "machineId") {
            if (!bytesOf(value, &job.machineId)) return false;
        } else if (key == "pages") {
            if (!number(value, UINT32_MAX, &job.pages)) return false;
        } else if (key == "copies") {
            if (!number(value, UINT32_MAX, &job.copies)) return false;
        } else if (key == "end") {
            ended = true;
        } else {
            return false;
        }
    }
    return ended && !job.uid.empty() && !job.printer.empty();
}

bool journalJob(const std::string& jobsDir, const std::string& source, GatewayJob& job, std::string* why) {
    job.workDir = jobsDir;
    job.documentPath = jobsDir + "/" + job.uid + ".doc";
    if (!keepSynced(source, job.documentPath)) {
        *why = "the document could not be kept in " + jobsDir;
        return false;
    }
    if (!writeSynced(jobsDir + "/" + job.uid + ".job", recordText(job))) {
        unlink(job.documentPath.c_str());
        *why = "the job's record could not be written in " + jobsDir;
        return false;
    }
    return true;
}

void forgetJob(const GatewayJob& job) {
    for (const char* ext : {".job", ".doc", ".7z"}) unlink((job.workDir + "/" + job.uid + ext).c_str());
}

std::vector<GatewayJob> pendingJobs(const std::string& jobsDir) {
    std::vector<std::pair<time_t, GatewayJob>> found;
    DIR* dir = opendir(jobsDir.c_str());
    if (!dir) return {};
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() != 14 || name.compare(10, 4, ".job") != 0) continue;
        std::string path = jobsDir + "/" + name;
        struct stat st = {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 64 * 1024) continue;
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        GatewayJob job;
        struct stat doc = {};
        std::string docPath = jobsDir + "/" + name.substr(0, 10) + ".doc";
        if (!parseRecord(text.str(), job) || job.uid != name.substr(0, 10) || lstat(docPath.c_str(), &doc) != 0 ||
            !S_ISREG(doc.st_mode)) {
            rename(path.c_str(), (path + ".bad").c_str());
            continue;
        }
        job.workDir = jobsDir;
        job.documentPath = docPath;
        found.emplace_back(st.st_mtime, job);
    }
    closedir(dir);
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<GatewayJob> jobs;
    for (auto& f : found) jobs.push_back(f.second);
    return jobs;
}
