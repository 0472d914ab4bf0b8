// The gateway's floors for the benchmark: its compression alone, and the
// archive's chunks posted alone (each CHUNK exchange with its body), with
// the same code the gateway uses. Prints "compress SECONDS" and "upload SECONDS".
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>
#include "gateway/archive.h"
#include "gateway/digest.h"
#include "gateway/exchange.h"
#include "protocol/chunkplan.h"
#include "protocol/codec.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: gatewaybench DOCUMENT WORKDIR TRANSFER_URL\n");
        return 2;
    }
    std::string doc = argv[1], archive = std::string(argv[2]) + "/bench.7z", why;
    PrinterTarget target;
    if (!parseTransferUrl(argv[3], target, &why)) return fprintf(stderr, "%s\n", why.c_str()), 2;
    initExchanges();
    auto now = [] { return std::chrono::steady_clock::now(); };
    auto t0 = now();
    if (!writeArchive(doc, "AAAAAAAAAA.dat", archive, nullptr, &why)) return fprintf(stderr, "%s\n", why.c_str()), 1;
    double compress = std::chrono::duration<double>(now() - t0).count();
    uint8_t digest[16];
    uint64_t size = 0;
    md5OfRange(archive, 0, UINT64_MAX, digest, &size);
    rpqproto::Request xfer;  // the server takes chunks of an announced job only
    xfer.type = rpqproto::TYPE_XFER;
    xfer.uid = "AAAAAAAAAA";
    xfer.noOfChunks = rpqproto::chunkCount(size);
    rpqproto::Encoded announce = rpqproto::encodeRequest(xfer);
    std::vector<uint8_t> answered;
    if (!postExchange(target, announce.bytes, announce.length, nullptr, answered, nullptr, &why))
        return fprintf(stderr, "%s\n", why.c_str()), 1;
    t0 = now();
    for (uint32_t n = 1; n <= rpqproto::chunkCount(size); ++n) {
        ChunkPart part{archive, (n - 1) * rpqproto::kChunkSize, rpqproto::chunkLength(size, n),
                       rpqproto::chunkName("AAAAAAAAAA", n)};
        rpqproto::Request chunk;  // a CHUNK the server answers (with an Error: no XFER came)
        chunk.type = rpqproto::TYPE_CHUNK;
        chunk.uid = "AAAAAAAAAA";
        chunk.sequenceNo = n + 1;
        chunk.currentChunk = n;
        chunk.size = part.length;
        rpqproto::Encoded message = rpqproto::encodeRequest(chunk);
        std::vector<uint8_t> answer;
        if (!postExchange(target, message.bytes, message.length, &part, answer, nullptr, &why))
            return fprintf(stderr, "%s\n", why.c_str()), 1;
    }
    double upload = std::chrono::duration<double>(now() - t0).count();
    printf("compress %.3f\nupload %.3f\narchive %llu\n", compress, upload, static_cast<unsigned long long>(size));
    return 0;
}
