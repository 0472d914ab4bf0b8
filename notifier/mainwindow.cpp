#include "notifier/mainwindow.h"
#include "notifier/weblink.h"
#include <shellapi.h>
#include <cwchar>
#include "notifier/receiving.h"
#include "notifier/resource.h"
#include "notifier/settings.h"
#include "notifier/settingsdialog.h"

std::wstring toInteger(const std::wstring& text, int* value) {
    if (text.empty() || text.size() > 10) return L"'" + text + L"' is not a valid integer value";
    wchar_t* end = nullptr;
    long long number = wcstoll(text.c_str(), &end, 10);
    if (*end != L'\0' || number < INT_MIN || number > INT_MAX || iswspace(text[0]))
        return L"'" + text + L"' is not a valid integer value";
    *value = static_cast<int>(number);
    return {};
}

bool CMainWindow::create(HWND application) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc = {sizeof(wc)};
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.hIcon = LoadIconW(nullptr, IDI_INFORMATION);
    wc.lpszClassName = kMainClass;
    if (!RegisterClassExW(&wc)) return false;
    m_window = CreateWindowExW(0, kMainClass, kMainCaption, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 255, 87,
                               application, nullptr, instance, this);
    if (!m_window) return false;
    m_menu = CreatePopupMenu();
    AppendMenuW(m_menu, MF_STRING, IDM_CLEAR, L"Automatically clear all messages");
    AppendMenuW(m_menu, MF_STRING, IDM_DISPLAY, L"Display messages again");
    AppendMenuW(m_menu, MF_STRING, IDM_SETTINGS, L"Settings");
    AppendMenuW(m_menu, MF_STRING, IDM_CLOSE, L"Close Application");
    // The pop-up is owned by the main window: unowned, it would get a
    // taskbar button of its own.
    m_alert = std::make_unique<CAlertWindow>(m_window);
    formCreate();
    return true;
}

// FormCreate: listener, settings, start message; the check mark in any case.
void CMainWindow::formCreate() {
    NotifierSettings settings = readSettings();
    m_port = settings.port;
    m_duration = settings.duration;
    std::wstring error;
    int port = 0, duration = 0;
    // Both settings convert before anything listens: a conversion error skips activation.
    if ((error = toInteger(m_port, &port)).empty() && (error = toInteger(m_duration, &duration)).empty() &&
        startListener(&error)) {
        m_alert->setDisplayTime(static_cast<UINT>(duration));
        m_alert->messages().append(kStartMessage);
        m_alert->show();
    } else {
        showErrorBox(nullptr, error);
    }
    CheckMenuItem(m_menu, IDM_CLEAR, settings.autoDelete ? MF_CHECKED : MF_UNCHECKED);
}

bool CMainWindow::startListener(std::wstring* error) {
    if (m_listener) withdrawListeningPort(m_listener->port());
    m_listener.reset();
    int port = 0;
    if (!(*error = toInteger(m_port, &port)).empty()) return false;
    auto listener = std::make_unique<CDatagramListener>(m_window);
    if (!listener->start(port, error)) return false;
    m_listener = std::move(listener);
    publishListeningPort(m_listener->port());
    return true;
}

// FormShow: the program lives in the tray.
void CMainWindow::show() {
    ShowWindow(m_window, SW_HIDE);
    addTrayIcon();
}

void CMainWindow::addTrayIcon() {
    NOTIFYICONDATAW icon = {sizeof(icon)};
    icon.hWnd = m_window;
    icon.uID = 1;
    icon.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
    icon.uCallbackMessage = WM_TRAY;
    icon.hIcon = LoadIconW(nullptr, IDI_INFORMATION);
    wcsncpy(icon.szTip, kMainCaption, 63);
    m_trayIcon = Shell_NotifyIconW(m_trayIcon ? NIM_MODIFY : NIM_ADD, &icon) != FALSE || m_trayIcon;
}

void CMainWindow::removeTrayIcon() {
    if (!m_trayIcon) return;
    NOTIFYICONDATAW icon = {sizeof(icon)};
    icon.hWnd = m_window;
    icon.uID = 1;
    Shell_NotifyIconW(NIM_DELETE, &icon);
    m_trayIcon = false;
}

void CMainWindow::openMenu() {
    POINT cursor;
    GetCursorPos(&cursor);
    SetForegroundWindow(m_window);
    TrackPopupMenu(m_menu, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, m_window, nullptr);
    PostMessageW(m_window, WM_NULL, 0, 0);
}

// The modal loop: the dialog comes back until its input is validated or it
// is cancelled.
void CMainWindow::menuSettingsClick() {
    SettingsDialogState state;
    state.port = m_port;
    state.duration = m_duration;
    EnableMenuItem(m_menu, IDM_SETTINGS, MF_GRAYED);
    INT_PTR result = IDCANCEL;
    do {
        result = showSettingsDialog(m_window, state);
    } while (!state.validated && result != IDCANCEL && result != -1);
    EnableMenuItem(m_menu, IDM_SETTINGS, MF_ENABLED);
    if (state.validated) {
        m_port = state.port;
        m_duration = state.duration;
    }
    if (result != IDOK) return;
    int duration = 0;
    if (toInteger(m_duration, &duration).empty()) m_alert->setDisplayTime(static_cast<UINT>(duration));
    std::wstring error;
    if (!startListener(&error)) showErrorBox(nullptr, error);
}

// idUDPSrvNotifyUDPRead
void CMainWindow::onDatagram(const char* data, size_t size) {
    std::wstring message;
    if (!acceptDatagram(data, size, &message)) return;
    m_alert->messages().insertFront(message);
    m_alert->show();
}

LRESULT CALLBACK CMainWindow::proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* self = reinterpret_cast<CMainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    if (!self->m_window) self->m_window = window;
    return self->handle(message, wParam, lParam);
}

LRESULT CMainWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    // Explorer started again (after a crash or an update): its tray is new
    // and empty, so the icon, its tip and its menu are added once more.
    static const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    if (message == taskbarCreated && taskbarCreated != 0) {
        if (m_trayIcon) {
            m_trayIcon = false;
            addTrayIcon();
        }
        return 0;
    }
    switch (message) {
    case WM_DATAGRAM: onDatagram(reinterpret_cast<const char*>(wParam), static_cast<size_t>(lParam)); return 0;
    case WM_TRAY:
        if (LOWORD(lParam) == WM_RBUTTONUP) openMenu();
        else if (LOWORD(lParam) == WM_LBUTTONDBLCLK || LOWORD(lParam) == WM_RBUTTONDBLCLK ||
                 LOWORD(lParam) == WM_MBUTTONDBLCLK) {
            ShowWindow(m_window, SW_RESTORE);
            SetForegroundWindow(m_window);
        }
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDM_CLEAR: {  // menuClearClick
            bool checked = !(GetMenuState(m_menu, IDM_CLEAR, MF_BYCOMMAND) & MF_CHECKED);
            CheckMenuItem(m_menu, IDM_CLEAR, checked ? MF_CHECKED : MF_UNCHECKED);
            storeAutoDelete(checked);
            return 0;
        }
        case IDM_DISPLAY: m_alert->show(); return 0;  // menuDisplayClick
        case IDM_SETTINGS: menuSettingsClick(); return 0;
        case IDM_CLOSE: DestroyWindow(m_window); return 0;  // menuCloseClick
        }
        break;
    case WM_ALERT_AUTOHIDE:  // AdvAlertWindow1AutoHide
        if (GetMenuState(m_menu, IDM_CLEAR, MF_BYCOMMAND) & MF_CHECKED) {
            m_alert->messages().clearShown();
            m_alert->refresh();
        }
        return 0;
    case WM_ALERT_CLOSE:  // AdvAlertWindow1Close
        m_alert->stopFade();
        Sleep(250);
        m_alert->hide();
        return 0;
    case WM_ALERT_ANCHOR: {  // AdvAlertWindow1AnchorClick: web pages only, never a program or a share
        openWebLink(m_window, reinterpret_cast<const wchar_t*>(lParam));
        return 0;
    }
    case WM_GET_ALERT: return reinterpret_cast<LRESULT>(m_alert->window());
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_MINIMIZE) {  // minimise to the tray
            ShowWindow(m_window, SW_HIDE);
            addTrayIcon();
            return 0;
        }
        break;
    case WM_CLOSE:  // close to the tray: the window's close button never ends the program
        ShowWindow(m_window, SW_HIDE);
        addTrayIcon();
        return 0;
    case WM_DESTROY:  // FormDestroy
        if (m_listener) withdrawListeningPort(m_listener->port());
        m_listener.reset();
        m_alert.reset();
        removeTrayIcon();
        if (m_menu) DestroyMenu(m_menu);
        m_menu = nullptr;
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(m_window, message, wParam, lParam);
}
