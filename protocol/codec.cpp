#include "protocol/codec.h"
#include <cstring>

namespace rpqproto {
namespace {

// Writes fields at a running position, each only when it fits.
class CMessageWriter {
public:
    explicit CMessageWriter(Encoded& out) : m_out(out) {}
    void put(uint64_t value, int width) {
        if (m_pos + static_cast<size_t>(width) >= kMessageCapacity) return;
        for (int i = 0; i < width; ++i) m_out.bytes[m_pos++] = static_cast<uint8_t>(value >> (8 * i));
    }
    void putUid(const std::string& uid) {
        size_t n = strnlen(uid.c_str(), kUidLength);
        if (m_pos + n + 1 >= kMessageCapacity) return overflow(Overflow::Uid);
        m_out.bytes[m_pos++] = static_cast<uint8_t>(n);
        memcpy(m_out.bytes + m_pos, uid.data(), n);
        m_pos += n;
    }
    // A byte count of twice the code units (kept modulo 256 for one-byte
    // counts), then exactly that many bytes of UTF-16LE.
    void putText(const std::u16string& text, int countWidth) {
        size_t units = 0;
        while (units < text.size() && units < kNameCapacity - 1 && text[units] != 0) ++units;
        size_t count = countWidth == 1 ? (units * 2) & 0xFF : units * 2;
        if (m_pos + count + static_cast<size_t>(countWidth) >= kMessageCapacity) return overflow(Overflow::Text);
        for (int i = 0; i < countWidth; ++i) m_out.bytes[m_pos++] = static_cast<uint8_t>(count >> (8 * i));
        for (size_t i = 0; i < count; ++i) {
            char16_t unit = text[i / 2];
            m_out.bytes[m_pos++] = static_cast<uint8_t>(i % 2 == 0 ? unit & 0xFF : unit >> 8);
        }
    }
    void putBytes(const uint8_t* bytes, size_t n) {
        if (m_pos + n >= kMessageCapacity) return overflow(Overflow::Bytes);
        memcpy(m_out.bytes + m_pos, bytes, n);
        m_pos += n;
    }
    void putCounted(const uint8_t* bytes, uint8_t n) {
        if (m_pos + n + 1 >= kMessageCapacity) return overflow(Overflow::Bytes);
        m_out.bytes[m_pos++] = n;
        if (n) memcpy(m_out.bytes + m_pos, bytes, n);
        m_pos += n;
    }
    uint16_t position() const { return static_cast<uint16_t>(m_pos); }

private:
    void overflow(Overflow what) { m_out.overflows.push_back(what); }
    Encoded& m_out;
    size_t m_pos = 0;
};

uint32_t readLe32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

Encoded encodeRequest(const Request& request) {
    Encoded out;
    CMessageWriter w(out);
    w.put(request.type, 1);
    w.put(request.sequenceNo, 4);
    w.putUid(request.uid);
    switch (request.type) {
    case TYPE_XFER: {
        w.put(request.size, 8);
        w.put(request.noOfChunks, 4);
        w.putBytes(request.checksum, 16);
        w.put(kVersionMajor, 1);
        w.put(kVersionMinor, 1);
        w.put(request.noOfPages, 4);
        w.put(request.noOfCopies, 4);
        w.putText(request.hostname, 1);
        w.putText(request.username, 1);
        w.putText(request.domainName, 1);
        w.putText(request.filename, 2);
        w.put(request.domainKind, 1);
        size_t id = request.machineId.size() > kMachineIdCapacity ? kMachineIdCapacity : request.machineId.size();
        w.putCounted(request.machineId.data(), static_cast<uint8_t>(id));
        break;
    }
    case TYPE_CHUNK:
        w.put(request.currentChunk, 4);
        w.put(request.nextChunk, 4);
        w.put(request.size, 8);
        w.putBytes(request.checksum, 16);
        break;
    case TYPE_RESET:
    case TYPE_PING:
        break;
    default:
        out.knownType = false;
    }
    out.length = w.position();
    return out;
}

size_t layoutLength(uint8_t type, uint8_t uidLength) {
    size_t tail = type == TYPE_CHUNK ? 9 : (type == TYPE_XFER || type == TYPE_PING) ? 1 : 0;
    return 6u + uidLength + tail;
}

DecodeResult decodeResponse(Response& response, const uint8_t* received, size_t size) {
    response = Response();
    if (size > kAnswerCapacity - 1) size = kAnswerCapacity - 1;
    // Reads below come from a zero-filled copy of kAnswerCapacity bytes: the
    // UID length byte may claim more than the answer has.
    uint8_t buffer[kAnswerCapacity] = {};
    memcpy(buffer, received, size);
    response.type = buffer[0];
    response.sequenceNo = readLe32(buffer + 1);
    uint8_t n = buffer[5];
    response.uidLength = n;
    size_t uidBytes = n < kUidLength ? n : kUidLength;
    memcpy(response.uid, buffer + 6, uidBytes);
    response.uid[uidBytes] = '\0';
    if (response.type >= TYPE_XFER && response.type <= TYPE_PING && size < layoutLength(response.type, n)) {
        response.value = 255;
        return DecodeResult::TooShort;
    }
    auto at = [&](unsigned offset) { return buffer + ((6u + n + offset) & 0xFF); };
    switch (response.type) {
    case TYPE_CHUNK:
        response.currentChunk = readLe32(at(0));
        response.nextChunk = readLe32(at(4));
        response.value = *at(8);
        return DecodeResult::Ok;
    case TYPE_XFER:
    case TYPE_PING:
        response.value = *at(0);
        return DecodeResult::Ok;
    case TYPE_RESET:
        return DecodeResult::Ok;
    default:
        return DecodeResult::UnknownType;
    }
}

bool sameUid(const std::string& uid, const Response& response) {
    size_t n = strnlen(uid.c_str(), kUidLength);
    return response.uidLength == n && uid.compare(0, n, response.uid) == 0 && strlen(response.uid) == n;
}

bool answers(const Request& request, const Response& response) {
    return response.type == request.type && response.sequenceNo == request.sequenceNo && sameUid(request.uid, response);
}

Status statusOf(uint8_t value) {
    if (value == 255) return Status::None;
    switch (value & 3) {
    case 0: return Status::Ok;
    case 1: return Status::Error;
    case 2: return Status::Wait;
    default: return Status::None;
    }
}

const char* statusName(uint8_t value) {
    switch (statusOf(value)) {
    case Status::Ok: return "OK";
    case Status::Error: return "Error";
    case Status::Wait: return "Wait";
    default: return "Undefined";
    }
}

uint8_t reasonOf(uint8_t value) { return static_cast<uint8_t>(value >> 4); }

const char* typeName(uint32_t type) {
    switch (type) {
    case TYPE_NONE: return "NOTDEF_CTI";
    case TYPE_XFER: return "XFER";
    case TYPE_CHUNK: return "CHUNK";
    case TYPE_RESET: return "RESET";
    case TYPE_PING: return "PING";
    default: return "?";
    }
}

}  // namespace rpqproto
