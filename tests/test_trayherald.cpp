// Trayherald driven as a user would, in real windows: datagrams, the pop-up's
// list, a second instance, the settings dialog and its error boxes.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>
#include <shellapi.h>
#include <string>
#include "notifier/alert.h"
#include "notifier/mainwindow.h"
#include "notifier/receiving.h"
#include "notifier/resource.h"
#include "notifier/settings.h"
#include "notifier/settingsdialog.h"
#include "tests/e2efixture.h"
#include "tests/testutil.h"

namespace {
template <typename F>
bool waitFor(F condition, DWORD timeoutMs = 30000) {
    return waitUntil(condition, timeoutMs);
}

USHORT freeUdpPort() {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    int len = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    closesocket(s);
    return ntohs(a.sin_port);
}

bool udpPortBusy(USHORT port) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    bool busy = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0;
    closesocket(s);
    return busy;
}

// The port the notifier published for this session once it listens there:
// read without touching the port (a probe that binds could take it first).
DWORD publishedPort() {
    DWORD session = 0, port = 0, size = sizeof(port);
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return RegGetValueW(HKEY_CURRENT_USER, kSessionsKey, std::to_wstring(session).c_str(), RRF_RT_REG_DWORD, nullptr,
                        &port, &size) == ERROR_SUCCESS
               ? port
               : 0;
}

void sendDatagram(USHORT port, const std::string& bytes) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    sendto(s, bytes.data(), static_cast<int>(bytes.size()), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    closesocket(s);
}

// The focused control of another process's dialog.
HWND focusOf(HWND dialog) {
    GUITHREADINFO info = {sizeof(info)};
    return GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) ? info.hwndFocus : nullptr;
}

std::string datagram(const std::string& text) { return std::string(kDatagramMarker) + ":" + text + "\r\n" + '\0'; }

std::wstring textOf(HWND window) {
    wchar_t text[1024] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

HWND findOwnWindow(const wchar_t* className, const wchar_t* title, DWORD process) {
    struct Search {
        const wchar_t* className;
        const wchar_t* title;
        DWORD process;
        HWND found;
    } search = {className, title, process, nullptr};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            wchar_t cls[64] = {}, text[256] = {};
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            GetClassNameW(window, cls, 64);
            GetWindowTextW(window, text, 256);
            // A dialog counts once it is shown: its fields are filled by then.
            bool shown = wcscmp(cls, L"#32770") != 0 || IsWindowVisible(window);
            if (pid == s->process && shown && wcscmp(cls, s->className) == 0 &&
                (!s->title || wcscmp(text, s->title) == 0)) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// One running Trayherald with its settings in the registry.
class CTrayherald {
public:
    CTrayherald(USHORT port, const wchar_t* duration = L"5000", bool autoDelete = true) : m_port(port) {
        writeString(HKEY_LOCAL_MACHINE, kSettingsKey, L"UDPPort", std::to_wstring(port));
        writeString(HKEY_LOCAL_MACHINE, kSettingsKey, L"DisplayDuration", duration);
        writeFlag(HKEY_LOCAL_MACHINE, kSettingsKey, L"AutoDelete", autoDelete);
        m_process = launch();
    }
    ~CTrayherald() {
        if (m_process.hProcess) {
            if (m_main) PostMessageW(m_main, WM_COMMAND, IDM_CLOSE, 0);
            if (WaitForSingleObject(m_process.hProcess, 5000) != WAIT_OBJECT_0) TerminateProcess(m_process.hProcess, 1);
            CloseHandle(m_process.hProcess);
            CloseHandle(m_process.hThread);
        }
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKey);
    }
    static PROCESS_INFORMATION launch() {
        STARTUPINFOW si = {sizeof(si)};
        PROCESS_INFORMATION pi = {};
        wchar_t command[] = L"Trayherald.exe";
        CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
        return pi;
    }
    // The main window, once the program has started.
    bool ready() {
        waitFor([&] { return (m_main = findOwnWindow(kMainClass, kMainCaption, m_process.dwProcessId)) != nullptr; });
        if (m_main) m_alert = reinterpret_cast<HWND>(SendMessageW(m_main, WM_GET_ALERT, 0, 0));
        return m_main && m_alert;
    }
    LRESULT count() const { return SendMessageW(m_alert, WM_ALERT_COUNT, 0, 0); }
    LRESULT position() const { return SendMessageW(m_alert, WM_ALERT_POSITION, 0, 0); }
    std::wstring shown() const { return textOf(m_alert); }
    bool alertVisible() const { return IsWindowVisible(m_alert) != FALSE; }
    void send(const std::string& text) const { sendDatagram(m_port, datagram(text)); }
    bool countReaches(LRESULT n) const { return waitFor([&] { return count() == n; }); }
    HWND window(const wchar_t* className, const wchar_t* title) const {
        HWND found = nullptr;
        waitFor([&] { return (found = findOwnWindow(className, title, m_process.dwProcessId)) != nullptr; });
        return found;
    }
    bool running() const { return WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT; }
    HWND main() const { return m_main; }
    HWND alert() const { return m_alert; }
    HANDLE process() const { return m_process.hProcess; }
    USHORT m_port;

private:
    PROCESS_INFORMATION m_process = {};
    HWND m_main = nullptr;
    HWND m_alert = nullptr;
};

class TrayheraldTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    }
    void TearDown() override { WSACleanup(); }
};

// Presses a dialog's button the way a click does, without blocking.
void click(HWND dialog, int id) { PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

TEST_F(TrayheraldTest, ReceivesShowsAndKeepsOneInstance) {
    CTrayherald tray(freeUdpPort(), L"60000", false);
    ASSERT_TRUE(tray.ready());
    EXPECT_EQ(tray.count(), 1);
    EXPECT_EQ(tray.shown(), kStartMessage);
    EXPECT_TRUE(waitFor([&] { return tray.alertVisible(); }));

    sendDatagram(tray.m_port, "no marker: ignored");
    tray.send("[P] Start working on print job 'report.txt'");  // processed after the one before
    ASSERT_TRUE(tray.countReaches(2));
    EXPECT_EQ(tray.shown(), L"[P] Start working on print job 'report.txt'\r\n");
    EXPECT_EQ(tray.position(), 1);

    // A burst arrives whole (the listener's buffer holds it), and the list
    // keeps its newest thousand.
    for (int i = 0; i < 1200; ++i) tray.send("burst " + std::to_string(i));
    EXPECT_TRUE(waitFor([&] { return tray.shown() == L"burst 1199\r\n"; }, 30000)) << tray.shown();
    EXPECT_EQ(tray.count(), static_cast<LRESULT>(kMaxMessages));

    PROCESS_INFORMATION second = CTrayherald::launch();
    ASSERT_NE(second.hProcess, nullptr);
    EXPECT_EQ(WaitForSingleObject(second.hProcess, 10000), WAIT_OBJECT_0);  // ends at once
    DWORD code = 1;
    GetExitCodeProcess(second.hProcess, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(findOwnWindow(kMainClass, kMainCaption, second.dwProcessId), nullptr);
    CloseHandle(second.hProcess);
    CloseHandle(second.hThread);

    // The window's close button leaves the program in the tray.
    SendMessageW(tray.main(), WM_CLOSE, 0, 0);  // handled when it returns
    EXPECT_TRUE(IsWindow(tray.main()));
    EXPECT_EQ(SendMessageW(tray.main(), WM_GET_ALERT, 0, 0), reinterpret_cast<LRESULT>(tray.alert()));
    EXPECT_TRUE(tray.running());
    PostMessageW(tray.main(), WM_COMMAND, IDM_CLOSE, 0);
    EXPECT_EQ(WaitForSingleObject(tray.process(), 10000), WAIT_OBJECT_0);
}

TEST_F(TrayheraldTest, PagingDeletingAndAutomaticClearing) {
    // A long display time: the display time's end is told to the pop-up below,
    // when the test is ready for it (its hide timer, identifier 1).
    CTrayherald tray(freeUdpPort(), L"60000");
    ASSERT_TRUE(tray.ready());
    tray.send("first");
    tray.send("second");
    ASSERT_TRUE(tray.countReaches(3));
    SendMessageW(tray.alert(), WM_ALERT_PRESS, 1, 0);  // Next
    EXPECT_EQ(tray.position(), 2);
    EXPECT_EQ(tray.shown(), L"first\r\n");
    SendMessageW(tray.alert(), WM_ALERT_PRESS, 3, 0);  // Delete the shown one
    EXPECT_EQ(tray.count(), 2);
    SendMessageW(tray.alert(), WM_ALERT_PRESS, 0, 0);  // Previous
    EXPECT_EQ(tray.shown(), L"second\r\n");
    // Auto-hidden with the first message shown: exactly that one goes.
    PostMessageW(tray.alert(), WM_TIMER, 1, 0);
    EXPECT_TRUE(tray.countReaches(1));
    EXPECT_FALSE(tray.alertVisible());
    EXPECT_EQ(tray.shown(), kStartMessage);

    PostMessageW(tray.main(), WM_COMMAND, IDM_CLEAR, 0);  // automatic clearing off
    tray.send("kept");
    ASSERT_TRUE(tray.countReaches(2));
    ASSERT_TRUE(waitFor([&] { return tray.alertVisible(); }));
    PostMessageW(tray.alert(), WM_TIMER, 1, 0);  // its display time ends
    EXPECT_TRUE(waitFor([&] { return !tray.alertVisible(); }));
    EXPECT_EQ(tray.count(), 2);
    EXPECT_FALSE(readFlag(HKEY_LOCAL_MACHINE, kSettingsKey, L"AutoDelete", true));
    PostMessageW(tray.main(), WM_COMMAND, IDM_DISPLAY, 0);  // shows them all again
    EXPECT_TRUE(waitFor([&] { return tray.alertVisible(); }));
    EXPECT_EQ(tray.position(), 1);
    SendMessageW(tray.alert(), WM_ALERT_PRESS, 2, 0);  // Close: hidden, list kept
    EXPECT_FALSE(tray.alertVisible());
    EXPECT_EQ(tray.count(), 2);
}

TEST_F(TrayheraldTest, SettingsDialogRejectsKeepsAndApplies) {
    CTrayherald tray(freeUdpPort(), L"60000", false);  // the list only grows here
    ASSERT_TRUE(tray.ready());
    PostMessageW(tray.main(), WM_COMMAND, IDM_SETTINGS, 0);
    HWND dialog = tray.window(L"#32770", L"Settings");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(textOf(GetDlgItem(dialog, IDC_PORT)), std::to_wstring(tray.m_port));
    // Both fields invalid: only the port's message; the dialog comes back
    // with the rejected text.
    SendMessageW(GetDlgItem(dialog, IDC_PORT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"1\r\n2"));
    SendMessageW(GetDlgItem(dialog, IDC_DURATION), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"499"));
    click(dialog, IDOK);
    HWND error = tray.window(L"#32770", L"Error");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(textOf(GetDlgItem(error, 65535)), kPortMessage);
    click(error, IDOK);
    ASSERT_TRUE(waitFor([&] { return !IsWindow(dialog); }));
    dialog = tray.window(L"#32770", L"Settings");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(textOf(GetDlgItem(dialog, IDC_PORT)), L"1\r\n2");
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, kSettingsKey, L"UDPPort", L""), std::to_wstring(tray.m_port));
    EXPECT_EQ(focusOf(dialog), GetDlgItem(dialog, IDC_PORT));
    // A valid port, a rejected display time: back with the focus on the display time.
    SendMessageW(GetDlgItem(dialog, IDC_PORT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"8090"));
    click(dialog, IDOK);
    error = tray.window(L"#32770", L"Error");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(textOf(GetDlgItem(error, 65535)), kDurationMessage);
    click(error, IDOK);
    ASSERT_TRUE(waitFor([&] { return !IsWindow(dialog); }));
    dialog = tray.window(L"#32770", L"Settings");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(textOf(GetDlgItem(dialog, IDC_DURATION)), L"499");
    EXPECT_TRUE(waitFor([&] { return focusOf(dialog) == GetDlgItem(dialog, IDC_DURATION); }));

    // A valid Save with a free port: the notifier listens there at once.
    USHORT port = freeUdpPort();
    SendMessageW(GetDlgItem(dialog, IDC_PORT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(std::to_wstring(port).c_str()));
    SendMessageW(GetDlgItem(dialog, IDC_DURATION), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"5000"));
    click(dialog, IDOK);
    ASSERT_TRUE(waitFor([&] { return !IsWindow(dialog); }));
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, kSettingsKey, L"UDPPort", L""), std::to_wstring(port));
    EXPECT_EQ(readString(HKEY_CURRENT_USER, kSettingsKey, L"UDPPort", L""), std::to_wstring(port));
    ASSERT_TRUE(waitFor([&] { return publishedPort() == port; }));  // rebinding follows the dialog's close
    LRESULT before = tray.count();
    tray.m_port = port;
    tray.send("on the new port");
    EXPECT_TRUE(tray.countReaches(before + 1));
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"UDPPort");
}

TEST_F(TrayheraldTest, BusyPortShowsTheErrorAndNoStartMessage) {
    USHORT port = freeUdpPort();
    SOCKET busy = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    CTrayherald tray(port);
    HWND error = tray.window(L"#32770", L"Error");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(textOf(GetDlgItem(error, 65535)), L"Could not bind socket. Address and port are already in use.");
    click(error, IDOK);
    ASSERT_TRUE(tray.ready());
    EXPECT_EQ(tray.count(), 0);
    closesocket(busy);
    // Settings mend it: a free port, and the notifier listens there.
    USHORT free = freeUdpPort();
    PostMessageW(tray.main(), WM_COMMAND, IDM_SETTINGS, 0);
    HWND dialog = tray.window(L"#32770", L"Settings");
    ASSERT_NE(dialog, nullptr);
    SendMessageW(GetDlgItem(dialog, IDC_PORT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(std::to_wstring(free).c_str()));
    click(dialog, IDOK);
    ASSERT_TRUE(waitFor([&] { return publishedPort() == free; }));
    tray.m_port = free;
    tray.send("listening again");
    EXPECT_TRUE(tray.countReaches(1));
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"UDPPort");
}

// A display time that is no number: the error at start, and nothing listens.
TEST_F(TrayheraldTest, ADisplayTimeThatIsNoNumberSkipsListening) {
    USHORT port = freeUdpPort();
    CTrayherald tray(port, L"abc");
    HWND error = tray.window(L"#32770", L"Error");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(textOf(GetDlgItem(error, 65535)), L"'abc' is not a valid integer value");
    click(error, IDOK);
    ASSERT_TRUE(tray.ready());
    EXPECT_FALSE(udpPortBusy(port));
    EXPECT_EQ(tray.count(), 0);
}
// The whole road: a RAW job printed through the spooler ends with its three
// messages in the pop-up's list.
TEST_F(TrayheraldTest, AJobPrintedThroughTheSpoolerShowsItsMessages) {
    CPrintSetup setup({}, uniqueName(L"Tray job"));
    ASSERT_TRUE(setup.ok());
    CTrayherald tray(freeUdpPort(), L"60000", false);
    ASSERT_TRUE(tray.ready());
    writeString(HKEY_CURRENT_USER, kSettingsKey, L"UDPPort", std::to_wstring(tray.m_port));  // RPQ sends here
    ASSERT_EQ(setup.print("shown to the user"), 0);
    ASSERT_TRUE(tray.countReaches(4));  // start message, then Start, Sending and END, newest first
    EXPECT_NE(tray.shown().find(L"SUCCESSFULLY transferred."), std::wstring::npos) << tray.shown();
}
// A Remote Desktop host: another session's notifier already listens on the
// configured port. This one starts without an error on a free port,
// publishes it in its user's hive, and RPQ's notices for this user reach it.
TEST_F(TrayheraldTest, AnotherSessionsNotifierOnThePortIsNoError) {
    CPrintSetup setup({}, uniqueName(L"Tray session"));
    ASSERT_TRUE(setup.ok());
    USHORT port = freeUdpPort();
    SOCKET other = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    HANDLE marker = CreateMutexW(nullptr, FALSE, (L"Global\\Halvane.Trayherald.UDP." + std::to_wstring(port)).c_str());
    ASSERT_NE(marker, nullptr);
    CTrayherald tray(port, L"60000", false);
    ASSERT_TRUE(tray.ready());
    EXPECT_EQ(findOwnWindow(L"#32770", L"Error", GetProcessId(tray.process())), nullptr);
    DWORD session = 0, published = 0, size = sizeof(published);
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    ASSERT_TRUE(waitFor([&] {
        size = sizeof(published);
        return RegGetValueW(HKEY_CURRENT_USER, kSessionsKey, std::to_wstring(session).c_str(), RRF_RT_REG_DWORD, nullptr,
                            &published, &size) == ERROR_SUCCESS;
    }));
    EXPECT_NE(published, port);
    ASSERT_EQ(setup.print("for this session only"), 0);
    ASSERT_TRUE(tray.countReaches(4));
    EXPECT_NE(tray.shown().find(L"SUCCESSFULLY transferred."), std::wstring::npos) << tray.shown();
    closesocket(other);
    CloseHandle(marker);
}

// Explorer restarted (after a crash or an update): its new tray is empty and
// it broadcasts "TaskbarCreated"; the icon comes back with its tip and menu.
TEST_F(TrayheraldTest, TheTrayIconComesBackAfterTaskbarCreated) {
    CTrayherald tray(freeUdpPort(), L"60000", false);
    ASSERT_TRUE(tray.ready());
    auto iconThere = [&] {
        NOTIFYICONDATAW icon = {sizeof(icon)};
        icon.hWnd = tray.main();
        icon.uID = 1;
        return Shell_NotifyIconW(NIM_MODIFY, &icon) != FALSE;  // changes nothing; fails without the icon
    };
    ASSERT_TRUE(waitFor(iconThere));
    NOTIFYICONDATAW gone = {sizeof(gone)};
    gone.hWnd = tray.main();
    gone.uID = 1;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &gone));  // the tray as a new Explorer has it
    ASSERT_FALSE(iconThere());
    PostMessageW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_TRUE(waitFor(iconThere));
}

// The display's DPI as Wine gives it to programs started from now on.
void setLogPixels(DWORD dpi) {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_CURRENT_CONFIG}) {
        const wchar_t* key = root == HKEY_CURRENT_USER ? L"Control Panel\\Desktop" : L"Software\\Fonts";
        RegSetKeyValueW(root, key, L"LogPixels", REG_DWORD, &dpi, sizeof(dpi));
    }
}

// Laid out for the monitor's DPI (the notifier is per-monitor aware): at 192
// the pop-up is twice its size at 96, and the settings dialog's labels fit
// their controls, all inside the dialog.
TEST_F(TrayheraldTest, LaidOutForTheDisplaysDpi) {
    using SetAwareness = DPI_AWARENESS_CONTEXT(WINAPI*)(DPI_AWARENESS_CONTEXT);
    auto setAwareness = reinterpret_cast<SetAwareness>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetThreadDpiAwarenessContext"));
    ASSERT_NE(setAwareness, nullptr);
    setAwareness(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);  // this thread sees real pixels too
    struct Restore {
        ~Restore() { setLogPixels(96); }  // also when an assertion ends the test early
    } restore;
    for (DWORD dpi : {96u, 192u}) {
        setLogPixels(dpi);
        CTrayherald tray(freeUdpPort(), L"60000", false);
        ASSERT_TRUE(tray.ready()) << dpi;
        tray.send("laid out for the display");
        ASSERT_TRUE(tray.countReaches(2));
        ASSERT_TRUE(waitFor([&] { return tray.alertVisible(); }));
        RECT alert = {};
        GetWindowRect(tray.alert(), &alert);
        EXPECT_EQ(alert.right - alert.left, MulDiv(300, static_cast<int>(dpi), 96)) << dpi;
        EXPECT_EQ(alert.bottom - alert.top, MulDiv(100, static_cast<int>(dpi), 96)) << dpi;

        PostMessageW(tray.main(), WM_COMMAND, IDM_SETTINGS, 0);
        HWND dialog = tray.window(L"#32770", L"Settings");
        ASSERT_NE(dialog, nullptr) << dpi;
        RECT client = {};
        GetClientRect(dialog, &client);
        HFONT font = CreateFontW(-MulDiv(8, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0,
                                 0, 0, L"MS Sans Serif");
        HDC dc = GetDC(nullptr);
        HGDIOBJ old = SelectObject(dc, font);
        int checked = 0;
        for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            RECT r = {};
            GetWindowRect(child, &r);
            MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
            std::wstring text = textOf(child);
            EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.right <= client.right && r.bottom <= client.bottom)
                << dpi << " " << narrow(text);
            wchar_t kind[32] = {};
            GetClassNameW(child, kind, 32);
            LONG style = GetWindowLongW(child, GWL_STYLE) & 0xF;
            bool label = _wcsicmp(kind, L"Static") == 0 ||
                         (_wcsicmp(kind, L"Button") == 0 && (style == BS_AUTOCHECKBOX || style == BS_CHECKBOX));
            if (!label || text.empty()) continue;
            SIZE extent = {};
            GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
            int box = _wcsicmp(kind, L"Button") == 0 ? MulDiv(16, static_cast<int>(dpi), 96) : 0;
            EXPECT_LE(extent.cx + box, r.right - r.left) << dpi << " " << narrow(text);
            EXPECT_LE(extent.cy, r.bottom - r.top) << dpi << " " << narrow(text);
            ++checked;
        }
        EXPECT_GE(checked, 3) << dpi;
        SelectObject(dc, old);
        ReleaseDC(nullptr, dc);
        DeleteObject(font);
        click(dialog, IDCANCEL);
    }
}

// The pop-up fades in to full opacity in steps of 5, and a web link in a
// message opens through the shell; an anchor to anything else never does.
TEST_F(TrayheraldTest, FadesInAndOpensOnlyWebLinks) {
    CTestBrowser browser;
    CTrayherald tray(freeUdpPort(), L"60000");
    ASSERT_TRUE(tray.ready());
    tray.send("<a href=\"ftp://127.0.0.1:9/tool.exe\">Your job needs attention</a>");
    ASSERT_TRUE(tray.countReaches(2));
    ASSERT_TRUE(waitFor([&] { return tray.alertVisible(); }));
    SendMessageW(tray.alert(), WM_LBUTTONUP, 0, MAKELPARAM(12, 24));  // where a link would be
    tray.send("<a href=\"http://127.0.0.1:9/FDXS_Interaction?uid=AbCdE12345\">Open the job's page</a>");
    ASSERT_TRUE(tray.countReaches(3));
    BYTE alpha = 0;
    bool stepsOfFive = true;
    ASSERT_TRUE(waitFor([&] {
        DWORD flags = 0;
        if (!GetLayeredWindowAttributes(tray.alert(), nullptr, &alpha, &flags)) return false;
        stepsOfFive = stepsOfFive && alpha % 5 == 0;
        return alpha == 255;
    }));
    EXPECT_TRUE(stepsOfFive);
    std::string opened;
    for (int attempt = 0; attempt < 10 && opened.empty(); ++attempt) {
        PostMessageW(tray.alert(), WM_LBUTTONUP, 0, MAKELPARAM(12, 24));  // on the link's first letters
        opened = browser.opened(3000);
    }
    EXPECT_EQ(opened, "http://127.0.0.1:9/FDXS_Interaction?uid=AbCdE12345\n");
}
// A message that arrives while the pop-up fades in, is shown, or fades out
// is shown whole: no stale end of an earlier fade hides or clears it.
TEST_F(TrayheraldTest, MessagesDuringEveryPhaseOfTheFade) {
    CTrayherald tray(freeUdpPort(), L"500");
    ASSERT_TRUE(tray.ready());
    auto alpha = [&] {
        BYTE a = 0;
        DWORD flags = 0;
        GetLayeredWindowAttributes(tray.alert(), nullptr, &a, &flags);
        return a;
    };
    enum Phase { FadingIn, Shown, FadingOut };
    for (int round = 0; round < 12; ++round) {
        Phase phase = static_cast<Phase>(round % 3);
        tray.send("before " + std::to_string(round));
        bool seen255 = false;
        ASSERT_TRUE(waitFor([&] {
            if (!tray.alertVisible()) return false;
            BYTE a = alpha();
            seen255 = seen255 || a == 255;
            return phase == FadingIn ? a > 0 && a < 255 : phase == Shown ? a == 255 : seen255 && a < 255;
        })) << round;
        std::string text = "during " + std::to_string(round);
        tray.send(text);
        std::wstring wide(text.begin(), text.end());
        EXPECT_TRUE(waitFor([&] { return tray.alertVisible() && alpha() == 255 && tray.shown() == wide + L"\r\n"; }))
            << round;
        ASSERT_TRUE(waitFor([&] { return !tray.alertVisible(); })) << round;  // gone after its own display time
    }
}
// An empty list shows nothing again; the start-at-logon box writes and
// removes the user's own Run value.
TEST_F(TrayheraldTest, EmptyListAndTheStartAtLogonBox) {
    CTrayherald tray(freeUdpPort(), L"60000", false);
    ASSERT_TRUE(tray.ready());
    SendMessageW(tray.alert(), WM_ALERT_PRESS, 3, 0);  // Delete the start message
    ASSERT_EQ(tray.count(), 0);
    EXPECT_FALSE(tray.alertVisible());
    SendMessageW(tray.main(), WM_COMMAND, IDM_DISPLAY, 0);  // handled when it returns
    EXPECT_FALSE(tray.alertVisible());

    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kRunValue);
    for (bool on : {true, false}) {
        PostMessageW(tray.main(), WM_COMMAND, IDM_SETTINGS, 0);
        HWND dialog = tray.window(L"#32770", L"Settings");
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_AUTOSTART) == BST_CHECKED, !on);  // shows what is
        SendMessageW(GetDlgItem(dialog, IDC_AUTOSTART), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
        click(dialog, IDOK);
        ASSERT_TRUE(waitFor([&] { return !IsWindow(dialog); }));
        EXPECT_EQ(valueExists(HKEY_CURRENT_USER, kRunKey, kRunValue), on);
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"UDPPort");
}
}  // namespace
