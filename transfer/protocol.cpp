#include "transfer/protocol.h"
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <strsafe.h>
#include "base/hex.h"
#include "diag/log.h"


const char* CFDXSProtocol::statusNameOf(uint8_t value) { return rpqproto::statusName(value); }

const char* CFDXSProtocol::statusName() const { return statusNameOf(m_value); }
const char* CFDXSProtocol::reasonName() const { return m_reason; }

void CFDXSProtocol::formatReason() {
    if (isError()) snprintf(m_reason, sizeof(m_reason), "server reason %u", rpqproto::reasonOf(m_value));
    else snprintf(m_reason, sizeof(m_reason), "Undefined");
}

const char* typeName(uint32_t type) { return rpqproto::typeName(type); }

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

rpqproto::Request toWire(const ProtocolRequest& request) {
    rpqproto::Request wire;
    wire.type = static_cast<uint8_t>(request.type);
    wire.sequenceNo = request.sequenceNo;
    wire.uid.assign(request.UID, strnlen(request.UID, 10));
    wire.size = request.size;
    wire.noOfChunks = request.noOfChunks;
    memcpy(wire.checksum, request.checksum, sizeof(wire.checksum));
    wire.noOfPages = request.noOfPages;
    wire.noOfCopies = request.noOfCopies;
    auto text = [](const wchar_t* s) {
        static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 code units");
        return std::u16string(reinterpret_cast<const char16_t*>(s), wcsnlen(s, MAX_PATH - 1));
    };
    wire.hostname = text(request.hostname);
    wire.username = text(request.username);
    wire.domainName = text(request.domainName);
    wire.filename = text(request.filename);
    wire.domainKind = request.domainKind;
    wire.machineId.assign(request.machineId, request.machineId + (request.machineIdLength > 64 ? 64 : request.machineIdLength));
    wire.currentChunk = request.currentChunk;
    wire.nextChunk = request.nextChunk;
    return wire;
}

bool encodeMessage(const ProtocolRequest& request, BYTE* buffer, uint16_t* length) {
    switch (request.type) {
    case MSG_XFER: logMessage(L_INFO, "Create <XFER> message"); break;
    case MSG_CHUNK: logMessage(L_INFO, "Create <CHUNK> message"); break;
    case MSG_RESET: logMessage(L_INFO, "Create <RESET> message"); break;
    case MSG_PING: logMessage(L_INFO, "Create <PING> message"); break;
    default: break;
    }
    rpqproto::Encoded encoded = rpqproto::encodeRequest(toWire(request));
    for (rpqproto::Overflow what : encoded.overflows) {
        if (what == rpqproto::Overflow::Uid) logMessage(L_ERROR, "copyStringToPos: pTarget string too small!");
        else if (what == rpqproto::Overflow::Text) logMessage(L_ERROR, "copyStringToPosW: pTarget string too small!");
        else logMessage(L_ERROR, "copy16BytesToPos: pTarget string too small!");
    }
    if (!encoded.knownType) logMessage(L_ERROR, "Message type is unknown!");
    memcpy(buffer, encoded.bytes, encoded.length);
    *length = encoded.length;
    return encoded.knownType;
}

bool decodeResponse(ProtocolResponse& response, const BYTE* received, size_t size) {
    clearResponse(response);
    rpqproto::Response wire;
    rpqproto::DecodeResult result = rpqproto::decodeResponse(wire, received, size);
    response.type = wire.type;
    response.sequenceNo = wire.sequenceNo;
    memcpy(response.UID, wire.uid, sizeof(response.UID));
    response.uidLength = wire.uidLength;
    response.value = wire.value;
    response.currentChunk = wire.currentChunk;
    response.nextChunk = wire.nextChunk;
    if (result == rpqproto::DecodeResult::TooShort) {
        logMessage(L_ERROR, "Response of <%s> too short: <%u> of <%u> bytes!", typeName(response.type),
                   static_cast<unsigned>(size), static_cast<unsigned>(rpqproto::layoutLength(wire.type, wire.uidLength)));
        return false;
    }
    if (result == rpqproto::DecodeResult::UnknownType) {
        logMessage(L_ERROR, "Type of response <0x%02X> is unknown!", response.type);
        return false;
    }
    return true;
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
