#include "wire.h"

namespace wire {

const char* typeName(int type) {
    switch (type) {
    case NOTDEF: return "NOTDEF_CTI";
    case XFER: return "XFER";
    case CHUNK: return "CHUNK";
    case RESET: return "RESET";
    case PING: return "PING";
    default: return "?";
    }
}

namespace {
class Reader {
public:
    explicit Reader(const std::string& bytes) : m_bytes(bytes) {}
    bool take(size_t n, std::string* out) {
        if (m_pos + n > m_bytes.size()) return fail(n);
        if (out) *out = m_bytes.substr(m_pos, n);
        m_pos += n;
        return true;
    }
    template <typename T>
    bool number(T* out) {
        if (m_pos + sizeof(T) > m_bytes.size()) return fail(sizeof(T));
        uint64_t v = 0;
        for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(m_bytes[m_pos + i])) << (8 * i);
        *out = static_cast<T>(v);
        m_pos += sizeof(T);
        return true;
    }
    size_t remaining() const { return m_bytes.size() - m_pos; }
    const std::string& error() const { return m_error; }

private:
    bool fail(size_t n) {
        m_error = "message ends at byte " + std::to_string(m_bytes.size()) + ", needed " + std::to_string(n) +
                  " more at " + std::to_string(m_pos);
        return false;
    }
    const std::string& m_bytes;
    size_t m_pos = 0;
    std::string m_error;
};

bool countedWide(Reader& r, std::string* out, bool wideCount) {
    uint16_t count = 0;
    if (wideCount) {
        if (!r.number(&count)) return false;
    } else {
        uint8_t c = 0;
        if (!r.number(&c)) return false;
        count = c;
    }
    std::string raw;
    if (!r.take(count, &raw)) return false;
    *out = utf16leToUtf8(raw);
    return true;
}
}  // namespace

std::optional<Request> decodeRequest(const std::string& bytes, std::string* why) {
    Request q;
    Reader r(bytes);
    uint8_t uidLength = 0;
    auto fail = [&](const std::string& reason) -> std::optional<Request> {
        if (why) *why = reason;
        return std::nullopt;
    };
    if (!r.number(&q.type) || !r.number(&q.sequenceNo) || !r.number(&uidLength) || !r.take(uidLength, &q.uid))
        return fail("short header: " + r.error());
    switch (q.type) {
    case XFER:
        if (!r.number(&q.size) || !r.number(&q.noOfChunks) || !r.take(16, &q.checksum) ||
            !r.number(&q.versionMajor) || !r.number(&q.versionMinor) || !r.number(&q.noOfPages) ||
            !r.number(&q.noOfCopies) || !countedWide(r, &q.hostname, false) || !countedWide(r, &q.username, false) ||
            !countedWide(r, &q.domainName, false) || !countedWide(r, &q.filename, true) || !r.number(&q.domainKind))
            return fail("short XFER: " + r.error());
        {
            uint8_t m = 0;
            if (!r.number(&m) || !r.take(m, &q.machineId)) return fail("short XFER machineId: " + r.error());
        }
        break;
    case CHUNK:
        if (!r.number(&q.currentChunk) || !r.number(&q.nextChunk) || !r.number(&q.size) || !r.take(16, &q.checksum))
            return fail("short CHUNK: " + r.error());
        break;
    case RESET:
    case PING:
        break;
    default:
        return fail("unknown message type " + std::to_string(q.type));
    }
    if (r.remaining() != 0) return fail(std::to_string(r.remaining()) + " bytes after the " + typeName(q.type) + " message");
    return q;
}

std::string encodeResponse(const Response& response) {
    std::string out;
    auto put = [&](uint64_t v, size_t width) {
        for (size_t i = 0; i < width; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    put(response.type, 1);
    put(response.sequenceNo, 4);
    put(response.uid.size() & 0xFF, 1);
    out += response.uid.substr(0, 255);
    if (response.type == CHUNK) {
        put(response.currentChunk, 4);
        put(response.nextChunk, 4);
        put(response.value, 1);
    } else if (response.type == XFER || response.type == PING) {
        put(response.value, 1);
    }
    return out;
}

std::string utf16leToUtf8(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t c = static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
            uint32_t low = static_cast<uint8_t>(bytes[i + 2]) | (static_cast<uint8_t>(bytes[i + 3]) << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c < 0x80) out += static_cast<char>(c);
        else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

}  // namespace wire
