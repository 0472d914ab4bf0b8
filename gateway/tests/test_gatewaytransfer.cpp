// The gateway's transfer against the reference server over loopback, with
// the server's fault rules.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include "gateway/transfer.h"

namespace {

class CReferenceServer {
public:
    explicit CReferenceServer(const std::vector<std::string>& rules) {
        char dir[] = "/tmp/rpqgate-server-XXXXXX";
        m_dir = mkdtemp(dir);
        const char* exe = getenv("RPQ_SERVER_EXE");
        std::vector<std::string> args = {exe ? exe : "rpqserver", "--port", "0", "--port-file", m_dir + "/port",
                                         "--storage", m_dir + "/store", "--journal", m_dir + "/journal", "--quiet"};
        for (const std::string& r : rules) {
            args.push_back("--rule");
            args.push_back(r);
        }
        m_pid = fork();
        if (m_pid == 0) {
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 500 && m_port == 0; ++i) {
            std::ifstream in(m_dir + "/port");
            in >> m_port;
            if (!m_port) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~CReferenceServer() {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        system(("rm -rf " + m_dir).c_str());
    }
    PrinterTarget target() const {
        PrinterTarget t;
        t.name = "office";
        t.server = "127.0.0.1";
        t.port = static_cast<uint16_t>(m_port);
        t.transferPath = "/FDXS_Transfer";
        t.url = "http://127.0.0.1:" + std::to_string(m_port) + "/FDXS_Transfer";
        return t;
    }
    // The requests' types in the order the server took them.
    std::string types() const {
        std::ifstream in(m_dir + "/journal/requests.jsonl");
        std::string line, out;
        while (std::getline(in, line)) {
            auto j = nlohmann::json::parse(line);
            std::string hex = j.value("messageHex", "");
            int type = hex.size() >= 2 ? std::stoi(hex.substr(0, 2), nullptr, 16) : 0;
            static const char* kNames[] = {"?", "XFER", "CHUNK", "RESET", "PING"};
            out += std::string(out.empty() ? "" : " ") + (type >= 1 && type <= 4 ? kNames[type] : "?");
        }
        return out;
    }
    std::string document(const std::string& uid) const {
        std::ifstream in(m_dir + "/store/" + uid + "/document/" + uid + ".dat", std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    const std::string& dir() const { return m_dir; }
    int port() const { return m_port; }

private:
    std::string m_dir;
    pid_t m_pid = -1;
    int m_port = 0;
};

class CRecordingTeller : public CJobTeller {
public:
    void progress(const std::string& message) override { messages.push_back(message); }
    void log(int, const std::string&) override {}
    void interactionPage(const std::string& address) override { page = address; }
    bool cancelled() override { return cancelAfter >= 0 && static_cast<int>(messages.size()) > cancelAfter; }
    std::vector<std::string> messages;
    std::string page;
    int cancelAfter = -1;  // cancelled once this many messages were shown
};

struct TransferFixture : ::testing::Test {
    void SetUp() override {
        char dir[] = "/tmp/rpqgate-job-XXXXXX";
        work = mkdtemp(dir);
        job.uid = "Ab3dEf7hIj";
        job.printer = "office";
        job.workDir = work;
        job.documentPath = work + "/" + job.uid + ".doc";
        job.user = u"alice";
        job.host = u"laptop";
        job.domain = u"example.com";
        job.domainKind = 1;
        job.documentName = u"Report.pdf";
        job.copies = 2;
        job.pages = 3;
        std::ofstream(job.documentPath, std::ios::binary) << content;
    }
    void TearDown() override { system(("rm -rf " + work).c_str()); }
    TransferResult run(const CReferenceServer& server, CRecordingTeller& teller, PrinterTarget* custom = nullptr) {
        CSerials serials(work);
        CClock clock;
        PrinterTarget target = custom ? *custom : server.target();
        return runGatewayTransfer(target, job, serials, teller, clock);
    }
    std::string work;
    std::string content = std::string("%PDF-1.4\n") + std::string(100000, 'x');
    GatewayJob job;
};

TEST_F(TransferFixture, ConfirmedJobArrivesWholeAfterWaits) {
    CReferenceServer server({"wait PING#2+ count 2"});  // the probe is PING #1
    CRecordingTeller teller;
    TransferResult r = run(server, teller);
    EXPECT_EQ(r.outcome, JobOutcome::Confirmed) << r.reason;
    std::string types = server.types();  // the server may answer Wait while it verifies, too
    EXPECT_EQ(types.substr(0, 31), "PING XFER CHUNK PING PING PING ") << types;
    EXPECT_EQ(types.substr(types.size() - 10), "PING RESET") << types;
    EXPECT_EQ(server.document(job.uid), content);
    EXPECT_NE(std::find(teller.messages.begin(), teller.messages.end(), "Sending part 1 of 1"), teller.messages.end());
    EXPECT_EQ(teller.messages.back(), "Waiting for the server");
    EXPECT_NE(access((work + "/" + job.uid + ".7z").c_str(), F_OK), 0);  // the archive is gone
}

TEST_F(TransferFixture, ArchiveOfTwoChunksIsSentInRanges) {
    // Bytes that do not compress: the archive exceeds one chunk.
    std::string noise(17 * 1024 * 1024, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (char& c : noise) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        c = static_cast<char>(x);
    }
    content = noise;
    std::ofstream(job.documentPath, std::ios::binary | std::ios::trunc) << content;
    CReferenceServer server({});
    CRecordingTeller teller;
    TransferResult r = run(server, teller);
    EXPECT_EQ(r.outcome, JobOutcome::Confirmed) << r.reason;
    std::string types = server.types();
    EXPECT_EQ(types.substr(0, 21), "PING XFER CHUNK CHUNK") << types;
    EXPECT_EQ(server.document(job.uid), content);  // each chunk's range and MD5 right
    EXPECT_NE(std::find(teller.messages.begin(), teller.messages.end(), "Sending part 1 of 2"), teller.messages.end());
    EXPECT_NE(std::find(teller.messages.begin(), teller.messages.end(), "Sending part 2 of 2"), teller.messages.end());
}

TEST_F(TransferFixture, FailuresEndAsTheSharedRulesSay) {
    struct Case {
        const char* rule;
        const char* reason;
        const char* types;
    } cases[] = {
        {"error:5 XFER", "server reason 5", "PING XFER RESET"},                  // refused: the reason, and RESET
        {"error:3 CHUNK", "part 1", "PING XFER CHUNK CHUNK RESET"},              // one retry before a chunk is confirmed
        {"wrong:seq XFER", "answered another request", "PING XFER"},             // an invalid XFER answer: no RESET
        {"error PING#2+", "did not confirm", "PING XFER CHUNK PING RESET"},      // the probe's PING is #1
        {"wrong:uid PING", "The workflow server is not ready", "PING PING PING"},  // the probe, three times, then nothing
    };
    for (const Case& c : cases) {
        CReferenceServer server({c.rule});
        CRecordingTeller teller;
        TransferResult r = run(server, teller);
        EXPECT_EQ(r.outcome, JobOutcome::Failed) << c.rule;
        EXPECT_NE(r.reason.find(c.reason), std::string::npos) << c.rule << ": " << r.reason;
        EXPECT_EQ(server.types(), c.types) << c.rule;
        bool compressed = std::find(teller.messages.begin(), teller.messages.end(), "Compressing") != teller.messages.end();
        EXPECT_EQ(compressed, std::string(c.types) != "PING PING PING") << c.rule;
    }
    CReferenceServer server({});
    PrinterTarget nowhere = server.target();
    nowhere.port = 1;  // nothing listens there
    CRecordingTeller teller;
    TransferResult r = run(server, teller, &nowhere);
    EXPECT_EQ(r.outcome, JobOutcome::Failed);
    EXPECT_NE(r.reason.find("not ready"), std::string::npos) << r.reason;
}

TEST_F(TransferFixture, ProbeComesFirstWithAUidOfItsOwnAndAnyAnswerWillDo) {
    {
        CReferenceServer server({"error:2 PING#1"});
        CRecordingTeller teller;
        TransferResult r = run(server, teller);
        EXPECT_EQ(r.outcome, JobOutcome::Confirmed) << r.reason;
        EXPECT_EQ(server.types().substr(0, 15), "PING XFER CHUNK") << server.types();
        std::ifstream in(server.dir() + "/journal/requests.jsonl");
        std::string first;
        std::getline(in, first);
        EXPECT_EQ(first.find(job.uid), std::string::npos) << first;
        EXPECT_EQ(teller.messages.front(), "Checking the workflow server");
    }
    // The same probe up to three times; the third answered.
    CReferenceServer server({"wrong:seq PING count 2"});
    CRecordingTeller teller;
    TransferResult r = run(server, teller);
    EXPECT_EQ(r.outcome, JobOutcome::Confirmed) << r.reason;
    EXPECT_EQ(server.types().substr(0, 20), "PING PING PING XFER ") << server.types();
}

TEST_F(TransferFixture, CancelEndsWithResetOnceTheServerKnowsTheJob) {
    CReferenceServer server({"wait PING"});
    CRecordingTeller teller;
    teller.cancelAfter = 4;  // while waiting for the server
    TransferResult r = run(server, teller);
    EXPECT_EQ(r.outcome, JobOutcome::Canceled);
    std::string types = server.types();
    EXPECT_EQ(types.substr(types.size() - 5), "RESET") << types;

    CReferenceServer quiet({});
    CRecordingTeller early;
    early.cancelAfter = 0;  // while compressing: the server never hears of it
    r = run(quiet, early);
    EXPECT_EQ(r.outcome, JobOutcome::Canceled);
    EXPECT_EQ(quiet.types(), "");
}

TEST_F(TransferFixture, InteractionPageAndSequenceNumbersPerPrinter) {
    CReferenceServer server({});
    PrinterTarget target = server.target();
    target.interaction = true;
    CRecordingTeller teller;
    TransferResult r = run(server, teller, &target);
    EXPECT_EQ(r.outcome, JobOutcome::Confirmed);
    EXPECT_EQ(teller.page, "http://127.0.0.1:" + std::to_string(server.port()) + "/FDXS_Interaction?uid=" + job.uid);
    CSerials serials(work);
    uint32_t next = 0;
    ASSERT_TRUE(serials.next("office", &next));
    std::string types = server.types();
    size_t requests = static_cast<size_t>(std::count(types.begin(), types.end(), ' ')) + 1;
    EXPECT_EQ(next, requests + 1) << types;  // each request took the next number
    ASSERT_TRUE(serials.next("lab", &next));
    EXPECT_EQ(next, 1u);
}

}  // namespace
