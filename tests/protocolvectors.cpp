// The print processor's wire bytes for the shared cases: compared with the
// gateway's by gateway/tests/protocol_bytes.sh.
#include <cstring>
#include <string>
#include "protocol/multipart.h"
#include "tests/protocolcases.h"
#include "transfer/http.h"
#include "transfer/protocol.h"

int main() {
    for (int n = 0; n < kProtocolCases; ++n) {
        ProtocolCase c = protocolCase(n);
        std::wstring user(c.user.begin(), c.user.end()), host(c.host.begin(), c.host.end()),
            domain(c.domain.begin(), c.domain.end()), document(c.document.begin(), c.document.end());
        ProtocolRequest request;
        // As the transfer's INITIATION fills it.
        prepareRequest(request, c.uid, MSG_XFER);
        request.sequenceNo = 1000 + n;
        request.size = c.size;
        for (int i = 0; i < 16; ++i) request.checksum[i] = static_cast<BYTE>(i * 17 + n);
        request.noOfChunks = c.chunks;
        request.noOfPages = c.pages;
        request.noOfCopies = c.copies;
        wcsncpy(request.hostname, host.c_str(), MAX_PATH - 1);
        wcsncpy(request.username, user.c_str(), MAX_PATH - 1);
        wcsncpy(request.domainName, domain.c_str(), MAX_PATH - 1);
        request.domainKind = c.domainKind;
        wcsncpy(request.filename, document.c_str(), MAX_PATH - 1);
        size_t id = c.machineId.size() < 64 ? c.machineId.size() : 64;
        request.machineIdLength = static_cast<uint8_t>(id);
        memcpy(request.machineId, c.machineId.data(), id);
        BYTE message[kMessageBufferSize] = {};
        uint16_t length = 0;
        encodeMessage(request, message, &length);
        printVector((std::string(c.label) + "-xfer").c_str(), message, length);
        std::string boundaryLine = rpqproto::boundaryLine(kVectorBoundary);
        char part[kMessagePartCapacity];
        size_t partLength = 0;
        buildMessagePart(part, sizeof(part), message, length, boundaryLine.c_str(), &partLength);
        printVector((std::string(c.label) + "-xfer-body").c_str(), reinterpret_cast<BYTE*>(part), partLength);

        prepareRequest(request, c.uid, MSG_CHUNK);
        request.sequenceNo = 2000 + n;
        request.currentChunk = 2;
        request.nextChunk = 3;
        request.size = 16777216;
        for (int i = 0; i < 16; ++i) request.checksum[i] = static_cast<BYTE>(255 - i);
        encodeMessage(request, message, &length);
        printVector((std::string(c.label) + "-chunk").c_str(), message, length);
        buildMessagePart(part, sizeof(part), message, length, boundaryLine.c_str(), &partLength);
        std::string chunkHead;
        rpqproto::chunkPartHead(kVectorBoundary, std::string(c.uid) + ".002", &chunkHead);
        std::string body(part, partLength);
        body += chunkHead;
        printVector((std::string(c.label) + "-chunk-body").c_str(), reinterpret_cast<const BYTE*>(body.data()),
                    body.size());
        for (uint32_t type : {MSG_PING, MSG_RESET}) {
            prepareRequest(request, c.uid, type);
            request.sequenceNo = 3000 + type;
            encodeMessage(request, message, &length);
            printVector((std::string(c.label) + "-" + typeName(type)).c_str(), message, length);
        }
    }
    return 0;
}
