// The reference server driven by curl, a client nobody here wrote.
#include <gtest/gtest.h>
#include <fstream>
#include <random>
#include "digest.h"
#include "tests/serverfixture.h"

namespace {
const std::string kUid = "Ab3dE5gH9k";

std::string response(uint8_t type, uint32_t seq, const std::string& uid, const std::string& tail) {
    return le(type, 1) + le(seq, 4) + le(uid.size(), 1) + uid + tail;
}


std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(rng());
    return out;
}

// A document, its 7z archive made by the 7z program, cut into chunks.
struct Archive {
    std::string document, archive;
    std::vector<std::string> chunks;
    Archive(const std::string& dir, size_t documentSize, size_t chunkSize) {
        document = randomBytes(documentSize, 7);
        writeAll(dir + "/" + kUid + ".dat", document);
        sh("cd " + dir + " && 7zz a -bd -mx0 " + kUid + ".7z " + kUid + ".dat >/dev/null");
        archive = readAll(dir + "/" + kUid + ".7z");
        for (size_t at = 0; at < archive.size(); at += chunkSize) chunks.push_back(archive.substr(at, chunkSize));
    }
};

TEST(Server, PingIsAnsweredForAnyUid) {
    ServerProcess server;
    ASSERT_GT(server.port(), 0);
    CurlResult r = server.post(pingMessage(7, kUid));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.httpStatus, 200);
    EXPECT_EQ(hex(r.body), "04070000000a" + hex(kUid) + "00");
    r = server.post(resetMessage(8, kUid));
    EXPECT_EQ(hex(r.body), "03080000000a" + hex(kUid));
    EXPECT_EQ(server.stop(), 0);  // SIGTERM ends it cleanly
}

TEST(Server, WholeJobOfSeveralChunksIsVerified) {
    ServerProcess server;
    Archive a(server.dir(), 300000, 100000);
    ASSERT_GE(a.chunks.size(), 3u);
    uint32_t n = static_cast<uint32_t>(a.chunks.size());
    CurlResult r = server.post(xferMessage(1, kUid, a.document.size(), n, md5Of(a.document), "report.txt"));
    EXPECT_EQ(hex(r.body), "01010000000a" + hex(kUid) + "00");
    for (uint32_t i = 1; i <= n; ++i) {
        const std::string& c = a.chunks[i - 1];
        uint32_t next = i < n ? i + 1 : 0;
        r = server.post(chunkMessage(1 + i, kUid, i, next, c.size(), md5Of(c)), &c, kUid + ".00" + std::to_string(i));
        EXPECT_EQ(hex(r.body), hex(response(2, 1 + i, kUid, le(i, 4) + le(next, 4) + le(0, 1)))) << i;
    }
    std::string last;
    for (int i = 0; i < 200; ++i) {
        last = server.post(pingMessage(100 + i, kUid)).body;
        if (last.size() == 17 && last[16] != 2) break;  // no longer Wait
    }
    EXPECT_EQ(static_cast<int>(last[16]), 0);
    auto jobs = server.journalLines("jobs.jsonl");
    ASSERT_FALSE(jobs.empty());
    EXPECT_EQ(jobs.back()["state"], "verified") << jobs.back();
    EXPECT_EQ(readAll(server.storage() + "/" + kUid + "/document/" + kUid + ".dat"), a.document);

    CurlResult page = server.get("FDXS_Interaction?uid=" + kUid);
    EXPECT_EQ(page.httpStatus, 200);
    for (const char* text : {"HOST1", "alice", "WORKGROUP", "report.txt", "<td>2</td>", "<td>3</td>", "verified"})
        EXPECT_NE(page.body.find(text), std::string::npos) << text;
    EXPECT_EQ(server.get("FDXS_Interaction?uid=nosuchjob1").httpStatus, 404);
}

TEST(Server, BadDocumentsAndChunksAreAnsweredError) {
    ServerProcess server;
    Archive a(server.dir(), 5000, 1 << 20);
    // The XFER claims another checksum: the job fails verification.
    server.post(xferMessage(1, kUid, a.document.size(), 1, md5Of("other"), "x"));
    const std::string& c = a.chunks[0];
    CurlResult r = server.post(chunkMessage(2, kUid, 1, 0, c.size(), md5Of("wrong")), &c);
    EXPECT_EQ(static_cast<uint8_t>(r.body.back()), 0x11);  // Error, reason 1: checksum
    r = server.post(chunkMessage(3, kUid, 1, 0, c.size() + 1, md5Of(c)), &c);
    EXPECT_EQ(static_cast<uint8_t>(r.body.back()), 0x21);  // Error, reason 2: size
    r = server.post(chunkMessage(4, kUid, 1, 0, c.size(), md5Of(c)), &c);
    EXPECT_EQ(static_cast<uint8_t>(r.body.back()), 0x00);
    std::string last;
    for (int i = 0; i < 200; ++i) {
        last = server.post(pingMessage(10 + i, kUid)).body;
        if (last.size() == 17 && last[16] != 2) break;
    }
    EXPECT_EQ(static_cast<uint8_t>(last[16]), 0x41);  // Error, reason 4: verification
    bool explained = false;
    for (const auto& job : server.journalLines("jobs.jsonl"))
        explained |= job["reason"].get<std::string>().find("differs from XFER") != std::string::npos;
    EXPECT_TRUE(explained);
}

TEST(Server, Scenarios) {
    ServerProcess server({"--rule", "error:5 XFER#1", "--rule", "wait XFER#2", "--rule", "error:1 CHUNK=2 count 2",
                          "--rule", "wait PING#1", "--rule", "wrong:seq PING#2", "--rule", "wrong:uid PING#3",
                          "--rule", "wrong:type PING#4", "--rule", "html:404 PING#5", "--rule", "html:500 PING#6",
                          "--rule", "silent:close PING#7", "--rule", "delay:200 PING#8", "--rule", "silent:300 PING#9"});
    EXPECT_EQ(static_cast<uint8_t>(server.post(xferMessage(1, kUid, 1, 2, md5Of("d"), "x")).body.back()), 0x51);
    EXPECT_EQ(static_cast<uint8_t>(server.post(xferMessage(2, kUid, 1, 2, md5Of("d"), "x")).body.back()), 0x02);
    server.post(xferMessage(3, kUid, 1, 2, md5Of("d"), "x"));
    std::string c1 = "first", c2 = "second";
    EXPECT_EQ(static_cast<uint8_t>(server.post(chunkMessage(4, kUid, 1, 2, 5, md5Of(c1)), &c1).body.back()), 0);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(static_cast<uint8_t>(server.post(chunkMessage(5 + i, kUid, 2, 0, 6, md5Of(c2)), &c2).body.back()), 0x11);
    EXPECT_EQ(static_cast<uint8_t>(server.post(chunkMessage(7, kUid, 2, 0, 6, md5Of(c2)), &c2).body.back()), 0);

    const std::string probe = "Pr0beUid01";
    EXPECT_EQ(hex(server.post(pingMessage(20, probe)).body), hex(response(4, 20, probe, le(2, 1))));
    EXPECT_EQ(hex(server.post(pingMessage(21, probe)).body), hex(response(4, 22, probe, le(0, 1))));
    EXPECT_EQ(hex(server.post(pingMessage(22, probe)).body), hex(response(4, 22, "XXXXXXXXXX", le(0, 1))));
    EXPECT_EQ(static_cast<uint8_t>(server.post(pingMessage(23, probe)).body[0]), 1);
    CurlResult r = server.post(pingMessage(24, probe));
    EXPECT_EQ(r.httpStatus, 404);
    EXPECT_EQ(r.body.substr(0, 6), "<html>");
    EXPECT_EQ(server.post(pingMessage(25, probe)).httpStatus, 500);
    EXPECT_NE(server.post(pingMessage(26, probe)).exitCode, 0);  // connection dropped
    EXPECT_EQ(hex(server.post(pingMessage(27, probe)).body), hex(response(4, 27, probe, le(0, 1))));
    EXPECT_NE(server.post(pingMessage(28, probe)).exitCode, 0);  // held, then dropped
    EXPECT_EQ(server.post(pingMessage(29, probe)).body.size(), 17u);  // the rules are used up
    bool ruled = false;
    for (const auto& request : server.journalLines()) ruled |= request.value("rules", "") == "error:5 XFER#1";
    EXPECT_TRUE(ruled);
}

TEST(Server, RulesFromAFileAndPerJobCounts) {
    std::string dir = tempDir();
    writeAll(dir + "/scenario", "# PINGs wait twice per job\nwait PING count 2 per-job\n");
    ServerProcess server({"--scenario", dir + "/scenario"});
    for (const std::string uid : {"AAAAAAAAAA", "BBBBBBBBBB"}) {
        EXPECT_EQ(server.post(pingMessage(1, uid)).body.back(), 2);
        EXPECT_EQ(server.post(pingMessage(2, uid)).body.back(), 2);
        EXPECT_EQ(server.post(pingMessage(3, uid)).body.back(), 0);
    }
    sh("rm -rf " + dir);
    EXPECT_NE(sh(std::string(RPQSERVER_EXE) + " --rule 'explode all' 2>/dev/null"), 0);
}

TEST(Server, JournalKeepsRawBodiesAndParts) {
    ServerProcess server;
    std::string message = pingMessage(9, kUid);
    server.post(message);
    auto lines = server.journalLines();
    ASSERT_EQ(lines.size(), 1u);
    const auto& line = lines[0];
    std::string body = readAll(server.dir() + "/journal/" + line["bodyFile"].get<std::string>());
    EXPECT_EQ(line["bodySize"], body.size());
    EXPECT_EQ(line["messageHex"], hex(message));
    EXPECT_EQ(line["parts"][0]["name"], "message");
    EXPECT_EQ(line["parts"][0]["filename"], "message.dat");
    std::string boundary = line["boundary"];
    EXPECT_EQ(body.substr(0, boundary.size() + 4), "--" + boundary + "\r\n");
    EXPECT_EQ(body.substr(body.size() - boundary.size() - 8), "\r\n--" + boundary + "--\r\n");
}

TEST(Server, HostileInputGetsClearErrors) {
    ServerProcess server({"--max-body", "100000"});
    std::string u = server.url();
    auto status = [&](const std::string& args) {
        std::string out = server.dir() + "/hostile";
        return sh("curl -s -o " + out + " -w '%{http_code}' " + args + " '" + u + "' > " + out + ".code") == 0
                   ? atoi(readAll(out + ".code").c_str())
                   : -1;
    };
    EXPECT_EQ(status("--data-binary 'plain text'"), 400);
    EXPECT_EQ(status("-H 'Content-Type: multipart/form-data; boundary=zzz' --data-binary 'garbage'"), 400);
    EXPECT_EQ(status("-F 'other=abc'"), 400);
    EXPECT_EQ(server.post("\x04\x01").httpStatus, 400);                    // short header
    EXPECT_EQ(server.post(le(9, 1) + le(1, 4) + le(0, 1)).httpStatus, 400);  // unknown type
    EXPECT_EQ(server.post(pingMessage(1, kUid) + "tail").httpStatus, 400);
    std::string c = "data";
    EXPECT_EQ(server.post(chunkMessage(2, kUid, 1, 0, 4, md5Of(c)), &c).httpStatus, 400);  // no XFER
    EXPECT_EQ(server.post(xferMessage(3, "../../etc01", 1, 1, md5Of("x"), "x")).httpStatus, 400);
    std::string big(200000, 'x');
    EXPECT_EQ(server.post(pingMessage(4, kUid), &big).httpStatus, 413);
    EXPECT_EQ(status("-X GET"), 404);
    EXPECT_EQ(server.post(pingMessage(5, kUid)).httpStatus, 200);  // still alive
}

TEST(Server, Https) {
    ServerProcess server({}, true);
    ASSERT_GT(server.port(), 0);
    CurlResult r = server.post(pingMessage(3, kUid));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(hex(r.body), "04030000000a" + hex(kUid) + "00");
    EXPECT_NE(sh("curl -s -o /dev/null " + server.url()), 0);  // self-signed: refused without -k
}
}  // namespace
