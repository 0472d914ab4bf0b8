// The protocol's request and response messages, decoded and encoded on the
// server's side. Independent of the client's code on purpose.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace wire {

enum Type : uint8_t { NOTDEF = 0, XFER = 1, CHUNK = 2, RESET = 3, PING = 4 };
enum Status : uint8_t { OK = 0, ERROR = 1, WAIT = 2 };

const char* typeName(int type);

struct Request {
    uint8_t type = 0;
    uint32_t sequenceNo = 0;
    std::string uid;
    // XFER
    uint64_t size = 0;
    uint32_t noOfChunks = 0;
    std::string checksum;  // 16 raw bytes
    uint8_t versionMajor = 0, versionMinor = 0;
    uint32_t noOfPages = 0, noOfCopies = 0;
    std::string hostname, username, domainName, filename;  // UTF-8
    uint8_t domainKind = 0;
    std::string machineId;
    // CHUNK (also size and checksum)
    uint32_t currentChunk = 0, nextChunk = 0;
};

// Decodes a request; on failure returns nothing and says why.
std::optional<Request> decodeRequest(const std::string& bytes, std::string* why);

struct Response {
    uint8_t type = 0;
    uint32_t sequenceNo = 0;
    std::string uid;
    uint8_t value = 0;  // status in bits 0-1, reason in bits 4-7
    uint32_t currentChunk = 0, nextChunk = 0;
};

std::string encodeResponse(const Response& response);
inline uint8_t statusValue(Status status, uint8_t reason = 0) {
    return static_cast<uint8_t>((status & 3) | ((reason & 15) << 4));
}

std::string utf16leToUtf8(const std::string& bytes);
std::string toHex(const std::string& bytes);

}  // namespace wire
