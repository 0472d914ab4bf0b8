// The protocol's messages and their wire bytes, for every platform: the
// print processor and the gateway encode through this one codec.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rpqproto {

enum Type : uint8_t { TYPE_NONE = 0, TYPE_XFER = 1, TYPE_CHUNK = 2, TYPE_RESET = 3, TYPE_PING = 4 };

constexpr size_t kMessageCapacity = 2048;   // an encoded request never reaches it
constexpr size_t kAnswerCapacity = 1024;    // a response is read into this much, less one
constexpr size_t kUidLength = 10;
constexpr size_t kMachineIdCapacity = 64;
constexpr size_t kNameCapacity = 260;       // code units of a name field, its terminator included
constexpr uint8_t kVersionMajor = 1;
constexpr uint8_t kVersionMinor = 5;

struct Request {
    uint8_t type = TYPE_NONE;
    uint32_t sequenceNo = 0;
    std::string uid;  // at most 10 characters go out
    // XFER
    uint64_t size = 0;
    uint32_t noOfChunks = 0;
    uint8_t checksum[16] = {};
    uint32_t noOfPages = 0;
    uint32_t noOfCopies = 0;
    std::u16string hostname, username, domainName, filename;  // UTF-16; at most 259 units go out
    uint8_t domainKind = 0;
    std::vector<uint8_t> machineId;  // at most 64 bytes go out
    // CHUNK (with size and checksum)
    uint32_t currentChunk = 0;
    uint32_t nextChunk = 0;
};

// A field that did not fit the message buffer and was left out.
enum class Overflow { Uid, Text, Bytes };

struct Encoded {
    uint8_t bytes[kMessageCapacity] = {};
    uint16_t length = 0;
    bool knownType = true;
    std::vector<Overflow> overflows;
};

// The request's wire bytes: type, sequenceNo, counted UID, then the type's
// fields; strings as UTF-16LE with a byte count (one byte, modulo 256, for
// host, user and domain; two for the file name).
Encoded encodeRequest(const Request& request);

struct Response {
    uint8_t type = 0;
    uint32_t sequenceNo = 0;
    char uid[kUidLength + 1] = {};
    uint8_t uidLength = 0;  // as received: a UID longer than 10 matches nothing
    uint8_t value = 255;    // bits 0-1 status, 4-7 reason; 255: none
    uint32_t currentChunk = 0;
    uint32_t nextChunk = 0;
};

enum class DecodeResult { Ok, TooShort, UnknownType };

// Decodes size bytes (at most kAnswerCapacity - 1) of an answer; positions
// past the UID wrap at 256 as the reference layout has them.
DecodeResult decodeResponse(Response& response, const uint8_t* received, size_t size);
// Bytes the type's layout needs after a UID of uidLength.
size_t layoutLength(uint8_t type, uint8_t uidLength);

// True when the response's type, sequenceNo and whole UID equal the request's.
bool sameUid(const std::string& uid, const Response& response);
bool answers(const Request& request, const Response& response);

enum class Status { Ok, Error, Wait, None };
Status statusOf(uint8_t value);
const char* statusName(uint8_t value);      // "OK", "Error", "Wait", "Undefined"
uint8_t reasonOf(uint8_t value);            // bits 4-7
const char* typeName(uint32_t type);        // "XFER", ..., "NOTDEF_CTI", "?"

}  // namespace rpqproto
