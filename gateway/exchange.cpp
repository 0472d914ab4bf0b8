#include "gateway/exchange.h"
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <memory>
#include "protocol/chunkplan.h"
#include "protocol/codec.h"
#include "protocol/multipart.h"

namespace {

// The body as three pieces: head (message part and chunk headers), the
// archive's range, the closing boundary.
struct BodySource {
    std::string head;
    int fd = -1;
    uint64_t offset = 0;
    uint64_t left = 0;
    std::string tail;
    size_t headSent = 0;
    size_t tailSent = 0;
    bool failed = false;
};

size_t readBody(char* buffer, size_t size, size_t count, void* data) {
    BodySource& body = *static_cast<BodySource*>(data);
    size_t room = size * count;
    size_t fill = 0;
    if (body.headSent < body.head.size()) {
        size_t n = std::min(room, body.head.size() - body.headSent);
        memcpy(buffer, body.head.data() + body.headSent, n);
        body.headSent += n;
        fill += n;
    }
    while (fill < room && body.left > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(room - fill, body.left));
        ssize_t got = pread(body.fd, buffer + fill, want, static_cast<off_t>(body.offset));
        if (got <= 0) {  // a body shorter than its length would hold the exchange
            body.failed = true;
            return CURL_READFUNC_ABORT;
        }
        fill += static_cast<size_t>(got);
        body.offset += static_cast<uint64_t>(got);
        body.left -= static_cast<uint64_t>(got);
    }
    if (fill < room && body.left == 0 && body.tailSent < body.tail.size()) {
        size_t n = std::min(room - fill, body.tail.size() - body.tailSent);
        memcpy(buffer + fill, body.tail.data() + body.tailSent, n);
        body.tailSent += n;
        fill += n;
    }
    return fill;
}

struct AnswerSink {
    std::vector<uint8_t>* answer;
};

size_t writeAnswer(char* data, size_t size, size_t count, void* user) {
    AnswerSink& sink = *static_cast<AnswerSink*>(user);
    size_t n = size * count;
    size_t room = rpqproto::kAnswerCapacity - 1 - std::min(sink.answer->size(), rpqproto::kAnswerCapacity - 1);
    sink.answer->insert(sink.answer->end(), data, data + std::min(n, room));
    return n;  // the rest is read and dropped, as the print processor does
}

int progress(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* cancelled = static_cast<const std::function<bool()>*>(data);
    return (*cancelled && (*cancelled)()) ? 1 : 0;
}

}  // namespace

bool bodyHead(const std::string& boundary, const uint8_t* message, size_t length, const std::string* chunkName,
              std::string* head) {
    *head = rpqproto::messagePartHead(boundary);
    head->append(reinterpret_cast<const char*>(message), length);
    if (!chunkName) return true;
    std::string chunkHead;
    if (!rpqproto::chunkPartHead(boundary, *chunkName, &chunkHead)) return false;
    *head += chunkHead;
    return true;
}

bool initExchanges() { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }

bool randomUid(size_t length, std::string* uid) {
    std::vector<uint8_t> bytes(length);
    size_t got = 0;
    while (got < length) {
        ssize_t n = getrandom(bytes.data() + got, length - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    uid->clear();
    for (uint8_t b : bytes) *uid += rpqproto::uidCharForByte(b);
    return true;
}

bool postExchange(const PrinterTarget& target, const uint8_t* message, size_t length, const ChunkPart* chunk,
                  std::vector<uint8_t>& answer, const std::function<bool()>& cancelled, std::string* why) {
    answer.clear();
    std::string boundary;
    if (!randomUid(rpqproto::kBoundaryLength, &boundary)) return *why = "no random bytes for a boundary", false;
    BodySource body;
    if (!bodyHead(boundary, message, length, chunk ? &chunk->name : nullptr, &body.head))
        return *why = "a chunk name with a quote", false;
    int fd = -1;
    if (chunk) {
        fd = open(chunk->path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return *why = "cannot open the archive " + chunk->path, false;
        body.fd = fd;
        body.offset = chunk->offset;
        body.left = chunk->length;
    }
    std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) {
        if (*f >= 0) close(*f);
    });
    body.tail = rpqproto::closingBoundary(boundary);
    uint64_t total = body.head.size() + (chunk ? chunk->length : 0) + body.tail.size();

    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) return *why = "no HTTP handle", false;
    std::string address = (target.secure ? "https://" : "http://") +
                          (target.server.find(':') != std::string::npos ? "[" + target.server + "]" : target.server) +
                          ":" + std::to_string(target.port) + target.transferPath;
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(nullptr, curl_slist_free_all);
    curl_slist* list = nullptr;
    list = curl_slist_append(list, ("Content-Type: " + rpqproto::bodyContentType(boundary)).c_str());
    list = curl_slist_append(list, "Connection: close");  // every exchange on a connection of its own
    list = curl_slist_append(list, "Expect:");
    headers.reset(list);
    AnswerSink sink{&answer};
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, address.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(total));
    curl_easy_setopt(h, CURLOPT_READFUNCTION, readBody);
    curl_easy_setopt(h, CURLOPT_READDATA, &body);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_USERAGENT, "RpqHttpPOST");
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeAnswer);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);  // a redirect would post the job where nobody configured
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kExchangeTimeoutSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kExchangeTimeoutSeconds);
    curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024L);
    curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    if (cancelled) {
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, progress);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &cancelled);
    }
    if (target.secure && target.acceptAllCertificates) {
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
        answer.clear();
        *why = body.failed ? "the archive ended early" : curl_easy_strerror(rc);
        return false;
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        answer.clear();
        *why = "HTTP status " + std::to_string(status);
        return false;
    }
    return true;
}
