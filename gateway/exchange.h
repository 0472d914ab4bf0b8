// One protocol exchange over HTTP(S) (libcurl): the message, and a CHUNK's
// bytes, posted as multipart/form-data; the answer's first 1023 bytes back.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include "gateway/options.h"

// A range of the archive sent as the chunk part under its own name.
struct ChunkPart {
    std::string path;
    uint64_t offset = 0;
    uint64_t length = 0;
    std::string name;
};

constexpr long kExchangeTimeoutSeconds = 60;  // silence on the line ends an exchange

// 21 characters of the identifiers' alphabet from the system's generator.
bool randomUid(size_t length, std::string* uid);
// False with a reason when no answer came (refused, silent, cancelled,
// an HTTP status other than 200).
bool postExchange(const PrinterTarget& target, const uint8_t* message, size_t length, const ChunkPart* chunk,
                  std::vector<uint8_t>& answer, const std::function<bool()>& cancelled, std::string* why);
// The body's bytes before a chunk's data: the message part and, for a
// chunk, its part's headers. False for a chunk name with a quote.
bool bodyHead(const std::string& boundary, const uint8_t* message, size_t length, const std::string* chunkName,
              std::string* head);
// Once per process, before threads start.
bool initExchanges();
