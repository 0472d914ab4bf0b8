#include "protocol/multipart.h"

namespace rpqproto {

std::string bodyContentType(const std::string& boundary) { return "multipart/form-data; boundary=" + boundary; }

std::string boundaryLine(const std::string& boundary) { return "--" + boundary + "\r\n"; }

std::string messagePartHead(const std::string& boundary) {
    return boundaryLine(boundary) + kMessageDisposition + kPartContentType;
}

bool chunkPartHead(const std::string& boundary, const std::string& chunkName, std::string* head) {
    if (chunkName.find_first_of("\"\r\n") != std::string::npos) return false;
    *head = "\r\n" + boundaryLine(boundary) + "Content-Disposition: form-data; name=\"chunk\"; filename=\"" +
            chunkName + "\"\r\n" + kPartContentType;
    return true;
}

std::string closingBoundary(const std::string& boundary) { return "\r\n--" + boundary + "--\r\n"; }

uint64_t bodyLength(const std::string& boundary, size_t messageLength, const std::string* chunkName,
                    uint64_t chunkSize) {
    uint64_t total = messagePartHead(boundary).size() + messageLength + closingBoundary(boundary).size();
    std::string head;
    if (chunkName && chunkPartHead(boundary, *chunkName, &head)) total += head.size() + chunkSize;
    return total;
}

}  // namespace rpqproto
