#include "checks/conformance.h"
#include <wininet.h>
#include <shlobj.h>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>
#include <strsafe.h>
#include "base/module.h"
#include "base/unique.h"
#include "printproc/rawjob/jobstate.h"
#include "storage/chunks.h"
#include "storage/hash.h"
#include "storage/sevenzip.h"
#include "transfer/http.h"
#include "transfer/protocol.h"
#include "transfer/uid.h"

namespace {
// The sections of docs/protocol.md that each expectation checks.
constexpr wchar_t kExchanges[] = L"Exchanges";
constexpr wchar_t kMessages[] = L"Messages (client to server)";
constexpr wchar_t kResponses[] = L"Responses (server to client)";
constexpr wchar_t kAnswers[] = L"What the client does with the answers";
// A job PINGs for as long as the server answers Wait; rpqcheck stops after
// this long and says so, without a verdict on the server.
constexpr int kWaitLimitSeconds = 600;

struct Target {
    std::wstring host, path, interaction;
    INTERNET_PORT port = 0;
    bool secure = false, insecure = false, quick = false;
    DWORD timeoutMs = kExchangeTimeoutMs;
};

std::wstring widen(const char* text) {
    wchar_t wide[64] = {};
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 63);
    return wide;
}

std::wstring typeText(uint32_t type) { return widen(typeName(type)); }

std::wstring hexOf(const BYTE* bytes, size_t count) {
    std::wstring out;
    wchar_t pair[4];
    for (size_t i = 0; i < count; ++i) {
        StringCchPrintfW(pair, 4, L"%02x", bytes[i]);
        out += pair;
    }
    return out;
}

// Where 7z.dll is: beside RPQ.dll (the package's folder, the build), else
// where jobs load it from (RPQ.dll loaded from the spooler's folder).
std::wstring sevenZipDirectory() {
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(rpqModule(), path, MAX_PATH);
    std::wstring dir(path, n);
    size_t slash = dir.find_last_of(L"\\/");
    dir = slash == std::wstring::npos ? std::wstring(L".") : dir.substr(0, slash);
    if (GetFileAttributesW((dir + L"\\7z.dll").c_str()) != INVALID_FILE_ATTRIBUTES) return dir;
    wchar_t programs[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programs)))
        return std::wstring(programs) + L"\\Halvane\\RPQ";
    return dir;
}

// A response as the report shows it.
std::wstring describe(const ProtocolResponse& r) {
    wchar_t text[160];
    StringCchPrintfW(text, 160, L"%s seq %u uid %.10hs", typeText(r.type).c_str(), r.sequenceNo, r.UID);
    std::wstring out = text;
    if (r.type == MSG_RESET) return out;  // a RESET's answer carries no status
    out += L" status " + widen(CFDXSProtocol::statusNameOf(r.value));
    if ((r.value & 3) == 1) out += L" (reason " + std::to_wstring(r.value >> 4) + L")";
    return out;
}

class CConformance {
public:
    CConformance(const Target& target, RpqCheckOutput output, void* context)
        : m_target(target), m_output(output), m_context(context) {}

    int run();

private:
    struct Exchange {
        bool answered = false;  // a response came back and decoded
        bool echoes = false;    // its type, sequence number and UID are the request's
        ProtocolResponse response = {};
        std::wstring what;      // what was sent and what came back
    };

    void line(const std::wstring& text) {
        if (m_output) m_output(m_context, text.c_str());
    }
    void expect(bool ok, const std::wstring& expectation, const std::wstring& detail, const wchar_t* section) {
        line(std::wstring(ok ? L"ok   " : L"FAIL ") + expectation + L": " + detail + L" (docs/protocol.md: " + section + L")");
        (ok ? m_passed : m_failed)++;
    }
    void info(const std::wstring& text) { line(L"info " + text); }
    // An expectation that could not be checked because an earlier one failed.
    void skip(const std::wstring& expectation, const std::wstring& why) {
        line(L"skip " + expectation + L": " + why);
        m_skipped++;
    }
    // The rest of a job's expectations, from step `from` of its steps on.
    void skipJob(const wchar_t* label, size_t chunks, int from, const std::wstring& why);

    bool connect();
    Exchange send(ProtocolRequest& request, const HttpFilePart* chunk = nullptr);
    // The echo expectation of one exchange; true when it holds.
    bool expectEcho(const Exchange& e, const std::wstring& what) {
        expect(e.answered && e.echoes, what + L" is answered, echoing type, sequence number and UID", e.what,
               kResponses);
        return e.answered && e.echoes;
    }
    bool makeJob(const std::wstring& name, size_t size, unsigned seed, std::wstring* dir);
    bool runJob(const wchar_t* label, size_t size, const std::wstring& document, const std::wstring& user,
                bool chunkTwice, std::string* uid);
    bool waitForEnd(ProtocolRequest& ping, const wchar_t* label);
    void checkInteraction(const std::string& uid);
    bool m_interactionChecked = false;

    Target m_target;
    RpqCheckOutput m_output;
    void* m_context;
    int m_passed = 0, m_failed = 0, m_skipped = 0;
    uint32_t m_sequence = 0;
    unique_hinternet m_session, m_connection;
    CJobState m_state;
    // The job being driven: its files and what the XFER announced.
    std::wstring m_dir;
    ChunkSet m_chunks;
    ULONGLONG m_size = 0;
    BYTE m_digest[kDigestSize] = {};
};

bool CConformance::connect() {
    m_session.reset(InternetOpenW(L"RPQ", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!m_session) return false;
    setTimeouts(m_session.get(), m_target.timeoutMs);
    m_connection.reset(InternetConnectW(m_session.get(), m_target.host.c_str(), m_target.port, nullptr, nullptr,
                                        INTERNET_SERVICE_HTTP, 0, 0));
    if (!m_connection) return false;
    setTimeouts(m_connection.get(), m_target.timeoutMs);
    return true;
}

CConformance::Exchange CConformance::send(ProtocolRequest& request, const HttpFilePart* chunk) {
    Exchange e;
    request.sequenceNo = ++m_sequence;
    BYTE message[kMessageBufferSize] = {};
    uint16_t length = 0;
    wchar_t sent[96];
    StringCchPrintfW(sent, 96, L"sent %s seq %u uid %.10hs", typeText(request.type).c_str(), request.sequenceNo,
                     request.UID);
    e.what = sent;
    if (!encodeMessage(request, message, &length)) {
        e.what += L", which could not be encoded";
        return e;
    }
    BYTE buffer[kResponseBufferSize] = {};
    DWORD received = 0;
    ULONGLONG start = GetTickCount64();
    bool posted = httpPost(m_connection.get(), m_target.secure, m_target.insecure, chunk, message, length, buffer,
                           &received, m_target.path.c_str());
    DWORD error = GetLastError();
    wchar_t after[32];
    StringCchPrintfW(after, 32, L"%.1f s", (GetTickCount64() - start) / 1000.0);
    if (!posted && error == ERROR_INTERNET_TIMEOUT) {
        e.what += L", no whole answer within the time-out: timed out after " + std::wstring(after);
        return e;
    }
    if (!posted) {
        e.what += L", no answer (error " + std::to_wstring(error) + L", after " + after + L")";
        return e;
    }
    if (received == 0) {
        e.what += L", got an empty answer (after " + std::wstring(after) + L")";
        return e;
    }
    if (!decodeResponse(e.response, buffer, received)) {
        e.what += L", got " + std::to_wstring(received) + L" bytes that are no response: " +
                  hexOf(buffer, received < 24 ? received : 24) + (received > 24 ? L"..." : L"");
        return e;
    }
    e.answered = true;
    e.echoes = answersRequest(request, e.response);
    e.what += L", got " + describe(e.response);
    return e;
}

// A document of size pseudo-random bytes, its archive and chunks in a folder
// of its own, as a job makes them.
bool CConformance::makeJob(const std::wstring& name, size_t size, unsigned seed, std::wstring* dir) {
    wchar_t temp[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, temp)) return false;
    *dir = std::wstring(temp) + L"rpqcheck-" + name;
    CreateDirectoryW(dir->c_str(), nullptr);
    std::wstring input = *dir + L"\\\\" + name + L".dat", archive = *dir + L"\\\\" + name + L".7z";
    DeleteFileW(archive.c_str());
    {
        unique_hfile file(CreateFileW(input.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        if (!file) return false;
        std::vector<BYTE> block(1 << 20);
        unsigned state = seed;
        for (size_t done = 0; done < size;) {
            size_t n = size - done < block.size() ? size - done : block.size();
            for (size_t i = 0; i < n; ++i) block[i] = static_cast<BYTE>((state = state * 1103515245u + 12345u) >> 16);
            DWORD written = 0;
            if (!WriteFile(file.get(), block.data(), static_cast<DWORD>(n), &written, nullptr) || written != n) return false;
            done += n;
        }
    }
    DWORD chunks = 0;
    m_chunks = ChunkSet();
    return checksumFile(*m_state.hash(), input.c_str(), &m_size, m_digest) &&
           compressFile(sevenZipDirectory().c_str(), dir->c_str(), 1, archive.c_str(), input.c_str()) &&
           createChunkFilename(*m_state.hash(), archive.c_str(), m_chunks, &chunks);
}

bool CConformance::waitForEnd(ProtocolRequest& ping, const wchar_t* label) {
    ULONGLONG start = GetTickCount64();
    int waits = 0;
    for (;;) {
        Exchange e = send(ping);
        if (!e.answered || !e.echoes) return expectEcho(e, std::wstring(L"PING after the last chunk (") + label + L")");
        uint8_t status = e.response.value & 3;
        if (status == 2 && GetTickCount64() - start >= kWaitLimitSeconds * 1000ull) {
            // A job would go on PINGing: no verdict, only what was seen.
            skip(std::wstring(L"PING eventually answers OK after the last chunk (") + label + L")",
                 L"the server still answers Wait after " + std::to_wstring(waits) + L" PINGs in " +
                     std::to_wstring(kWaitLimitSeconds) + L" s, rpqcheck's limit (a job goes on PINGing as long as "
                                                          L"the server answers Wait)");
            return false;
        }
        if (status == 2) {
            if (++waits % 10 == 1) info(std::wstring(label) + L": the server answers PING with Wait (" +
                                        std::to_wstring(waits) + L" so far)");
            Sleep(waits < 10 ? 100 : 500);
            continue;
        }
        expect(status == 0, std::wstring(L"PING eventually answers OK after the last chunk (") + label + L")",
               e.what + L" after " + std::to_wstring(waits) + L" Wait", kAnswers);
        return status == 0;
    }
}

bool CConformance::runJob(const wchar_t* label, size_t size, const std::wstring& document, const std::wstring& user,
                          bool chunkTwice, std::string* uidOut) {
    char uid[11] = {};
    if (!generateUid(uid, 10)) return false;
    wchar_t wideUid[11] = {};
    convertUid(wideUid, 11, uid);
    info(std::wstring(label) + L": preparing a document of " + std::to_wstring(size) + L" bytes as job " + wideUid);
    std::wstring dir;
    bool made = makeJob(wideUid, size, static_cast<unsigned>(size), &dir);
    struct Cleanup {
        std::wstring dir;
        ChunkSet* chunks;
        ~Cleanup() {
            deleteChunkFiles(*chunks);
            WIN32_FIND_DATAW data;
            unique_hfind find(FindFirstFileW((dir + L"\\\\*").c_str(), &data));
            if (find)
                do DeleteFileW((dir + L"\\\\" + data.cFileName).c_str());
                while (FindNextFileW(find.get(), &data));
            find.reset();
            RemoveDirectoryW(dir.c_str());
        }
    } cleanup{dir, &m_chunks};
    if (!made) {
        expect(false, std::wstring(label) + L": the job's archive and chunks are made", L"7-Zip or the file system failed",
               kExchanges);
        return false;
    }

    ProtocolRequest xfer;
    prepareRequest(xfer, uid, MSG_XFER);
    xfer.size = m_size;
    memcpy(xfer.checksum, m_digest, kDigestSize);
    xfer.noOfChunks = static_cast<uint32_t>(m_chunks.chunks.size());
    xfer.noOfPages = 1;
    xfer.noOfCopies = 1;
    DWORD hostSize = MAX_PATH;
    if (!GetComputerNameExW(ComputerNameNetBIOS, xfer.hostname, &hostSize)) StringCchCopyW(xfer.hostname, MAX_PATH, L"RPQCHECK");
    StringCchCopyW(xfer.username, MAX_PATH, user.c_str());
    StringCchCopyW(xfer.domainName, MAX_PATH, L"WORKGROUP");
    xfer.domainKind = 2;
    StringCchCopyW(xfer.filename, MAX_PATH, document.c_str());
    const char machine[] = "00000000-0000-0000-0000-000000000000";
    xfer.machineIdLength = sizeof(machine) - 1;
    memcpy(xfer.machineId, machine, sizeof(machine) - 1);
    size_t count = m_chunks.chunks.size();
    Exchange announced = send(xfer);
    if (!expectEcho(announced, std::wstring(L"XFER (") + label + L")")) {
        skipJob(label, count, 0, L"the XFER was not answered");
        return false;
    }
    uint8_t status = announced.response.value & 3;
    expect(status == 0 || status == 1, std::wstring(L"XFER is answered OK or Error (") + label + L")", announced.what,
           kAnswers);
    if (status != 0) {
        expect(false, std::wstring(label) + L" is accepted", announced.what, kExchanges);
        skipJob(label, count, 1, L"the job was not accepted");
        return false;
    }
    if (uidOut) *uidOut = uid;
    // The browser opens once the XFER is accepted: the page is asked for
    // then, while the server holds the job.
    if (!m_interactionChecked) {
        m_interactionChecked = true;
        checkInteraction(uid);
    }

    for (size_t i = 0; i < count; ++i) {
        const ChunkEntry& chunk = m_chunks.chunks[i];
        for (int copy = 0; copy < (chunkTwice && i == 0 ? 2 : 1); ++copy) {
            ProtocolRequest request;
            prepareRequest(request, uid, MSG_CHUNK);
            request.currentChunk = chunk.number;
            request.nextChunk = i + 1 < count ? chunk.number + 1 : 0;
            request.size = chunk.size;
            memcpy(request.checksum, chunk.digest, kDigestSize);
            HttpFilePart part = {chunk.path, chunk.name, chunk.size};
            line(L"...  " + std::wstring(label) + L": sending part " + std::to_wstring(i + 1) + L" of " +
                 std::to_wstring(count) + L" (" + std::to_wstring(chunk.size) + L" bytes)" + (copy ? L" again" : L""));
            Exchange e = send(request, &part);
            std::wstring what = std::wstring(L"CHUNK ") + std::to_wstring(i + 1) + L" of " + std::to_wstring(count) + L" (" +
                                label + (copy ? L", sent twice" : L"") + L")";
            if (!expectEcho(e, what)) {
                skipJob(label, count, static_cast<int>(i) + 2, L"CHUNK " + std::to_wstring(i + 1) + L" was not answered");
                return false;
            }
            uint8_t chunkStatus = e.response.value & 3;
            if (copy) {
                info(L"a chunk sent twice is answered " + widen(CFDXSProtocol::statusNameOf(e.response.value)) +
                     L" (the protocol leaves it to the server)");
                continue;
            }
            if (chunkStatus == 2) {  // Wait: PING until OK, then the next chunk
                ProtocolRequest ping;
                prepareRequest(ping, uid, MSG_PING);
                if (!waitForEnd(ping, label)) {
                    skipJob(label, count, static_cast<int>(i) + 2, L"the server did not end its Wait");
                    return false;
                }
                continue;
            }
            expect(chunkStatus == 0, what + L" is accepted", e.what, kAnswers);
            if (chunkStatus != 0) {
                skipJob(label, count, static_cast<int>(i) + 2, L"CHUNK " + std::to_wstring(i + 1) + L" was refused");
                return false;
            }
        }
    }
    ProtocolRequest ping;
    prepareRequest(ping, uid, MSG_PING);
    bool verified = waitForEnd(ping, label);
    ProtocolRequest reset;
    prepareRequest(reset, uid, MSG_RESET);
    expectEcho(send(reset), std::wstring(L"RESET (") + label + L")");
    return verified;
}

// A job's steps: 0 XFER, 1 acceptance, 2 .. n+1 its chunks, then the PING
// after the last chunk and the RESET.
void CConformance::skipJob(const wchar_t* label, size_t chunks, int from, const std::wstring& why) {
    std::wstring of = std::wstring(L" (") + label + L")";
    if (from <= 1) skip(std::wstring(label) + L" is accepted", why);
    for (size_t i = from > 2 ? from - 2 : 0; i < chunks; ++i)
        skip(L"CHUNK " + std::to_wstring(i + 1) + L" of " + std::to_wstring(chunks) + of + L" is accepted", why);
    skip(L"PING eventually answers OK after the last chunk" + of, why);
    skip(L"RESET" + of + L" is answered", why);
}

void CConformance::checkInteraction(const std::string& uid) {
    std::wstring path = L"/" + m_target.interaction + L"?uid=" + widen(uid.c_str());
    DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD;
    if (m_target.secure) flags |= INTERNET_FLAG_SECURE | (m_target.insecure ? INTERNET_FLAG_IGNORE_CERT_CN_INVALID : 0);
    unique_hinternet request(HttpOpenRequestW(m_connection.get(), L"GET", path.c_str(), nullptr, nullptr, nullptr, flags, 0));
    bool sent = request && HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0);
    if (request && !sent && GetLastError() == ERROR_INTERNET_INVALID_CA && m_target.insecure) {
        DWORD security = 0, size = sizeof(security);
        InternetQueryOptionW(request.get(), INTERNET_OPTION_SECURITY_FLAGS, &security, &size);
        security |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        InternetSetOptionW(request.get(), INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof(security));
        sent = HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0);
    }
    DWORD code = 0, size = sizeof(code);
    bool answered = sent && HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size,
                                           nullptr);
    expect(answered && code >= 200 && code < 300, L"the interaction page answers for an accepted job",
           L"GET " + path + (answered ? L", HTTP " + std::to_wstring(code) : L", no answer (error " +
                                                                               std::to_wstring(GetLastError()) + L")"),
           kAnswers);
}

int CConformance::run() {
    CJobScope scope(m_state);
    m_state.createFacilities();
    line(std::wstring(L"rpqcheck: ") + (m_target.secure ? L"https://" : L"http://") + m_target.host + L":" +
         std::to_wstring(m_target.port) + m_target.path);
    if (!connect()) {
        expect(false, L"the server can be reached", L"error " + std::to_wstring(GetLastError()), kExchanges);
        return m_failed;
    }
    // The probe: a fresh UID of its own.
    char uid[11] = {};
    generateUid(uid, 10);
    ProtocolRequest probe;
    prepareRequest(probe, uid, MSG_PING);
    Exchange e = send(probe);
    if (!expectEcho(e, L"the probe PING")) {
        line(e.answered ? L"rpqcheck: the server's answer to the probe is not the probe's (see above); nothing more is "
                          L"checked"
                        : L"rpqcheck: the server gives no valid answer to the probe (see above); nothing more is "
                          L"checked");
        line(L"rpqcheck: " + std::to_wstring(m_passed) + L" passed, " + std::to_wstring(m_failed) + L" failed");
        return m_failed;
    }
    info(L"the probe is answered " + widen(CFDXSProtocol::statusNameOf(e.response.value)) +
         L" (jobs go on whatever its status; rpqadmin diagnose reports it)");

    std::string accepted;
    runJob(L"a job of one chunk", 64 * 1024, L"report.txt", L"rpqcheck", false, &accepted);
    if (m_target.quick) info(L"the job of several chunks is left out (--quick)");
    else runJob(L"a job of several chunks", static_cast<size_t>(kChunkSize) + 256 * 1024, L"large.bin", L"rpqcheck", false, nullptr);
    runJob(L"a job with a non-ASCII document name and user", 4096,
           L"\u00dcberpr\u00fcfung_\u043e\u0442\u0447\u0451\u0442_\u5831\u544a\u66f8 \u21165.txt",
           L"Zo\u00eb \u00d8deg\u00e5rd", false, nullptr);
    runJob(L"a job whose first chunk is sent twice", 8192, L"twice.txt", L"rpqcheck", true, nullptr);

    // A PING for a job the server never heard of.
    generateUid(uid, 10);
    ProtocolRequest unknown;
    prepareRequest(unknown, uid, MSG_PING);
    Exchange stranger = send(unknown);
    if (expectEcho(stranger, L"a PING for an unknown job"))
        info(L"a PING for an unknown job is answered " + describe(stranger.response) +
             L" (the protocol leaves it to the server)");

    // A RESET in the middle of a job: after its XFER, before any chunk.
    generateUid(uid, 10);
    ProtocolRequest xfer;
    prepareRequest(xfer, uid, MSG_XFER);
    xfer.size = 1;
    xfer.noOfChunks = 1;
    StringCchCopyW(xfer.filename, MAX_PATH, L"abandoned.txt");
    StringCchCopyW(xfer.username, MAX_PATH, L"rpqcheck");
    Exchange started = send(xfer);
    if (expectEcho(started, L"XFER (a job reset in the middle)")) {
        ProtocolRequest reset;
        prepareRequest(reset, uid, MSG_RESET);
        expectEcho(send(reset), L"RESET in the middle of a job");
        ProtocolRequest after;
        prepareRequest(after, uid, MSG_PING);
        Exchange afterReset = send(after);
        if (afterReset.answered) info(L"a PING after that RESET is answered " + describe(afterReset.response));
    }

    if (!m_interactionChecked) skip(L"the interaction page answers for an accepted job", L"no job was accepted");
    m_state.destroyFacilities();
    info(L"what rpqcheck cannot see: whether the server stored and verified what it acknowledged (the chunks in "
         L"order, their MD5s, the whole document's MD5); check that on the server's side");
    line(L"rpqcheck: " + std::to_wstring(m_passed) + L" passed, " + std::to_wstring(m_failed) + L" failed" +
         (m_skipped ? L", " + std::to_wstring(m_skipped) + L" skipped" : L""));
    return m_failed;
}

bool parseTarget(LPCWSTR url, Target* target) {
    if (!url) return false;
    wchar_t host[256] = {}, path[1024] = {};
    URL_COMPONENTSW parts = {sizeof(parts)};
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 1024;
    if (!InternetCrackUrlW(url, 0, 0, &parts) || !host[0]) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
    target->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    target->host = host;
    target->port = parts.nPort;
    target->path = path[0] ? path : L"/FDXS_Transfer";
    return true;
}
}  // namespace

extern "C" int WINAPI RpqCheckServerW(LPCWSTR url, LPCWSTR interactionPath, DWORD flags, DWORD timeoutSeconds,
                                      RpqCheckOutput output, void* context) {
    try {
        Target target;
        if (!parseTarget(url, &target)) return -1;
        target.insecure = (flags & kCheckInsecure) != 0;
        target.quick = (flags & kCheckQuick) != 0;
        target.interaction = interactionPath && *interactionPath ? interactionPath : L"FDXS_Interaction";
        if (timeoutSeconds) target.timeoutMs = timeoutSeconds * 1000;
        CConformance check(target, output, context);
        return check.run();
    } catch (...) {
        return -1;
    }
}
