// Notifier datagrams received by a real UDP socket.
#include <windows.h>
#include <gtest/gtest.h>
#include <winsock2.h>
#include <memory>
#include "interact/notify.h"
#include "printproc/rawjob/jobstate.h"
#include "tests/testutil.h"

namespace {
struct Row {
    int level;
    const wchar_t* format;
};
// The catalogue, filled with printer "Office", document "Report", 3 pages,
// 2 parts.
const Row kRows[] = {
    {L_START, L"[Office] Start working on print job 'Report'"},
    {L_ERROR, L"[Office] print job 'Report' can't be processed because server in not ready."},
    {L_ERROR, L"[Office] Print job 'Report' **** ABORTED ****!!!!"},
    {L_INFO, L"[Office] Sending print job 'Report' with 3 page(s)"},
    {L_DEBUG, L"[Office] Create 2 parts for transmission"},
    {L_ERROR, L"[Office] print job FAILED, because 'Undefined'"},
    {L_INFO, L"[Office] Sending part 1 of 2"},
    {L_STOP, L"[Office] END, print job 'Report' SUCCESSFULLY transferred."},
    {L_ERROR, L"[Office] Print job 'Report' **** FAILED ****!!!!"},
    {L_ERROR, L"[Office] **** Your document could not be processed. Please try to send the job again. ****"},
};

class NotifyTest : public ::testing::Test {
protected:
    CJobState state;
    CJobScope scope{state};
    std::unique_ptr<CUdpListener> listener;

    void SetUp() override {
        wchar_t name[MAX_PATH];
        wcscpy(name, uniqueName(L"Notify").c_str());
        ASSERT_TRUE(state.log().openLogFile(name));
    }
    // Listens on all addresses: the sender aims at the host's first IPv4
    // address, not at loopback.
    void listen(USHORT wanted, const wchar_t* portText = nullptr) {
        listener = std::make_unique<CUdpListener>(wanted, portText);
        ASSERT_TRUE(listener->ok());
    }
    std::vector<std::string> receiveAll() { return listener->receiveAll(); }
};

TEST_F(NotifyTest, RowsAndPrefixByLogLevel) {
    listen(0);
    const char* uid = "N0tifyUid1";
    for (int logLevel : {L_ON, L_TRACE, L_DEBUG, L_INFO, L_WARN, L_ERROR, L_FATAL, L_OFF}) {
        state.log().setLevel(logLevel);
        for (const Row& row : kRows) sendNotification(row.level, uid, L"%s", row.format);
        auto got = receiveAll();
        size_t next = 0;
        for (const Row& row : kRows) {
            if (row.level < logLevel) continue;
            ASSERT_LT(next, got.size()) << "log level " << logLevel;
            const std::string& d = got[next++];
            std::string marker = std::string(kNotifierMarker) + ":";
            ASSERT_EQ(d.substr(0, 37), marker);
            ASSERT_EQ(d.back(), '\0');
            ASSERT_EQ(d.substr(d.size() - 3, 2), "\r\n");
            std::string text = d.substr(37, d.size() - 40);
            std::string message = narrow(row.format);
            if (wantsTimePrefix(logLevel, row.level)) {
                ASSERT_EQ(text.size(), 22 + message.size()) << text;
                EXPECT_EQ(text[0], '[');
                EXPECT_EQ(text[3], ':');
                EXPECT_EQ(text.substr(9, 13), std::string("][") + uid + "]");
                EXPECT_EQ(text.substr(22), message);
            } else {
                EXPECT_EQ(text, message) << "log level " << logLevel;
            }
        }
        EXPECT_EQ(next, got.size()) << "log level " << logLevel;
    }
}

TEST_F(NotifyTest, PrefixRule) {
    for (int m : {L_START, L_STOP, L_INFO, L_ERROR}) {
        EXPECT_TRUE(wantsTimePrefix(L_ON, m));
        EXPECT_TRUE(wantsTimePrefix(L_DEBUG, m));
        EXPECT_FALSE(wantsTimePrefix(L_INFO, m));
        EXPECT_FALSE(wantsTimePrefix(L_WARN, m));
    }
    EXPECT_TRUE(wantsTimePrefix(L_ERROR, L_ERROR));
    EXPECT_TRUE(wantsTimePrefix(L_ERROR, L_FATAL));
    EXPECT_FALSE(wantsTimePrefix(L_ERROR, L_START));
    EXPECT_FALSE(wantsTimePrefix(L_FATAL, L_STOP));
}

TEST_F(NotifyTest, PortTextKeepsItsLowSixteenBits) {
    listen(0);
    // A free port written as port + 65536: only its low sixteen bits count.
    std::wstring over = std::to_wstring(listener->port() + 65536u);
    RegSetKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify", L"UDPPort", REG_SZ,
                    over.c_str(), static_cast<DWORD>((over.size() + 1) * 2));
    state.log().setLevel(L_INFO);
    sendNotification(L_START, "0123456789", L"[%s] Start working on print job '%s'", L"P", L"D");
    auto got = receiveAll();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("[P] Start working on print job 'D'"), std::string::npos);
    wchar_t text[261];
    EXPECT_EQ(notifierPort(text, 261), listener->port());
    EXPECT_EQ(text, over);
    RegSetKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify", L"UDPPort", REG_SZ, L"abc", 8);
    EXPECT_EQ(notifierPort(text, 261), 0);  // not a number: port 0
}

TEST_F(NotifyTest, LongMessagesAreCutInsideTheBuffer) {
    char buffer[kDatagramSize + 16];
    memset(buffer, 'Z', sizeof(buffer));
    std::string text(1000, 'x');
    size_t length = buildDatagram(buffer, "[12:00:00][0123456789]", text.c_str());
    EXPECT_EQ(length, kDatagramSize - 1);
    EXPECT_EQ(std::string(buffer + 497, 3), std::string("\r\n\0", 3));
    EXPECT_EQ(buffer[kDatagramSize], 'Z');  // nothing past the buffer
    EXPECT_EQ(std::string(buffer + 37, 22), "[12:00:00][0123456789]");
}

TEST_F(NotifyTest, FailureNoticesWithoutANotifier) {
    listen(0);
    state.log().setLevel(L_INFO);
    EXPECT_FALSE(isProcessRunning(L"Trayherald.exe"));
    EXPECT_TRUE(isProcessRunning(L"TEST_NOTIFY.EXE"));
    notifyJobFailed(L"Office", L"Report", "0123456789");
    auto got = receiveAll();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].find(narrow(kRows[8].format)), std::string::npos);
    EXPECT_NE(got[1].find(narrow(kRows[9].format)), std::string::npos);
    std::string log = readFileBytes(state.log().path());
    EXPECT_NE(log.find("[ERROR] TaskBarNotifier not available!"), std::string::npos);
}
}  // namespace
