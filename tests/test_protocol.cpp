// Protocol messages byte by byte, and the decoder against hostile bytes.
#include <windows.h>
#include <gtest/gtest.h>
#include <random>
#include "config/settings.h"
#include "printproc/rawjob/jobstate.h"
#include "tests/jobfixture.h"
#include "transfer/message.h"
#include "transfer/protocol.h"

namespace {
const char kUid[] = "Ab3dE5gH9k";

std::string bytes(const BYTE* data, size_t n) { return std::string(reinterpret_cast<const char*>(data), n); }
std::string le32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

class ProtocolTest : public JobTest {
protected:    void setMsgNo(DWORD value) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, keyPath.c_str(), L"MsgNo", REG_DWORD, &value, 4), ERROR_SUCCESS);
    }
    DWORD msgNo() {
        DWORD value = 0, size = 4;
        RegGetValueW(HKEY_LOCAL_MACHINE, keyPath.c_str(), L"MsgNo", RRF_RT_REG_DWORD, nullptr, &value, &size);
        return value;
    }
    std::string encode(ProtocolRequest& request) {
        BYTE buffer[kMessageBufferSize] = {};
        uint16_t length = 0;
        EXPECT_TRUE(createMessage(request, buffer, &length, printer.c_str()));
        return bytes(buffer, length);
    }
};

TEST_F(ProtocolTest, PingAndResetAreTheHeaderAlone) {
    setMsgNo(6);
    ProtocolRequest request;
    prepareRequest(request, kUid, MSG_PING);
    EXPECT_EQ(encode(request), std::string("\x04\x07\x00\x00\x00\x0a", 6) + kUid);
    EXPECT_EQ(request.sequenceNo, 7u);
    EXPECT_EQ(msgNo(), 7u);
    prepareRequest(request, kUid, MSG_RESET);
    EXPECT_EQ(encode(request), std::string("\x03\x08\x00\x00\x00\x0a", 6) + kUid);
    EXPECT_TRUE(logged("Got new SerialNo <7> for message"));
    EXPECT_TRUE(logged("Create <PING> message"));
}

TEST_F(ProtocolTest, ChunkThreeOfThree) {
    setMsgNo(99);
    ProtocolRequest request;
    prepareRequest(request, kUid, MSG_CHUNK);
    request.currentChunk = 3;
    request.nextChunk = 0;
    request.size = 0x0102030405ULL;
    for (int i = 0; i < 16; ++i) request.checksum[i] = static_cast<BYTE>(0xA0 + i);
    std::string m = encode(request);
    ASSERT_EQ(m.size(), 48u);
    EXPECT_EQ(m.substr(0, 16), std::string("\x02\x64\x00\x00\x00\x0a", 6) + kUid);
    EXPECT_EQ(m.substr(16, 4), le32(3));
    EXPECT_EQ(m.substr(20, 4), le32(0));
    EXPECT_EQ(m.substr(24, 8), std::string("\x05\x04\x03\x02\x01\x00\x00\x00", 8));
    EXPECT_EQ(m.substr(32), bytes(request.checksum, 16));
}

TEST_F(ProtocolTest, XferLayoutAndCountBytes) {
    setMsgNo(0);
    ProtocolRequest request;
    prepareRequest(request, kUid, MSG_XFER);
    request.size = 1234567;
    request.noOfChunks = 2;
    request.noOfPages = 5;
    request.noOfCopies = 3;
    for (int i = 0; i < 16; ++i) request.checksum[i] = static_cast<BYTE>(i);
    wcscpy(request.hostname, L"HOST-0123456789");  // 15 characters
    std::wstring user(130, L'u');
    user[0] = L'A';
    user[1] = L'B';
    wcscpy(request.username, user.c_str());
    wcscpy(request.domainName, L"WORKGROUP");
    wcscpy(request.filename, L"report.txt");
    request.domainKind = 2;
    request.machineIdLength = 3;
    memcpy(request.machineId, "MID", 3);
    std::string m = encode(request);
    size_t p = 16;
    EXPECT_EQ(m.substr(p, 8), std::string("\x87\xD6\x12\x00\x00\x00\x00\x00", 8));
    EXPECT_EQ(m.substr(p + 8, 4), le32(2));
    EXPECT_EQ(m.substr(p + 12, 16), bytes(request.checksum, 16));
    EXPECT_EQ(m.substr(p + 28, 2), std::string("\x01\x05", 2));
    EXPECT_EQ(m.substr(p + 30, 4), le32(5));
    EXPECT_EQ(m.substr(p + 34, 4), le32(3));
    p += 38;
    EXPECT_EQ(static_cast<BYTE>(m[p]), 30);
    EXPECT_EQ(m.substr(p + 1, 30), bytes(reinterpret_cast<const BYTE*>(L"HOST-0123456789"), 30));
    p += 31;
    EXPECT_EQ(static_cast<BYTE>(m[p]), 4);  // 260 modulo 256
    EXPECT_EQ(m.substr(p + 1, 4), std::string("A\0B\0", 4));
    p += 5;
    EXPECT_EQ(static_cast<BYTE>(m[p]), 18);
    p += 19;
    EXPECT_EQ(m.substr(p, 2), std::string("\x14\x00", 2));
    EXPECT_EQ(m.substr(p + 2, 20), bytes(reinterpret_cast<const BYTE*>(L"report.txt"), 20));
    p += 22;
    EXPECT_EQ(m.substr(p), std::string("\x02\x03MID", 5));
}

TEST_F(ProtocolTest, LongestXferFitsTheBuffer) {
    setMsgNo(0);
    ProtocolRequest request;
    fillLongestXfer(request, kUid);
    EXPECT_EQ(encode(request).size(), 1405u);
}

TEST_F(ProtocolTest, SerialNumbersWrapAndNeedTheKey) {
    setMsgNo(4294967295u);
    ProtocolRequest request;
    prepareRequest(request, kUid, MSG_PING);
    encode(request);
    EXPECT_EQ(request.sequenceNo, 0u);
    EXPECT_EQ(msgNo(), 0u);

    BYTE buffer[kMessageBufferSize];
    uint16_t length = 77;
    request.type = 9;
    EXPECT_FALSE(createMessage(request, buffer, &length, printer.c_str()));
    EXPECT_EQ(length, 16u);
    EXPECT_TRUE(logged("Message type is unknown!"));

    std::wstring missing = uniqueName(L"No key");
    EXPECT_FALSE(createMessage(request, buffer, &length, missing.c_str()));
    EXPECT_TRUE(logged("Could not set registry subkey: <"));
    EXPECT_TRUE(logged("Could not get SerNo!"));
}

TEST_F(ProtocolTest, DecodingResponses) {
    BYTE buffer[kResponseBufferSize] = {};
    size_t size = 0;
    auto load = [&](const std::string& b) {
        memset(buffer, 0, sizeof(buffer));
        memcpy(buffer, b.data(), b.size());
        size = b.size();
    };
    ProtocolResponse r;
    load(std::string("\x03\x05\x00\x00\x00\x0a", 6) + kUid);
    ASSERT_TRUE(decodeResponse(r, buffer, size));
    EXPECT_EQ(r.value, 255);
    EXPECT_STREQ(CFDXSProtocol::statusNameOf(r.value), "Undefined");

    load(std::string("\x02\x05\x00\x00\x00\x0a", 6) + kUid + le32(2) + le32(3) + "\x11");
    ASSERT_TRUE(decodeResponse(r, buffer, size));
    EXPECT_EQ(r.currentChunk, 2u);
    EXPECT_EQ(r.nextChunk, 3u);
    EXPECT_EQ(r.value, 0x11);
    EXPECT_EQ(r.sequenceNo, 5u);
    EXPECT_STREQ(r.UID, kUid);

    struct {
        uint8_t value;
        const char* status;
        bool ok, error, wait;
    } values[] = {{0x11, "Error", false, true, false}, {0x30, "OK", true, false, false},
                  {0x02, "Wait", false, false, true}, {0x03, "Undefined", false, false, false}};
    for (auto& v : values) {
        CFDXSProtocol& holder = *state.protocol();
        holder.clear();
        holder.set(v.value);
        EXPECT_STREQ(holder.statusName(), v.status);
        EXPECT_STREQ(holder.reasonName(), v.error ? "server reason 1" : "Undefined");
        EXPECT_EQ(holder.isOk(), v.ok);
        EXPECT_EQ(holder.isError(), v.error);
        EXPECT_EQ(holder.isWait(), v.wait);
    }

    load("<html><body>404</body></html>");
    EXPECT_FALSE(decodeResponse(r, buffer, size));
    EXPECT_TRUE(logged("Type of response <0x3C> is unknown!"));
}

// A short answer is never completed with zeros ("OK"), and a UID longer than
// the request's never matches by its first ten characters.
TEST_F(ProtocolTest, ShortAnswersAndLongUidsAreRefused) {
    BYTE buffer[kResponseBufferSize] = {};
    ProtocolRequest request;
    prepareRequest(request, kUid, MSG_PING);
    request.sequenceNo = 5;
    std::string ping = std::string("\x04\x05\x00\x00\x00\x0a", 6) + kUid + "\x01";  // Error
    memcpy(buffer, ping.data(), ping.size());
    ProtocolResponse r;
    ASSERT_TRUE(decodeResponse(r, buffer, ping.size()));
    EXPECT_TRUE(answersRequest(request, r));
    for (size_t cut : {ping.size() - 1, size_t{6}, size_t{0}}) {
        memset(buffer + cut, 0, sizeof(buffer) - cut);
        EXPECT_FALSE(decodeResponse(r, buffer, cut)) << cut;
        EXPECT_NE(r.value, 0) << cut;
    }
    EXPECT_TRUE(logged("Response of <PING> too short: <16> of <17> bytes!"));
    std::string chunk = std::string("\x02\x05\x00\x00\x00\x0a", 6) + kUid + le32(1) + le32(0);  // no value
    memcpy(buffer, chunk.data(), chunk.size());
    EXPECT_FALSE(decodeResponse(r, buffer, chunk.size()));

    std::string longer = std::string("\x04\x05\x00\x00\x00\x0b", 6) + kUid + "X" + std::string(1, '\0');
    memcpy(buffer, longer.data(), longer.size());
    ASSERT_TRUE(decodeResponse(r, buffer, longer.size()));
    EXPECT_STREQ(r.UID, kUid);
    EXPECT_FALSE(answersRequest(request, r));
}

TEST_F(ProtocolTest, HostileResponsesStayInBounds) {
    std::mt19937 rng(42);
    // A record with guards around it shows any write outside it.
    struct Guarded {
        char before[64];
        ProtocolResponse response;
        char after[64];
    } g;
    memset(g.before, 0x5A, 64);
    memset(g.after, 0x5A, 64);
    BYTE buffer[kResponseBufferSize];
    for (int round = 0; round < 2000; ++round) {
        for (BYTE& b : buffer) b = static_cast<BYTE>(rng());
        size_t cut = rng() % kResponseBufferSize;  // truncated: zero from here on
        memset(buffer + cut, 0, kResponseBufferSize - cut);
        buffer[kResponseBufferSize - 1] = 0;
        if (round % 3 == 0) buffer[5] = static_cast<BYTE>(round % 2 ? 255 : 0);
        if (round % 5 == 0) buffer[0] = static_cast<BYTE>(1 + rng() % 4);
        decodeResponse(g.response, buffer, cut);
        EXPECT_LE(strlen(g.response.UID), 10u);
    }
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(g.before[i], 0x5A);
        EXPECT_EQ(g.after[i], 0x5A);
    }
    memset(buffer, 0, sizeof(buffer));
    buffer[0] = MSG_PING;
    buffer[5] = 0;  // UID of length 0: the value follows the header at once
    buffer[6] = 0x02;
    ProtocolResponse r;
    ASSERT_TRUE(decodeResponse(r, buffer, 7));
    EXPECT_STREQ(r.UID, "");
    EXPECT_EQ(r.value, 2);
}

TEST_F(ProtocolTest, DumpBytesInGroupsOfSixteen) {
    BYTE buffer[kResponseBufferSize] = {};
    for (int i = 0; i < 20; ++i) buffer[i] = static_cast<BYTE>(i + 1);
    dumpBytes(buffer);
    EXPECT_TRUE(logged("[TRACE] 01 02 03 04 05 06 07 08  | 09 0a 0b 0c 0d 0e 0f 10 "));
    EXPECT_TRUE(logged("[TRACE] 11 12 13 14 "));
}

TEST(ProtocolHolder, NewHolderIsUndefined) {
    CFDXSProtocol holder;
    EXPECT_FALSE(holder.isOk());
    EXPECT_EQ(holder.value(), 255);
    EXPECT_STREQ(holder.statusName(), "Undefined");
}
}  // namespace
