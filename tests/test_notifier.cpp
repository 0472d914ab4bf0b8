// Trayherald's model: the receiving rule, the message list, the settings
// dialog's checks and the registry rules.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>
#include "notifier/listener.h"
#include "notifier/mainwindow.h"
#include "notifier/receiving.h"
#include "notifier/settings.h"
#include "notifier/validation.h"
#include "notifier/weblink.h"
#include "tests/testutil.h"

namespace {
std::wstring received(const std::string& datagram) {
    std::wstring message = L"unchanged";
    return acceptDatagram(datagram.data(), datagram.size(), &message) ? message : L"rejected";
}

TEST(NotifierReceiving, MarkerColonAndLines) {
    std::string marker = kDatagramMarker;
    EXPECT_EQ(received(marker + ":[10:00:01][AbCdE12345][P] Start working\r\n" + std::string(1, '\0')),
              L"[10:00:01][AbCdE12345][P] Start working\r\n");
    EXPECT_EQ(received("noise " + marker + ":text"), L"text");  // after the first colon of all
    EXPECT_EQ(received("a:b:" + marker), L"b:" + std::wstring(marker.begin(), marker.end()));
    EXPECT_EQ(received("no marker: here"), L"rejected");
    EXPECT_EQ(received(marker + ":cut\0after"), L"cut");
    EXPECT_EQ(splitLines(L"one\r\ntwo\rthree\nfour\r\n"), (std::vector<std::wstring>{L"one", L"two", L"three", L"four"}));
}

TEST(NotifierReceiving, ListNewestFirstAndAutomaticClearing) {
    CMessageList list;
    EXPECT_EQ(list.position(), -1);
    list.append(L"start");
    list.insertFront(L"b");
    list.insertFront(L"a");
    list.showFirst();
    EXPECT_EQ(list.at(0), L"a");
    EXPECT_EQ(list.at(2), L"start");
    list.clearShown();  // the first shown: exactly the front message goes
    EXPECT_EQ(list.count(), 2u);
    EXPECT_EQ(list.at(0), L"b");
    list.next();
    EXPECT_EQ(list.position(), 2);
    list.clearShown();  // paged to the second: both go
    EXPECT_EQ(list.count(), 0u);
    list.clearShown();
    EXPECT_EQ(list.position(), -1);
    list.append(L"x");
    list.previous();
    EXPECT_EQ(list.position(), 1);
    list.removeAt(0);
    EXPECT_EQ(list.position(), -1);
}

TEST(NotifierReceiving, OnlyThisMachineIsHeard) {
    auto address = [](const char* text) {
        in_addr a = {};
        a.s_addr = inet_addr(text);
        return a;
    };
    std::vector<ULONG> own = {inet_addr("192.168.7.20"), inet_addr("10.1.2.3")};
    for (const char* local : {"127.0.0.1", "127.0.1.1", "127.255.255.254", "192.168.7.20", "10.1.2.3"})
        EXPECT_TRUE(isLocalSender(address(local), own)) << local;
    for (const char* remote : {"192.168.7.21", "10.1.2.4", "0.0.0.0", "128.0.0.1", "255.255.255.255"})
        EXPECT_FALSE(isLocalSender(address(remote), own)) << remote;
    EXPECT_FALSE(isLocalSender(address("0.0.0.0"), {inet_addr("0.0.0.0")}));
}

TEST(NotifierReceiving, OnlyWebAnchorsBecomeLinks) {
    auto links = [](const std::wstring& line) {
        std::wstring out;
        for (const TextPiece& p : splitAnchors(line)) out += p.target.empty() ? L"[" + p.text + L"]" : L"{" + p.target + L"|" + p.text + L"}";
        return out;
    };
    EXPECT_EQ(links(L"Job <a href=\"http://srv:8080/FDXS_Interaction?uid=A\">page</a> ready"),
              L"[Job ]{http://srv:8080/FDXS_Interaction?uid=A|page}[ (srv:8080) ready]");
    EXPECT_EQ(links(L"<a href=\"HTTPS://srv/x\">s</a>"), L"{HTTPS://srv/x|s}[ (srv)]");
    // The label may say anything: the host shown is where the link goes.
    EXPECT_EQ(links(L"<a href=\"http://bank.example@evil.example/x\">bank.example</a>"),
              L"{http://bank.example@evil.example/x|bank.example}[ (evil.example)]");
    // Browsers end the host at a backslash: what follows it is path.
    EXPECT_EQ(links(L"<a href=\"http://evil.example\\@bank.example/x\">bank</a>"),
              L"{http://evil.example\\@bank.example/x|bank}[ (evil.example)]");
    for (const wchar_t* target : {L"C:\\Users\\Public\\x.exe", L"file:///C:/Windows/system32/calc.exe",
                                  L"\\\\host\\share\\x.exe", L"ms-settings:", L"javascript:alert(1)", L"http://",
                                  L"http://a b", L"http://a\tb", L"httpx://a", L" http://a"})
        EXPECT_EQ(links(L"A <a href=\"" + std::wstring(target) + L"\">Your job needs attention</a>!"),
                  L"[A Your job needs attention!]") << target;
    EXPECT_EQ(links(L"<a href=\"http://x\">unclosed"), L"[<a href=\"http://x\">unclosed]");
    EXPECT_EQ(links(L""), L"");
}

// The click's own check: a target that is no web link never reaches the
// shell, even if it got past the parser.
TEST(NotifierReceiving, OnlyWebLinksReachTheShell) {
    CTestBrowser browser;
    for (const wchar_t* target : {L"ftp://127.0.0.1:9/tool.exe", L"file:///C:/windows/system32/calc.exe",
                                  L"C:\\windows\\notepad.exe", L"javascript:alert(1)"})
        EXPECT_FALSE(openWebLink(nullptr, target)) << narrow(target);
    EXPECT_EQ(browser.opened(1000), "");
    EXPECT_TRUE(openWebLink(nullptr, L"http://127.0.0.1:9/page"));
    EXPECT_EQ(browser.opened(), "http://127.0.0.1:9/page\n");
}

TEST(NotifierReceiving, ListKeepsTheNewestThousand) {
    CMessageList list;
    list.append(L"start");
    for (int i = 1; i <= 2500; ++i) list.insertFront(std::to_wstring(i));
    EXPECT_EQ(list.count(), kMaxMessages);
    EXPECT_EQ(list.at(0), L"2500");
    EXPECT_EQ(list.at(kMaxMessages - 1), L"1501");
    list.append(L"late");  // a full list takes no appended message
    EXPECT_EQ(list.count(), kMaxMessages);
}

TEST(NotifierValidation, WholeTextOnly) {
    for (const wchar_t* port : {L"1", L"80", L"8090", L"65535"}) EXPECT_TRUE(isValidPort(port)) << port;
    for (const wchar_t* port : {L"0", L"65536", L"08090", L"-1", L" 8090", L"", L"1\n2", L"1\r\n2", L"8090\n"})
        EXPECT_FALSE(isValidPort(port)) << port;
    for (const wchar_t* duration : {L"500", L"5000", L"60000"}) EXPECT_TRUE(isValidDuration(duration)) << duration;
    for (const wchar_t* duration : {L"499", L"60001", L"0500", L"", L"600\n700"})
        EXPECT_FALSE(isValidDuration(duration)) << duration;
    EXPECT_FALSE(matchesWhole("(", L"x"));  // a pattern that does not compile matches nothing
}

TEST(NotifierValidation, StartTextsAreIntegers) {
    int value = 0;
    EXPECT_TRUE(toInteger(L"8090", &value).empty());
    EXPECT_EQ(value, 8090);
    EXPECT_EQ(toInteger(L"80a", &value), L"'80a' is not a valid integer value");
    EXPECT_FALSE(toInteger(L"", &value).empty());
}

class NotifierRegistry : public ::testing::Test {
protected:
    std::wstring key = L"SOFTWARE\\Halvane\\RpqTest\\" + uniqueName(L"Notify");
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str()); }
};

TEST_F(NotifierRegistry, ReadAndWriteRules) {
    EXPECT_EQ(readString(HKEY_CURRENT_USER, key.c_str(), L"UDPPort", L"8090"), L"8090");  // no key: default
    EXPECT_TRUE(readFlag(HKEY_CURRENT_USER, key.c_str(), L"AutoDelete", true));
    writeString(HKEY_CURRENT_USER, key.c_str(), L"UDPPort", L"9100");
    EXPECT_EQ(readString(HKEY_CURRENT_USER, key.c_str(), L"UDPPort", L"8090"), L"9100");
    writeFlag(HKEY_CURRENT_USER, key.c_str(), L"AutoDelete", false);
    EXPECT_FALSE(readFlag(HKEY_CURRENT_USER, key.c_str(), L"AutoDelete", true));
    DWORD wide = 1;  // longer than one byte: the default
    RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"AutoDelete", REG_DWORD, &wide, 4);
    EXPECT_TRUE(readFlag(HKEY_CURRENT_USER, key.c_str(), L"AutoDelete", true));
    RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Text", REG_SZ, L"ab\0cd", 12);  // up to the first NUL
    EXPECT_EQ(readString(HKEY_CURRENT_USER, key.c_str(), L"Text", L""), L"ab");
    EXPECT_TRUE(valueExists(HKEY_CURRENT_USER, key.c_str(), L"Text"));
    deleteValue(HKEY_CURRENT_USER, key.c_str(), L"Text");
    EXPECT_FALSE(valueExists(HKEY_CURRENT_USER, key.c_str(), L"Text"));
}
// A port's holders as Windows' UDP table names them (Wine's names none):
// every port is held by process 4242 of the local service account.
bool heldByAService(USHORT, std::vector<DWORD>* pids) {
    pids->push_back(4242);
    return true;
}
bool aServiceAccount(DWORD, BYTE* sid, DWORD sidSize, DWORD* session) {
    *session = 0;
    return CreateWellKnownSid(WinLocalServiceSid, nullptr, sid, &sidSize) != FALSE;
}
const UdpTablePlatform kHeldByAService = {heldByAService, aServiceAccount};

// A Remote Desktop host: every session's notifier is set to the same port.
// The second takes a free port; a program that is no notifier still gets
// the error.
TEST(NotifierListener, AnotherSessionsNotifierOnThePortMeansAFreePort) {
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    std::wstring error;
    CDatagramListener first(nullptr);
    ASSERT_TRUE(first.start(0, &error));
    int port = first.port();
    ASSERT_GT(port, 0);
    EXPECT_TRUE(portHeldByNotifier(port));
    CDatagramListener second(nullptr);
    ASSERT_TRUE(second.start(port, &error)) << narrow(error);
    EXPECT_GT(second.port(), 0);
    EXPECT_NE(second.port(), port);

    SOCKET foreign = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    ASSERT_EQ(bind(foreign, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    int size = sizeof(address);
    getsockname(foreign, reinterpret_cast<sockaddr*>(&address), &size);
    CDatagramListener third(nullptr);
    EXPECT_FALSE(third.start(ntohs(address.sin_port), &error));
    EXPECT_EQ(error, L"Could not bind socket. Address and port are already in use.");
    // Where the table names the program, another account's socket on the
    // port does not keep the notifier from a port of its own.
    CDatagramListener fourth(nullptr, isLocalSender, kHeldByAService);
    ASSERT_TRUE(fourth.start(ntohs(address.sin_port), &error)) << narrow(error);
    EXPECT_NE(fourth.port(), ntohs(address.sin_port));
    fourth.stop();
    closesocket(foreign);
    first.stop();
    EXPECT_FALSE(portHeldByNotifier(port));
    second.stop();
    WSACleanup();
}

// The listener hands on only what its sender rule lets through: with a rule
// that hears nobody, a datagram from this machine is dropped too.
TEST(NotifierListener, TheSenderRuleDecides) {
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    static int delivered;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        if (m == WM_DATAGRAM) ++delivered;
        return DefWindowProcW(h, m, w, l);
    };
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"RpqSenderRuleTest";
    RegisterClassW(&wc);
    HWND target = CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(target, nullptr);
    auto deliveredAfterSending = [&](SenderRule rule, const UdpTablePlatform& table = systemUdpTable()) {
        delivered = 0;
        CDatagramListener listener(target, rule, table);
        std::wstring error;
        EXPECT_TRUE(listener.start(0, &error));
        SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<u_short>(listener.port()));
        std::string datagram = std::string("7D3F19A4-5C2E-4B8A-9E61-0F4C2B7A93D5:heard?") + '\0';
        sendto(s, datagram.data(), static_cast<int>(datagram.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        closesocket(s);
        for (ULONGLONG end = GetTickCount64() + 1500; GetTickCount64() < end && delivered == 0;) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        }
        listener.stop();
        return delivered;
    };
    EXPECT_EQ(deliveredAfterSending([](const in_addr&, const std::vector<ULONG>&) { return false; }), 0);
    EXPECT_EQ(deliveredAfterSending(isLocalSender), 1);
    // Sent from a port another account's program holds: not RPQ's.
    EXPECT_EQ(deliveredAfterSending(isLocalSender, kHeldByAService), 0);
    DestroyWindow(target);
    WSACleanup();
}

TEST(NotifierListener, TheListeningPortIsPublishedForTheSession) {
    DWORD session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    std::wstring name = std::to_wstring(session);
    auto published = [&]() -> DWORD {
        DWORD value = 0, size = sizeof(value);
        return RegGetValueW(HKEY_CURRENT_USER, kSessionsKey, name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) ==
                       ERROR_SUCCESS
                   ? value
                   : 0;
    };
    // Published on a first start, before any settings exist: the settings key
    // stays a lasting one (a volatile parent would lose the user's "UDPPort").
    wchar_t kept[64] = {};
    DWORD keptSize = sizeof(kept);
    bool hadPort = RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"UDPPort", RRF_RT_REG_SZ, nullptr, kept, &keptSize) ==
                   ERROR_SUCCESS;
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    publishListeningPort(40123);
    EXPECT_EQ(published(), 40123u);
    HKEY lasting = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(kSettingsKey) + L"\\LastingProbe").c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &lasting, nullptr),
              ERROR_SUCCESS);
    if (lasting) RegCloseKey(lasting);
    RegDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(kSettingsKey) + L"\\LastingProbe").c_str());
    if (hadPort)
        RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"UDPPort", REG_SZ, kept,
                        static_cast<DWORD>((wcslen(kept) + 1) * sizeof(wchar_t)));
    withdrawListeningPort(40124);  // another notifier's since: left alone
    EXPECT_EQ(published(), 40123u);
    withdrawListeningPort(40123);
    EXPECT_EQ(published(), 0u);
}
}  // namespace
