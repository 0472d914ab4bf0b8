// The protocol's request and response records and their wire bytes.
#pragma once
#include <windows.h>
#include <cstdint>
#include "protocol/codec.h"

enum MessageType : uint32_t { NOTDEF_CTI = 0, MSG_XFER = 1, MSG_CHUNK = 2, MSG_RESET = 3, MSG_PING = 4 };

constexpr size_t kMessageBufferSize = rpqproto::kMessageCapacity;
constexpr size_t kResponseBufferSize = rpqproto::kAnswerCapacity;
constexpr uint8_t kProtocolMajor = rpqproto::kVersionMajor;
constexpr uint8_t kProtocolMinor = rpqproto::kVersionMinor;

struct ProtocolRequest {
    uint32_t type;
    uint32_t sequenceNo;
    char UID[11];
    uint64_t size;
    uint32_t noOfChunks;
    BYTE checksum[16];
    uint32_t noOfPages;
    uint32_t noOfCopies;
    wchar_t hostname[MAX_PATH];
    wchar_t username[MAX_PATH];
    wchar_t domainName[MAX_PATH];
    uint8_t domainKind;
    wchar_t filename[MAX_PATH];
    uint8_t machineIdLength;
    BYTE machineId[65];
    uint32_t currentChunk;
    uint32_t nextChunk;
};

struct ProtocolResponse {
    uint32_t type;
    uint32_t sequenceNo;
    char UID[11];
    uint8_t value;
    uint32_t currentChunk;
    uint32_t nextChunk;
    uint8_t uidLength;  // as received: a longer UID than 10 matches nothing
};

// Holder of the last status value (bits 0-1 status, 4-7 reason).
class CFDXSProtocol {
public:
    virtual ~CFDXSProtocol() = default;
    void clear() { set(0); }
    void set(uint8_t value) {
        m_value = value;
        formatReason();
    }
    uint8_t value() const { return m_value; }
    const char* statusName() const;
    // An Error's reason as the user reads it: "server reason <n>" (bits 4-7
    // of the status); "Undefined" for any other status.
    const char* reasonName() const;
    bool isOk() const { return rpqproto::statusOf(m_value) == rpqproto::Status::Ok; }
    bool isError() const { return rpqproto::statusOf(m_value) == rpqproto::Status::Error; }
    bool isWait() const { return rpqproto::statusOf(m_value) == rpqproto::Status::Wait; }
    static const char* statusNameOf(uint8_t value);

private:
    void formatReason();
    uint8_t m_value = 255;
    char m_reason[24] = "Undefined";
};

const char* typeName(uint32_t type);
void prepareRequest(ProtocolRequest& request, const char* uid, uint32_t type);
// The request as the shared codec takes it.
rpqproto::Request toWire(const ProtocolRequest& request);
void clearResponse(ProtocolResponse& response);
// The wire bytes of a request whose sequenceNo is set; false for an
// unknown type.
bool encodeMessage(const ProtocolRequest& request, BYTE* buffer, uint16_t* length);
// Decodes a response of size bytes (at most 1023) in a zero-filled buffer of
// 1024; fails for an unknown type or fewer bytes than the type's layout.
bool decodeResponse(ProtocolResponse& response, const BYTE* received, size_t size);
// True when the response's type, sequenceNo and UID equal the request's.
bool answersRequest(const ProtocolRequest& request, const ProtocolResponse& response);
// The whole UID as received equals the request's.
bool sameUid(const ProtocolRequest& request, const ProtocolResponse& response);
void dumpRequest(const ProtocolRequest& request);
void dumpResponse(const ProtocolResponse& response);
void dumpBytes(const BYTE* bytes);
