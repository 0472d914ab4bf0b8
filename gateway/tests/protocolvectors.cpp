// The gateway's wire bytes for the shared cases (see protocol_bytes.sh).
#include <cstring>
#include <string>
#include "gateway/exchange.h"
#include "gateway/transfer.h"
#include "protocol/chunkplan.h"
#include "tests/protocolcases.h"

int main() {
    for (int n = 0; n < kProtocolCases; ++n) {
        ProtocolCase c = protocolCase(n);
        GatewayJob job;
        job.uid = c.uid;
        job.user = c.user;
        job.host = c.host;
        job.domain = c.domain;
        job.domainKind = c.domainKind;
        job.documentName = c.document;
        job.machineId.assign(c.machineId.begin(), c.machineId.end());
        job.pages = c.pages;
        job.copies = c.copies;
        uint8_t digest[16];
        for (int i = 0; i < 16; ++i) digest[i] = static_cast<uint8_t>(i * 17 + n);
        rpqproto::Request request = xferRequest(job, c.size, digest, c.chunks);
        request.sequenceNo = 1000 + n;
        rpqproto::Encoded e = rpqproto::encodeRequest(request);
        printVector((std::string(c.label) + "-xfer").c_str(), e.bytes, e.length);
        std::string head;
        bodyHead(kVectorBoundary, e.bytes, e.length, nullptr, &head);
        printVector((std::string(c.label) + "-xfer-body").c_str(), reinterpret_cast<const uint8_t*>(head.data()),
                    head.size());

        rpqproto::Request chunk;
        chunk.type = rpqproto::TYPE_CHUNK;
        chunk.uid = c.uid;
        chunk.sequenceNo = 2000 + n;
        chunk.currentChunk = 2;
        chunk.nextChunk = 3;
        chunk.size = 16777216;
        for (int i = 0; i < 16; ++i) chunk.checksum[i] = static_cast<uint8_t>(255 - i);
        e = rpqproto::encodeRequest(chunk);
        printVector((std::string(c.label) + "-chunk").c_str(), e.bytes, e.length);
        std::string name = rpqproto::chunkName(c.uid, 2);
        bodyHead(kVectorBoundary, e.bytes, e.length, &name, &head);
        printVector((std::string(c.label) + "-chunk-body").c_str(), reinterpret_cast<const uint8_t*>(head.data()),
                    head.size());
        for (uint8_t type : {rpqproto::TYPE_PING, rpqproto::TYPE_RESET}) {
            rpqproto::Request r;
            r.type = type;
            r.uid = c.uid;
            r.sequenceNo = 3000 + type;
            e = rpqproto::encodeRequest(r);
            printVector((std::string(c.label) + "-" + rpqproto::typeName(type)).c_str(), e.bytes, e.length);
        }
    }
    return 0;
}
