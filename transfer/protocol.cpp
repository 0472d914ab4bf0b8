#include "transfer/protocol.h"
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <strsafe.h>
#include "base/hex.h"
#include "diag/log.h"

namespace {
const char* kStatusNames[] = {"OK", "Error", "Wait"};

// Writes fields at a running position, each only when it fits.
class CMessageWriter {
public:
    CMessageWriter(BYTE* buffer) : m_buffer(buffer) {}
    void put(uint64_t value, int width) {
        if (m_pos + static_cast<size_t>(width) >= kMessageBufferSize) return;
        for (int i = 0; i < width; ++i) m_buffer[m_pos++] = static_cast<BYTE>(value >> (8 * i));
    }
    void putUid(const char* uid) {
        size_t n = strnlen(uid, 10);
        if (m_pos + n + 1 >= kMessageBufferSize) {
            logMessage(L_ERROR, "copyStringToPos: pTarget string too small!");
            return;
        }
        m_buffer[m_pos++] = static_cast<BYTE>(n);
        memcpy(m_buffer + m_pos, uid, n);
        m_pos += static_cast<uint16_t>(n);
    }
    // A byte count of twice the code units (kept modulo 256 for one-byte
    // counts), then exactly that many bytes of the string.
    void putWide(const wchar_t* text, size_t maxChars, int countWidth) {
        size_t units = wcsnlen(text, maxChars - 1);
        size_t count = countWidth == 1 ? (units * 2) & 0xFF : units * 2;
        if (m_pos + count + static_cast<size_t>(countWidth) >= kMessageBufferSize) {
            logMessage(L_ERROR, "copyStringToPosW: pTarget string too small!");
            return;
        }
        for (int i = 0; i < countWidth; ++i) m_buffer[m_pos++] = static_cast<BYTE>(count >> (8 * i));
        const BYTE* bytes = reinterpret_cast<const BYTE*>(text);
        for (size_t i = 0; i < count; ++i) m_buffer[m_pos++] = bytes[i];  // UTF-16LE as in memory
    }
    void putBytes(const BYTE* bytes, size_t n) {
        if (m_pos + n >= kMessageBufferSize) {
            logMessage(L_ERROR, "copy16BytesToPos: pTarget string too small!");
            return;
        }
        memcpy(m_buffer + m_pos, bytes, n);
        m_pos += static_cast<uint16_t>(n);
    }
    void putCounted(const BYTE* bytes, uint8_t n) {
        if (static_cast<size_t>(m_pos) + n + 1 >= kMessageBufferSize) {
            logMessage(L_ERROR, "copy16BytesToPos: pTarget string too small!");
            return;
        }
        m_buffer[m_pos++] = n;
        memcpy(m_buffer + m_pos, bytes, n);
        m_pos += n;
    }
    uint16_t position() const { return m_pos; }

private:
    BYTE* m_buffer;
    uint16_t m_pos = 0;
};

uint32_t readLe32(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
}  // namespace

const char* CFDXSProtocol::statusNameOf(uint8_t value) {
    if (value == 255) return "Undefined";
    uint8_t status = value & 3;
    return status < 3 ? kStatusNames[status] : "Undefined";
}

const char* CFDXSProtocol::statusName() const { return statusNameOf(m_value); }
const char* CFDXSProtocol::reasonName() const { return m_reason; }

void CFDXSProtocol::formatReason() {
    if (m_value != 255 && (m_value & 3) == 1) snprintf(m_reason, sizeof(m_reason), "server reason %u", m_value >> 4u);
    else snprintf(m_reason, sizeof(m_reason), "Undefined");
}

const char* typeName(uint32_t type) {
    switch (type) {
    case NOTDEF_CTI: return "NOTDEF_CTI";
    case MSG_XFER: return "XFER";
    case MSG_CHUNK: return "CHUNK";
    case MSG_RESET: return "RESET";
    case MSG_PING: return "PING";
    default: return "?";
    }
}

void prepareRequest(ProtocolRequest& request, const char* uid, uint32_t type) {
    memset(&request, 0, sizeof(request));
    request.type = type;
    if (uid) {
        memcpy(request.UID, uid, strnlen(uid, 10));
        request.UID[10] = '\0';
    }
}

void clearResponse(ProtocolResponse& response) {
    memset(&response, 0, sizeof(response));
    response.value = 255;
}

bool encodeMessage(const ProtocolRequest& request, BYTE* buffer, uint16_t* length) {
    CMessageWriter w(buffer);
    w.put(request.type, 1);
    w.put(request.sequenceNo, 4);
    w.putUid(request.UID);
    bool known = true;
    switch (request.type) {
    case MSG_XFER:
        logMessage(L_INFO, "Create <XFER> message");
        w.put(request.size, 8);
        w.put(request.noOfChunks, 4);
        w.putBytes(request.checksum, 16);
        w.put(kProtocolMajor, 1);
        w.put(kProtocolMinor, 1);
        w.put(request.noOfPages, 4);
        w.put(request.noOfCopies, 4);
        w.putWide(request.hostname, MAX_PATH, 1);
        w.putWide(request.username, MAX_PATH, 1);
        w.putWide(request.domainName, MAX_PATH, 1);
        w.putWide(request.filename, MAX_PATH, 2);
        w.put(request.domainKind, 1);
        w.putCounted(request.machineId, request.machineIdLength > 64 ? 64 : request.machineIdLength);
        break;
    case MSG_CHUNK:
        logMessage(L_INFO, "Create <CHUNK> message");
        w.put(request.currentChunk, 4);
        w.put(request.nextChunk, 4);
        w.put(request.size, 8);
        w.putBytes(request.checksum, 16);
        break;
    case MSG_RESET:
        logMessage(L_INFO, "Create <RESET> message");
        break;
    case MSG_PING:
        logMessage(L_INFO, "Create <PING> message");
        break;
    default:
        logMessage(L_ERROR, "Message type is unknown!");
        known = false;
    }
    *length = w.position();
    return known;
}

bool decodeResponse(ProtocolResponse& response, const BYTE* received, size_t size) {
    clearResponse(response);
    // The buffer holds 1024 bytes; the UID length byte may claim more than
    // the record or the buffer has, so every read is bounded by both.
    response.type = received[0];
    response.sequenceNo = readLe32(received + 1);
    uint8_t n = received[5];
    response.uidLength = n;
    size_t uidBytes = n < 10 ? n : 10;
    memcpy(response.UID, received + 6, uidBytes);
    response.UID[uidBytes] = '\0';
    // Fewer bytes than the type's layout: the missing ones are not zeros.
    size_t tail = response.type == MSG_CHUNK ? 9 : (response.type == MSG_XFER || response.type == MSG_PING) ? 1 : 0;
    if (size < 6u + n + tail && response.type >= MSG_XFER && response.type <= MSG_PING) {
        logMessage(L_ERROR, "Response of <%s> too short: <%u> of <%u> bytes!", typeName(response.type),
                   static_cast<unsigned>(size), static_cast<unsigned>(6u + n + tail));
        response.value = 255;
        return false;
    }
    auto at = [&](unsigned offset) -> const BYTE* {
        unsigned pos = (6u + n + offset) & 0xFF;  // positions wrap at 256
        return received + pos;
    };
    switch (response.type) {
    case MSG_CHUNK:
        response.currentChunk = readLe32(at(0));
        response.nextChunk = readLe32(at(4));
        response.value = *at(8);
        return true;
    case MSG_XFER:
    case MSG_PING:
        response.value = *at(0);
        return true;
    case MSG_RESET:
        return true;
    default:
        logMessage(L_ERROR, "Type of response <0x%02X> is unknown!", response.type);
        return false;
    }
}

bool answersRequest(const ProtocolRequest& request, const ProtocolResponse& response) {
    return response.type == request.type && response.sequenceNo == request.sequenceNo && sameUid(request, response);
}

bool sameUid(const ProtocolRequest& request, const ProtocolResponse& response) {
    return response.uidLength == strnlen(request.UID, 10) && strcmp(response.UID, request.UID) == 0;
}

void dumpRequest(const ProtocolRequest& request) {
    if (currentLogLevel() > L_TRACE) return;
    logMessage(L_TRACE, "begin --- --- --- --- --- --- ---");
    logMessage(L_TRACE, "request type <%s>", typeName(request.type));
    logMessage(L_TRACE, "request sequenceNo <%u>", request.sequenceNo);
    logMessage(L_TRACE, "request UID <%s>", request.UID);
    if (request.type == MSG_XFER || request.type == MSG_CHUNK) {
        char hex[33];
        digestToHex(request.checksum, hex);
        logMessage(L_TRACE, "request size <%I64u>", request.size);
        logMessage(L_TRACE, "request checksum <%s>", hex);
    }
    if (request.type == MSG_CHUNK) {
        logMessage(L_TRACE, "request currentChunk <%u>", request.currentChunk);
        logMessage(L_TRACE, "request nextChunk <%u>", request.nextChunk);
    }
    if (request.type == MSG_XFER) {
        logMessage(L_TRACE, "request noOfChunks <%u>", request.noOfChunks);
        logMessage(L_TRACE, "request noOfPages <%u>", request.noOfPages);
        logMessage(L_TRACE, "request noOfCopies <%u>", request.noOfCopies);
        logMessageW(L_TRACE, L"request hostname <%s>", request.hostname);
        logMessageW(L_TRACE, L"request username <%s>", request.username);
        logMessageW(L_TRACE, L"request filename <%s>", request.filename);
    }
    logMessage(L_TRACE, "end - --- --- --- --- --- --- ---");
}

void dumpResponse(const ProtocolResponse& response) {
    if (currentLogLevel() > L_TRACE) return;
    logMessage(L_TRACE, "begin --- --- --- --- --- --- ---");
    logMessage(L_TRACE, "response type <%s>", typeName(response.type));
    logMessage(L_TRACE, "response sequenceNo <%u>", response.sequenceNo);
    logMessage(L_TRACE, "response UID <%s>", response.UID);
    if (response.type != MSG_RESET) {
        logMessage(L_TRACE, "response value <%s>", CFDXSProtocol::statusNameOf(response.value));
    }
    if (response.type == MSG_CHUNK) {
        logMessage(L_TRACE, "response currentChunk <%u>", response.currentChunk);
        logMessage(L_TRACE, "response nextChunk <%u>", response.nextChunk);
    }
    logMessage(L_TRACE, "end -- --- --- --- --- --- --- ---");
}

void dumpBytes(const BYTE* bytes) {
    char line[16 * 3 + 3 + 1] = {};
    size_t fill = 0;
    int inLine = 0;
    for (size_t i = 0; i < kResponseBufferSize - 1 && bytes[i]; ++i) {
        StringCchPrintfA(line + fill, sizeof(line) - fill, "%02x ", bytes[i]);
        fill += 3;
        if (++inLine == 8) {
            StringCchCopyA(line + fill, sizeof(line) - fill, " | ");
            fill += 3;
        }
        if (inLine == 16) {
            logMessage(L_TRACE, "%s", line);
            fill = 0;
            inLine = 0;
            line[0] = '\0';
        }
    }
    if (inLine > 0) logMessage(L_TRACE, "%s", line);  // the last, shorter group too
}
