// RAW jobs printed through Wine's spooler to printers bound to RPQ, checked
// in the reference server's journal, the storage folder, the notifications
// and the log.
#include <windows.h>
#include <gtest/gtest.h>
#include <shlobj.h>
#include <winspool.h>
#include <thread>
#include "tests/e2efixture.h"

namespace {
std::vector<std::string> typesOf(const CPrintSetup& s) { return s.requestTypes(); }
using Types = std::vector<std::string>;

TEST(EndToEnd, OneChunk) {
    CPrintSetup s({}, uniqueName(L"E2E one"));
    ASSERT_TRUE(s.ok());
    std::string doc = randomData(300000, 1);
    ASSERT_EQ(s.print(doc), 0);
    Types types = typesOf(s);
    ASSERT_GE(types.size(), 5u);
    EXPECT_EQ((Types{types[0], types[1], types[2]}), (Types{"PING", "XFER", "CHUNK"}));
    EXPECT_EQ(types.back(), "RESET");
    auto chunk = s.requestsOf("CHUNK");
    ASSERT_EQ(chunk.size(), 1u);
    EXPECT_EQ(messageField(chunk[0], "currentChunk"), "1");
    EXPECT_EQ(messageField(chunk[0], "nextChunk"), "0");
    auto xfer = s.requestsOf("XFER")[0];
    EXPECT_EQ(messageField(xfer, "size"), "300000");
    EXPECT_EQ(messageField(xfer, "filename"), "report.txt");
    EXPECT_EQ(messageField(xfer, "domainName"), "Workgroup");
    EXPECT_EQ(messageField(xfer, "domainKind"), "2");
    EXPECT_EQ(s.lastJobState(), "verified");
    std::string uid = messageField(xfer, "uid");
    EXPECT_EQ(readFileBytes(s.server->winPath("storage/" + uid + "/document/" + uid + ".dat")), doc);
    EXPECT_TRUE(s.storageFiles().empty());  // chunk files and record deleted

    auto notices = s.notices();
    EXPECT_TRUE(contains(notices, "] Start working on print job 'C:\\Docs\\report.txt'"));
    EXPECT_TRUE(contains(notices, "] Sending print job 'report.txt' with 0 page(s)"));
    EXPECT_TRUE(contains(notices, "] END, print job 'report.txt' SUCCESSFULLY transferred."));
    EXPECT_FALSE(contains(notices, "Sending part"));
    EXPECT_TRUE(contains(notices, "[" + uid + "]"));
    std::string log = s.logText();
    EXPECT_NE(log.find("[START] ###### printing on <"), std::string::npos);
    // The job's pages and copies are read through the printer opened by its
    // own name: Wine's spooler, as Windows', opens us on the port, which GetJob
    // does not answer.
    EXPECT_NE(log.find("Send document with <0> page(s) and <1> copies"), std::string::npos);
    EXPECT_NE(log.find("[STOP ] ###### printing on <"), std::string::npos);
    EXPECT_NE(log.find("Enter state: *** QUIT ***"), std::string::npos);
    EXPECT_EQ(log.find("Try to open browser"), std::string::npos);  // "Interaction" off
}

TEST(EndToEnd, ThreeChunks) {
    CPrintSetup s({}, uniqueName(L"E2E three"));
    ASSERT_TRUE(s.ok());
    std::string doc = randomData(40u << 20, 2);  // random: the archive stays near 40 MiB
    ASSERT_EQ(s.print(doc), 0);
    auto chunks = s.requestsOf("CHUNK");
    ASSERT_EQ(chunks.size(), 3u);
    const char* expected[3][2] = {{"1", "2"}, {"2", "3"}, {"3", "0"}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(messageField(chunks[i], "currentChunk"), expected[i][0]);
        EXPECT_EQ(messageField(chunks[i], "nextChunk"), expected[i][1]);
    }
    EXPECT_EQ(messageField(chunks[0], "size"), "16777216");
    EXPECT_EQ(s.lastJobState(), "verified");
    auto notices = s.notices();
    EXPECT_TRUE(contains(notices, "] Create 3 parts for transmission"));
    for (int part = 1; part <= 3; ++part)
        EXPECT_TRUE(contains(notices, "] Sending part " + std::to_string(part) + " of 3")) << part;
}

TEST(EndToEnd, ChunkAnsweredErrorTwiceIsSentAgain) {
    CPrintSetup s({"error:1 CHUNK=2 count 2"}, uniqueName(L"E2E retry"));
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(s.print(randomData(20u << 20, 3)), 0);
    auto chunks = s.requestsOf("CHUNK");
    std::vector<std::string> numbers;
    for (const auto& c : chunks) numbers.push_back(messageField(c, "currentChunk"));
    EXPECT_EQ(numbers, (Types{"1", "2", "2", "2"}));
    EXPECT_EQ(s.lastJobState(), "verified");
    EXPECT_TRUE(contains(s.notices(), "SUCCESSFULLY transferred"));
}

TEST(EndToEnd, FirstChunkAnsweredErrorTwiceEndsTheJob) {
    CPrintSetup s({"error:1 CHUNK count 2"}, uniqueName(L"E2E first"));
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(s.print(randomData(5000, 4)), 0);
    Types types = typesOf(s);
    EXPECT_EQ(types, (Types{"PING", "XFER", "CHUNK", "CHUNK", "RESET"}));
    auto notices = s.notices();
    EXPECT_TRUE(contains(notices, "] Print job 'report.txt' **** FAILED ****!!!!"));
    EXPECT_TRUE(contains(notices, "**** Your document could not be processed. Please try to send the job again. ****"));
    EXPECT_TRUE(s.storageFiles().empty());  // the failed job's files are discarded
}

TEST(EndToEnd, ChunkErrorsAfterAnOkAreRetriedFourTimesOnly) {
    CPrintSetup s({"error:1 CHUNK=2 count 5"}, uniqueName(L"E2E fifth"));
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(s.print(randomData(20u << 20, 11)), 0);
    std::vector<std::string> numbers;
    for (const auto& c : s.requestsOf("CHUNK")) numbers.push_back(messageField(c, "currentChunk"));
    EXPECT_EQ(numbers, (Types{"1", "2", "2", "2", "2", "2"}));  // the fifth Error ends it
    EXPECT_EQ(s.requestTypes().back(), "RESET");
    EXPECT_TRUE(contains(s.notices(), "**** FAILED ****!!!!"));
    EXPECT_TRUE(s.storageFiles().empty());
}

TEST(EndToEnd, ChunkAnsweredWaitIsFollowedUpWithPings) {
    CPrintSetup s({"wait CHUNK count 1"}, uniqueName(L"E2E chunk wait"));
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(s.print("waited for"), 0);
    Types types = typesOf(s);
    ASSERT_GE(types.size(), 5u);
    EXPECT_EQ((Types{types[0], types[1], types[2], types[3]}), (Types{"PING", "XFER", "CHUNK", "PING"}));
    EXPECT_EQ(s.requestsOf("CHUNK").size(), 1u);
    EXPECT_EQ(s.lastJobState(), "verified");
    EXPECT_TRUE(contains(s.notices(), "SUCCESSFULLY transferred"));
}

// Answers that belong to another request: a wrong type to the first XFER,
// a wrong serial number to the first CHUNK, a wrong UID to the second RESET.
TEST(EndToEnd, AnswersToAnotherRequestAndDocumentNames) {
    CPrintSetup s({"wrong:type XFER#1", "wrong:seq CHUNK#1", "wrong:uid RESET#2"}, uniqueName(L"E2E wrong"));
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(s.print("first", L"plain.txt"), 0);
    EXPECT_EQ(typesOf(s), (Types{"PING", "XFER"}));
    EXPECT_EQ(messageField(s.requestsOf("XFER")[0], "filename"), "plain.txt");  // no folder
    EXPECT_NE(s.logText().find("XFER response received but INVALID type!"), std::string::npos);

    ASSERT_EQ(s.print("second"), 0);
    EXPECT_EQ(typesOf(s), (Types{"PING", "XFER", "PING", "XFER", "CHUNK", "RESET"}));
    EXPECT_NE(s.logText().find("CHUNK response received, but INVALID!"), std::string::npos);

    // A title too long for the job's buffers is shortened, keeping its extension.
    std::wstring title = L"C:\\Docs\\" + std::wstring(300, L'n') + L".pdf";
    ASSERT_EQ(s.print("third", title), 0);
    EXPECT_EQ(s.lastJobState(), "verified");
    auto xfers = s.requestsOf("XFER");
    ASSERT_EQ(xfers.size(), 3u);
    EXPECT_EQ(messageField(xfers[2], "filename"), std::string(251, 'n') + ".pdf");
    EXPECT_NE(s.logText().find("Response INVALID because response UID doesn't match request UID"), std::string::npos);
    auto notices = s.notices();
    EXPECT_EQ(countOf(notices, "**** FAILED ****!!!!"), 2u);
    EXPECT_TRUE(contains(notices, "SUCCESSFULLY transferred"));
    EXPECT_TRUE(s.storageFiles().empty());
}

// No request goes out on a connection the server may have closed while
// idle: each asks for a connection of its own.
TEST(EndToEnd, EveryExchangeOnItsOwnConnection) {
    CPrintSetup s({}, uniqueName(L"E2E connections"));
    ASSERT_TRUE(s.ok());
    for (int job = 0; job < 3; ++job) ASSERT_EQ(s.print(randomData(40000, 20 + job)), 0);
    auto requests = s.requests();
    ASSERT_GE(requests.size(), 12u);
    for (const std::string& line : requests) EXPECT_EQ(jsonField(line, "connection"), "close") << line;
    EXPECT_EQ(s.lastJobState(), "verified");
}

TEST(EndToEnd, XferAnsweredError) {
    CPrintSetup s({"error:5 XFER"}, uniqueName(L"E2E xfer error"));
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(s.print("small document"), 0);
    EXPECT_EQ(typesOf(s), (Types{"PING", "XFER", "RESET"}));
    auto notices = s.notices();
    EXPECT_TRUE(contains(notices, "] print job FAILED, because 'server reason 5'"));
    EXPECT_TRUE(contains(notices, "**** FAILED ****!!!!"));
    EXPECT_TRUE(s.storageFiles().empty());
    EXPECT_NE(s.logText().find("XFER NAK: resetting"), std::string::npos);
    EXPECT_NE(s.logText().find("Enter state: *** QUIT ***"), std::string::npos);
}

TEST(EndToEnd, XferAnsweredWait) {
    CPrintSetup s({"wait XFER"}, uniqueName(L"E2E xfer wait"));
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(s.print("small document"), 0);
    EXPECT_EQ(typesOf(s), (Types{"PING", "XFER"}));  // QUIT without RESET
    EXPECT_TRUE(contains(s.notices(), "**** FAILED ****!!!!"));
}

TEST(EndToEnd, ServerSilentAfterTheLastChunk) {
    CPrintSetup s({"silent:close PING#2+", "silent:close RESET"}, uniqueName(L"E2E silent"));
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(s.print("document the server never confirms"), 0);
    Types types = typesOf(s);
    // One PING, then RESET retried while the silence is short: 1 + 4 retries.
    EXPECT_EQ(types, (Types{"PING", "XFER", "CHUNK", "PING", "RESET", "RESET", "RESET", "RESET", "RESET"}));
    // The job the server never confirms is lost: the user is told, its files go.
    auto notices = s.notices();
    EXPECT_FALSE(contains(notices, "SUCCESSFULLY"));
    EXPECT_TRUE(contains(notices, "**** FAILED ****!!!!"));
    EXPECT_TRUE(contains(notices, "Please try to send the job again."));
    EXPECT_TRUE(s.storageFiles().empty());
    EXPECT_NE(s.logText().find("could not be transferred."), std::string::npos);
}

TEST(EndToEnd, ServerDownAtTheProbe) {
    CPrintSetup s({}, uniqueName(L"E2E down"));
    ASSERT_TRUE(s.ok());
    s.server->stop();
    s.print("nobody listens");  // under Wine the spooler reports the failed job to the printing program
    EXPECT_TRUE(contains(s.notices(), "can't be processed because server in not ready."));
    EXPECT_TRUE(s.storageFiles().empty());  // nothing captured
    EXPECT_NE(s.logText().find("[FATAL] Server not ready!"), std::string::npos);
}

TEST(EndToEnd, ZeroByteJob) {
    CPrintSetup s({}, uniqueName(L"E2E empty"));
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(s.print(""), 0);
    ASSERT_EQ(s.requestsOf("XFER").size(), 1u);
    EXPECT_EQ(messageField(s.requestsOf("XFER")[0], "size"), "0");
    EXPECT_EQ(s.lastJobState(), "verified");
}

TEST(EndToEnd, PrinterNameWithAColon) {
    CPrintSetup s({}, uniqueName(L"E2E a:b"));
    ASSERT_TRUE(s.ok());
    EXPECT_NE(s.escapedName().find(L"%3a"), std::wstring::npos);
    ASSERT_EQ(s.print("colon"), 0);
    EXPECT_EQ(s.lastJobState(), "verified");
    EXPECT_NE(s.logText().find("SUCCESSFULLY transferred"), std::string::npos);
}

TEST(EndToEnd, InteractionOpensTheJobsPage) {
    CPrintSetup s({}, uniqueName(L"E2E browser"), L"Interaction=1");
    ASSERT_TRUE(s.ok());
    CTestBrowser browser;
    ASSERT_EQ(s.print("interactive"), 0);
    ASSERT_EQ(s.requestsOf("XFER").size(), 1u);
    std::string uid = messageField(s.requestsOf("XFER")[0], "uid");
    std::string opened = browser.opened();
    EXPECT_EQ(opened, "http://127.0.0.1:" + std::to_string(s.server->port()) + "/FDXS_Interaction?uid=" + uid + "\n");
}

TEST(EndToEnd, TwoPrintersFromTwoThreads) {
    // Under Wine the empty document goes to the printer's port: two jobs
    // at once need two ports.
    CPrintSetup a({}, uniqueName(L"E2E thread A"), L"", L"--port C:\\rpq-a-" + widen(uniqueToken()) + L".prn");
    CPrintSetup b({}, uniqueName(L"E2E thread B"), L"", L"--port C:\\rpq-b-" + widen(uniqueToken()) + L".prn");
    ASSERT_TRUE(a.ok() && b.ok());
    auto printWith = [](CPrintSetup* s, std::string data) {
        HANDLE printer = nullptr;
        std::wstring name = s->printer->name();
        if (!OpenPrinterW(&name[0], &printer, nullptr)) return;
        DOC_INFO_1W doc = {const_cast<LPWSTR>(L"threaded.txt"), nullptr, const_cast<LPWSTR>(L"RAW")};
        if (StartDocPrinterW(printer, 1, reinterpret_cast<BYTE*>(&doc))) {
            DWORD written = 0;
            WritePrinter(printer, &data[0], static_cast<DWORD>(data.size()), &written);
            EndDocPrinter(printer);
        }
        ClosePrinter(printer);
    };
    std::thread ta(printWith, &a, randomData(3u << 20, 5)), tb(printWith, &b, randomData(3u << 20, 6));
    ta.join();
    tb.join();
    EXPECT_EQ(a.lastJobState(), "verified");
    EXPECT_EQ(b.lastJobState(), "verified");
    ASSERT_FALSE(a.requestsOf("XFER").empty());
    ASSERT_FALSE(b.requestsOf("XFER").empty());
    std::string uidA = messageField(a.requestsOf("XFER")[0], "uid"), uidB = messageField(b.requestsOf("XFER")[0], "uid");
    std::string logA = a.logText(), logB = b.logText();
    EXPECT_NE(logA.find(uidA), std::string::npos);
    EXPECT_EQ(logA.find(uidB), std::string::npos);
    EXPECT_NE(logB.find(uidB), std::string::npos);
    EXPECT_EQ(logB.find(uidA), std::string::npos);
    EXPECT_NE(logA.find("Quitting print processor"), std::string::npos);
    EXPECT_NE(logB.find("Quitting print processor"), std::string::npos);
}
// "rpqadmin diagnose": the printer checked as its jobs go, against a server
// that answers, answers Error, is down, and over HTTPS.
TEST(Diagnose, ServerUpErrorDownAndHttps) {
    auto diagnose = [](const std::wstring& printer, std::string* out) {
        return runCommand(toolPath(L"rpqadmin.exe") + L" diagnose \"" + printer + L"\"", out);
    };
    std::string out;
    CPrintSetup up({}, uniqueName(L"Diagnose"));
    ASSERT_TRUE(up.ok());
    EXPECT_EQ(diagnose(up.printer->name(), &out), 0) << out;
    for (const char* text : {"print processor \"RPQ\"", "the server answers PING: OK", "job folder ",
                             "a job would get through"})
        EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
    // The notifier port as a job reads it: from each logged-on user's own hive.
    wchar_t user[MAX_PATH];
    DWORD size = MAX_PATH;
    GetUserNameW(user, &size);
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    std::string notifier = "\\" + narrow(user) + " (session " + std::to_string(session) + "): UDP port " +
                           std::to_string(up.listener->port()) + ", something listens there";
    EXPECT_NE(out.find(notifier), std::string::npos) << notifier << "\n" << out;

    // A printer whose log cannot be opened is still checked under its own,
    // escaped name: its settings, its job folder, never a stray twin.
    CPrintSetup blocked({}, uniqueName(L"Diagnose 100%"));
    ASSERT_TRUE(blocked.ok());
    wchar_t data[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data);
    std::wstring logFolder = std::wstring(data) + L"\\Halvane\\RPQ\\Log\\" + blocked.escapedName();
    ASSERT_TRUE(writeFileBytes(logFolder, "a file where the log's folder belongs"));
    EXPECT_EQ(diagnose(blocked.printer->name(), &out), 1) << out;
    EXPECT_NE(out.find("the log cannot be opened"), std::string::npos) << out;
    EXPECT_NE(out.find("the server answers PING: OK"), std::string::npos) << out;  // the printer's own settings
    EXPECT_NE(out.find("job folder " + narrow(std::wstring(data)) + "\\Halvane\\RPQ\\Temp\\" +
                       narrow(blocked.escapedName())),
              std::string::npos)
        << out;
    HKEY twin = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            (L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + blocked.printer->name() + L"\\FDXS").c_str(),
                            0, KEY_READ, &twin),
              ERROR_SUCCESS);
    DeleteFileW(logFolder.c_str());

    CPrintSetup refusing({"error:3 PING"}, uniqueName(L"Diagnose error"));
    ASSERT_TRUE(refusing.ok());
    EXPECT_EQ(diagnose(refusing.printer->name(), &out), 1) << out;
    EXPECT_NE(out.find("answers PING with Error (reason 3)"), std::string::npos) << out;

    CReferenceServer secure({}, true);
    ASSERT_TRUE(secure.ok());
    ASSERT_EQ(runCommand(toolPath(L"rpqadmin.exe") + L" configure \"" + up.printer->name() + L"\" ServerPort=" +
                         std::to_wstring(secure.port()) + L" SecureTransfer=1 AcceptAllCertificates=1"),
              0);
    EXPECT_EQ(diagnose(up.printer->name(), &out), 0) << out;
    EXPECT_NE(out.find("HTTPS (any certificate accepted)"), std::string::npos) << out;

    secure.stop();
    EXPECT_EQ(diagnose(up.printer->name(), &out), 1) << out;
    EXPECT_NE(out.find("does not answer PING: error 120"), std::string::npos) << out;  // WinINet's code and text
    EXPECT_NE(out.find("a job would NOT get through"), std::string::npos) << out;
}
}  // namespace
