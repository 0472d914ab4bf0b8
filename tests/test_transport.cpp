// Exchanges with the reference server over real HTTP(S), checked in its journal.
#include <windows.h>
#include <gtest/gtest.h>
#include <wininet.h>
#include "config/settings.h"
#include "printproc/rawjob/jobstate.h"
#include "storage/chunks.h"
#include "tests/jobfixture.h"
#include "transfer/http.h"
#include "transfer/message.h"

namespace {
const char kUid[] = "Tr4nsP0rt1";
const char kDisposition[] = "Content-Disposition: form-data; name=\"message\"; filename=\"message.dat\"\r\n";
const char kType[] = "Content-Type: application/octet-stream\r\n\r\n";

class TransportTest : public JobTest {
protected:
    HINTERNET session = nullptr, connection = nullptr;

    void SetUp() override {
        JobTest::SetUp();
        DWORD zero = 0;
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, keyPath.c_str(), L"MsgNo", REG_DWORD, &zero, 4);
    }
    void TearDown() override {
        if (connection) InternetCloseHandle(connection);
        if (session) InternetCloseHandle(session);
        JobTest::TearDown();
    }
    void connect(const CReferenceServer& server) {
        session = InternetOpenW(L"RpqHttpPOST", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        ASSERT_NE(session, nullptr);
        connection = InternetConnectW(session, L"127.0.0.1", static_cast<INTERNET_PORT>(server.port()), nullptr,
                                      nullptr, INTERNET_SERVICE_HTTP, 0, 0);
        ASSERT_NE(connection, nullptr);
    }
    std::string message(ProtocolRequest& request) {
        BYTE buffer[kMessageBufferSize];
        uint16_t length = 0;
        EXPECT_TRUE(createMessage(request, buffer, &length, printer.c_str()));
        return std::string(reinterpret_cast<char*>(buffer), length);
    }
    bool exchange(const std::string& m, const ChunkEntry* chunk = nullptr, ProtocolResponse* out = nullptr,
                  bool secure = false, bool acceptAll = false) {
        ProtocolResponse response;
        HttpFilePart part = {};
        if (chunk) part = {chunk->path, chunk->name, chunk->size};
        bool ok = getAnswer(connection, secure, acceptAll, chunk ? &part : nullptr, reinterpret_cast<const BYTE*>(m.data()),
                            static_cast<uint16_t>(m.size()), response, L"FDXS_Transfer", *state.protocol());
        if (out) *out = response;
        return ok;
    }
    ChunkEntry chunkOf(const std::string& data, DWORD number) {
        ChunkEntry e;
        e.number = number;
        _snwprintf(e.name, 256, L"%hs.%03d", kUid, static_cast<int>(number));
        _snwprintf(e.path, MAX_PATH, L"%ls\\%ls", dir.c_str(), e.name);
        writeFileBytes(e.path, data);
        e.size = static_cast<DWORD>(data.size());
        unique_hfile f(CreateFileW(e.path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        state.hash()->hashFile(f.get(), e.digest);
        return e;
    }
    std::string announce() {
        ProtocolRequest request;
        prepareRequest(request, kUid, MSG_XFER);
        request.noOfChunks = 99;  // never complete: the server only stores
        wcscpy(request.filename, L"doc.txt");
        std::string m = message(request);
        ProtocolResponse r;
        EXPECT_TRUE(exchange(m, nullptr, &r));
        EXPECT_TRUE(answersRequest(request, r));
        return m;
    }
};

TEST_F(TransportTest, XferBodyIsExact) {
    CReferenceServer server;
    ASSERT_TRUE(server.ok());
    connect(server);
    std::string m = announce();
    auto lines = server.requests();
    ASSERT_EQ(lines.size(), 1u);
    std::string body = server.body(lines[0]);
    std::string boundary = jsonField(lines[0], "boundary");
    ASSERT_EQ(boundary.size(), 21u);
    EXPECT_EQ(body, "--" + boundary + "\r\n" + kDisposition + kType + m + "\r\n--" + boundary + "--\r\n");
    EXPECT_EQ(body.size(), 139 + m.size() + 29);
    EXPECT_EQ(jsonField(lines[0], "contentLength"), std::to_string(body.size()));
    EXPECT_EQ(jsonField(lines[0], "contentType"), "multipart/form-data; boundary=" + boundary);
    EXPECT_EQ(jsonField(lines[0], "action"), "answer");
}

TEST_F(TransportTest, ChunkBodiesAroundTheFirstBuffer) {
    CReferenceServer server;
    ASSERT_TRUE(server.ok());
    connect(server);
    announce();
    // Around the end of the first send round (message part and part headers
    // take 330 bytes of it) and over several rounds.
    const size_t edge = kSendBufferSize - 1024;
    size_t sizes[] = {0, 1, edge + 665, edge + 666, edge + 680, edge + 694, edge + 695, edge + 696, kSendBufferSize,
                      3 * kSendBufferSize + 5000};
    DWORD number = 0;
    for (size_t size : sizes) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + (i * 7 + size) % 26);
        ChunkEntry chunk = chunkOf(data, ++number);
        ProtocolRequest request;
        prepareRequest(request, kUid, MSG_CHUNK);
        request.currentChunk = number;
        request.nextChunk = number + 1;
        request.size = chunk.size;
        memcpy(request.checksum, chunk.digest, 16);
        std::string m = message(request);
        ASSERT_EQ(m.size(), 48u);
        ProtocolResponse r;
        ASSERT_TRUE(exchange(m, &chunk, &r)) << size;
        EXPECT_TRUE(answersRequest(request, r));
        EXPECT_EQ(r.value, 0) << size;
        EXPECT_EQ(r.currentChunk, number);
        std::string line = server.requests().back();
        std::string body = server.body(line);
        std::string b = jsonField(line, "boundary");
        char name[32];
        snprintf(name, sizeof(name), "%s.%03d", kUid, static_cast<int>(number));
        std::string expected = "--" + b + "\r\n" + kDisposition + kType + m + "\r\n--" + b + "\r\n" +
                               "Content-Disposition: form-data; name=\"chunk\"; filename=\"" + name + "\"\r\n" + kType +
                               data + "\r\n--" + b + "--\r\n";
        EXPECT_EQ(body.size(), 358 + size) << size;
        EXPECT_EQ(body, expected) << size;
    }
    EXPECT_TRUE(logged("Need to add closing boundary to next buffer"));
    EXPECT_TRUE(logged("ReadFile: FileBytesRead is zero"));
}

TEST_F(TransportTest, LongestXferStillGoesOut) {
    CReferenceServer server;
    ASSERT_TRUE(server.ok());
    connect(server);
    ProtocolRequest request;
    fillLongestXfer(request, kUid);
    request.noOfChunks = 1;
    std::string m = message(request);
    ASSERT_EQ(m.size(), 1405u);
    ProtocolResponse r;
    ASSERT_TRUE(exchange(m, nullptr, &r));
    EXPECT_TRUE(answersRequest(request, r));
    std::string line = server.requests().back();
    EXPECT_EQ(server.body(line).size(), 139u + 1405u + 29u);
    EXPECT_EQ(jsonField(line, "messageHex").size(), 2 * 1405u);
}

TEST_F(TransportTest, HttpsWithASelfSignedCertificate) {
    CReferenceServer server({}, true);
    ASSERT_TRUE(server.ok());
    connect(server);
    ProtocolRequest request;
    prepareRequest(request, kUid, MSG_PING);
    ProtocolResponse r;
    EXPECT_FALSE(exchange(message(request), nullptr, &r, true, false));  // refused
    EXPECT_FALSE(logged("Set flag SECURITY_FLAG_IGNORE_UNKNOWN_CA"));
    std::string m = message(request);
    ASSERT_TRUE(exchange(m, nullptr, &r, true, true));
    EXPECT_TRUE(answersRequest(request, r));
    EXPECT_TRUE(logged("using internet flags: INTERNET_FLAG_SECURE"));
    EXPECT_TRUE(logged("using internet flag: INTERNET_FLAG_IGNORE_CERT_CN_INVALID"));
    EXPECT_TRUE(logged("Set flag SECURITY_FLAG_IGNORE_UNKNOWN_CA"));
}

TEST_F(TransportTest, ProbeSucceedsOnTheSecondAttempt) {
    CReferenceServer server({"wrong:uid PING#1"});
    ASSERT_TRUE(server.ok());
    EXPECT_TRUE(validateServerConnection(L"127.0.0.1", static_cast<uint16_t>(server.port()), printer.c_str(), false,
                                         false, L"FDXS_Transfer"));
    auto lines = server.requests();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(jsonField(lines[0], "messageHex"), jsonField(lines[1], "messageHex"));  // same PING
    EXPECT_NE(jsonField(lines[0], "boundary"), jsonField(lines[1], "boundary"));     // new boundary
    EXPECT_TRUE(logged("Server is ALIVE, workflow running ..."));
    EXPECT_TRUE(logged("Done in <"));
}

TEST_F(TransportTest, ProbeFailsAfterThreeWrongAnswers) {
    CReferenceServer server({"wrong:uid PING"});
    ASSERT_TRUE(server.ok());
    EXPECT_FALSE(validateServerConnection(L"127.0.0.1", static_cast<uint16_t>(server.port()), printer.c_str(), false,
                                          false, L"FDXS_Transfer"));
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_TRUE(logged("[ERROR] PING response timed out!"));
}

TEST_F(TransportTest, ProbeOfAServerThatIsDown) {
    CReferenceServer server;
    ASSERT_TRUE(server.ok());
    uint16_t port = static_cast<uint16_t>(server.port());
    server.stop();
    EXPECT_FALSE(validateServerConnection(L"127.0.0.1", port, printer.c_str(), false, false, L"FDXS_Transfer"));
    EXPECT_TRUE(logged("Could not open request. Reason <12029>"));
    EXPECT_TRUE(logged("PING response timed out!"));
}

TEST_F(TransportTest, PagesAndDroppedAnswersFailAtDecoding) {
    CReferenceServer server({"html:404 PING#1", "silent:close PING#2"});
    ASSERT_TRUE(server.ok());
    connect(server);
    ProtocolRequest request;
    prepareRequest(request, kUid, MSG_PING);
    EXPECT_FALSE(exchange(message(request)));
    EXPECT_TRUE(logged("Type of response <0x3C> is unknown!"));
    EXPECT_TRUE(logged("Unable to decode response!"));
    EXPECT_FALSE(exchange(message(request)));  // nothing stale is decoded
    EXPECT_TRUE(logged("Type of response <0x00> is unknown!"));
}
// A server that takes the request and answers late (or never) ends the
// exchange at the receive time-out instead of holding the job.
TEST_F(TransportTest, ALateAnswerEndsAtTheReceiveTimeout) {
    CReferenceServer server({"delay:6000 PING#1"});
    ASSERT_TRUE(server.ok());
    connect(server);
    ASSERT_TRUE(setTimeouts(connection, 1000));
    ProtocolRequest request;
    prepareRequest(request, kUid, MSG_PING);
    EXPECT_FALSE(exchange(message(request)));
    // Wine's HttpEndRequest returns before the answer: the read times out.
    EXPECT_TRUE(logged("Internet ReadFile failed!"));
}

// An answer that comes a byte at a time, each within the receive time-out,
// still has to come whole within it: one deadline for the body, not one
// per read.
TEST_F(TransportTest, ADribbledAnswerEndsAtOneDeadline) {
    CReferenceServer server({"dribble:300 PING#1"});
    ASSERT_TRUE(server.ok());
    connect(server);
    ASSERT_TRUE(setTimeouts(connection, 2000));
    ProtocolRequest request;
    prepareRequest(request, kUid, MSG_PING);
    EXPECT_FALSE(exchange(message(request)));  // 19 bytes at 0.3 s would take 5.7 s
    EXPECT_TRUE(logged("The answer's body is due within <2000> ms."));
    EXPECT_TRUE(logged("the answer did not come whole in time"));
    EXPECT_FALSE(logged("is unknown!"));  // a failed read is never decoded
}

// A chunk file shorter than the size its request announces fails the send:
// a body shorter than its Content-Length would hold the exchange.
TEST_F(TransportTest, AChunkFileCutShortFailsTheSend) {
    CReferenceServer server;
    ASSERT_TRUE(server.ok());
    connect(server);
    ASSERT_TRUE(setTimeouts(connection, 5000));
    announce();
    ChunkEntry chunk = chunkOf(std::string(3000, 'c'), 1);
    ASSERT_TRUE(writeFileBytes(chunk.path, std::string(1000, 'c')));
    ProtocolRequest request;
    prepareRequest(request, kUid, MSG_CHUNK);
    request.currentChunk = 1;
    request.size = chunk.size;
    EXPECT_FALSE(exchange(message(request), &chunk));
    EXPECT_TRUE(logged("The chunk file ends after <1000> of <3000> bytes!"));
    std::string log = readFileBytes(state.log().path());
    size_t cut = log.find("The chunk file ends after");
    ASSERT_NE(cut, std::string::npos);
    std::string after = log.substr(cut);
    EXPECT_EQ(after.find("Read response"), std::string::npos) << after;  // a failed send waits for no answer
    EXPECT_EQ(after.find("Internet ReadFile failed!"), std::string::npos) << after;
}
}  // namespace
