// The multipart/form-data body every exchange posts: the message as the
// part "message" (file name "message.dat"), a CHUNK's file as the part
// "chunk" under its own name, then the closing boundary.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace rpqproto {

constexpr size_t kBoundaryLength = 21;  // random UID characters
constexpr char kPartContentType[] = "Content-Type: application/octet-stream\r\n\r\n";
constexpr char kMessageDisposition[] =
    "Content-Disposition: form-data; name=\"message\"; filename=\"message.dat\"\r\n";

// "multipart/form-data; boundary=<boundary>"
std::string bodyContentType(const std::string& boundary);
// "--<boundary>\r\n"
std::string boundaryLine(const std::string& boundary);
// The boundary line and the message part's headers; the message follows.
std::string messagePartHead(const std::string& boundary);
// After the message: CRLF, the boundary line and the chunk part's headers;
// the chunk's bytes follow. False when the name has a quote or a line break.
bool chunkPartHead(const std::string& boundary, const std::string& chunkName, std::string* head);
// "\r\n--<boundary>--\r\n"
std::string closingBoundary(const std::string& boundary);
// The whole body's length for a message and, when chunkName is given, a chunk.
uint64_t bodyLength(const std::string& boundary, size_t messageLength, const std::string* chunkName,
                    uint64_t chunkSize);

}  // namespace rpqproto
