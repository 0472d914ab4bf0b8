// TWorkflowNotificationFrm: the hidden main window with the tray icon, its
// menu, the UDP listener and the alert pop-up.
#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include "notifier/alert.h"
#include "notifier/listener.h"

constexpr wchar_t kMainClass[] = L"TWorkflowNotificationFrm";
constexpr wchar_t kMainCaption[] = L"Ferrydoc Notification";
constexpr wchar_t kApplicationTitle[] = L"Ferrydoc Workflow Notification";
constexpr wchar_t kStartMessage[] = L"Ferrydoc Notification started successfully";
constexpr UINT WM_TRAY = WM_APP + 2;
// For tests: the alert pop-up's window.
constexpr UINT WM_GET_ALERT = WM_APP + 3;

class CMainWindow {
public:
    // Creates the hidden window (owned by the application's window) and runs
    // FormCreate; FormShow follows with show().
    bool create(HWND application);
    void show();
    HWND window() const { return m_window; }

private:
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void formCreate();
    bool startListener(std::wstring* error);
    void addTrayIcon();
    void removeTrayIcon();
    void openMenu();
    void menuSettingsClick();
    void onDatagram(const char* data, size_t size);

    HWND m_window = nullptr;
    HMENU m_menu = nullptr;
    std::unique_ptr<CAlertWindow> m_alert;
    std::unique_ptr<CDatagramListener> m_listener;
    std::wstring m_port, m_duration;
    bool m_trayIcon = false;
};

// Converts a setting's text as the program does at start: an error text
// (empty when it is a number).
std::wstring toInteger(const std::wstring& text, int* value);
