// rpqcheck against the reference server (HTTP and HTTPS), against it with
// faults it must name, and against a second conforming server written from
// docs/protocol.md alone.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include "tests/testutil.h"

namespace {
struct Check {
    int rc;
    std::string out;
};

Check rpqcheck(int port, const std::wstring& options = L"--quick", bool https = false) {
    Check c;
    std::wstring url = std::wstring(https ? L"https" : L"http") + L"://127.0.0.1:" + std::to_wstring(port) + L"/FDXS_Transfer";
    c.rc = runCommand(toolPath(L"rpqcheck.exe") + L" " + options + L" " + url, &c.out);
    return c;
}

bool has(const Check& c, const std::string& text) { return c.out.find(text) != std::string::npos; }

TEST(Rpqcheck, PassesTheReferenceServer) {
    CReferenceServer server;
    ASSERT_TRUE(server.ok());
    Check c = rpqcheck(server.port(), L"");
    EXPECT_EQ(c.rc, 0) << c.out;
    EXPECT_FALSE(has(c, "FAIL ")) << c.out;
    for (const char* line : {"ok   the probe PING is answered, echoing type, sequence number and UID",
                             "ok   XFER is answered OK or Error (a job of one chunk)",
                             "ok   CHUNK 2 of 2 (a job of several chunks) is accepted",
                             "ok   PING eventually answers OK after the last chunk (a job with a non-ASCII document name and user)",
                             "ok   CHUNK 1 of 1 (a job whose first chunk is sent twice, sent twice) is answered",
                             "ok   RESET in the middle of a job is answered", "ok   the interaction page answers for an accepted job",
                             "...  a job of several chunks: sending part 2 of 2", "(docs/protocol.md: Responses (server to client))",
                             "info a PING for an unknown job is answered"})
        EXPECT_TRUE(has(c, line)) << line << "\n" << c.out;
    EXPECT_TRUE(has(c, " passed, 0 failed")) << c.out;
    EXPECT_TRUE(has(c, "info what rpqcheck cannot see: whether the server stored and verified")) << c.out;
    // The non-ASCII job's fields reach the server as the characters they are.
    bool named = false;
    for (const std::string& request : server.requests())
        named |= messageField(request, "filename") == "\xc3\x9c" "berpr\xc3\xbc" "fung_\xd0\xbe\xd1\x82\xd1\x87\xd1\x91\xd1\x82_"
                                                  "\xe5\xa0\xb1\xe5\x91\x8a\xe6\x9b\xb8 \xe2\x84\x96" "5.txt" &&
                 messageField(request, "username") == "Zo\xc3\xab \xc3\x98" "deg\xc3\xa5rd";
    EXPECT_TRUE(named);

    CReferenceServer secure({}, true);
    ASSERT_TRUE(secure.ok());
    c = rpqcheck(secure.port(), L"--quick --insecure", true);
    EXPECT_EQ(c.rc, 0) << c.out;
    EXPECT_TRUE(has(c, " passed, 0 failed")) << c.out;
}

// Each fault is named by the expectation it breaks.
TEST(Rpqcheck, NamesWhatAFaultyServerBreaks) {
    struct Case {
        const char* rule;
        const wchar_t* options;
        const char* failure;
    } cases[] = {
        {"wrong:uid XFER", L"--quick", "FAIL XFER (a job of one chunk) is answered, echoing type, sequence number and UID"},
        {"wrong:seq CHUNK", L"--quick", "FAIL CHUNK 1 of 1 (a job of one chunk) is answered, echoing"},
        {"html:500 PING#2", L"--quick", "FAIL PING after the last chunk (a job of one chunk) is answered"},
        {"silent:3000 XFER", L"--quick --timeout 1", "FAIL XFER (a job of one chunk) is answered"},
        {"silent:close RESET", L"--quick", "FAIL RESET (a job of one chunk) is answered"},
        {"error:1 CHUNK", L"--quick", "FAIL CHUNK 1 of 1 (a job of one chunk) is accepted"},
    };
    for (const Case& k : cases) {
        CReferenceServer server({k.rule});
        ASSERT_TRUE(server.ok()) << k.rule;
        Check c = rpqcheck(server.port(), k.options);
        EXPECT_EQ(c.rc, 1) << k.rule << "\n" << c.out;
        EXPECT_TRUE(has(c, k.failure)) << k.rule << "\n" << c.out;
        EXPECT_FALSE(has(c, " 0 failed")) << k.rule << "\n" << c.out;
    }
    // A refused chunk: the job's later expectations are named as skipped and
    // counted; the interaction page was asked for while the server held the job.
    CReferenceServer refusing({"error:1 CHUNK"});
    ASSERT_TRUE(refusing.ok());
    Check c = rpqcheck(refusing.port(), L"--quick");
    for (const char* line : {"skip PING eventually answers OK after the last chunk (a job of one chunk): CHUNK 1 was refused",
                             "skip RESET (a job of one chunk) is answered", "ok   the interaction page answers",
                             " skipped"})
        EXPECT_TRUE(has(c, line)) << line << "\n" << c.out;
    // A silent answer is told as a time-out, with how long it took.
    CReferenceServer silent({"silent:3000 XFER"});
    ASSERT_TRUE(silent.ok());
    c = rpqcheck(silent.port(), L"--quick --timeout 1");
    EXPECT_TRUE(has(c, "timed out after")) << c.out;
    // A probe answered with the wrong bytes is not "no answer".
    CReferenceServer wrong({"wrong:uid PING#1"});
    ASSERT_TRUE(wrong.ok());
    c = rpqcheck(wrong.port(), L"--quick");
    EXPECT_TRUE(has(c, "the server's answer to the probe is not the probe's")) << c.out;
    EXPECT_EQ(c.rc, 1) << c.out;
    Check bad;
    bad.rc = runCommand(toolPath(L"rpqcheck.exe") + L" ftp://127.0.0.1/x", &bad.out);
    EXPECT_EQ(bad.rc, 2) << bad.out;
}

// A server that is not rpqserver, written from the protocol document alone.
TEST(Rpqcheck, PassesAnotherConformingServer) {
    std::string dir = "/tmp/rpq-wt-" + uniqueToken();
    CreateDirectoryW(unixToWin(dir).c_str(), nullptr);
    ASSERT_TRUE(launchUnix("/usr/bin/python3 " RPQ_SOURCE_DIR "/tests/conforming_server.py " + dir + "/port"));
    ASSERT_TRUE(waitForFile(unixToWin(dir + "/port"), true, 10000));
    int port = atoi(readFileBytes(unixToWin(dir + "/port")).c_str());
    Check c = rpqcheck(port, L"");
    EXPECT_EQ(c.rc, 0) << c.out;
    EXPECT_TRUE(has(c, " passed, 0 failed")) << c.out;
    runUnix("curl -s http://127.0.0.1:" + std::to_string(port) + "/stop");
    EXPECT_TRUE(waitForFile(unixToWin(dir + "/port"), false, 10000));
    removeTree(unixToWin(dir));
}
}  // namespace
