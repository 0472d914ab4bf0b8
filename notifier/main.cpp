// Trayherald: the per-user tray notifier for RPQ's print jobs.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include "base/unique.h"
#include "notifier/instance.h"
#include "notifier/mainwindow.h"
#include "notifier/settings.h"

namespace {
constexpr wchar_t kApplicationClass[] = L"TApplication";

// The second instance looks for the first one's window and ends.
void activateFirstInstance() {
    HWND found = FindWindowW(kMainClass, L"Ferrydoc Taskbar Notification");
    if (!found) return;
    HWND owner = GetWindow(found, GW_OWNER);
    HWND target = owner ? owner : found;
    if (IsIconic(target)) ShowWindow(target, SW_RESTORE);
    SetForegroundWindow(found);
}

// The hidden application window that owns the forms, titled with the
// application's title.
HWND createApplicationWindow(HINSTANCE instance) {
    WNDCLASSEXW wc = {sizeof(wc)};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.lpszClassName = kApplicationClass;
    RegisterClassExW(&wc);
    return CreateWindowExW(WS_EX_TOOLWINDOW, kApplicationClass, kApplicationTitle, WS_POPUP, 0, 0, 0, 0, nullptr,
                           nullptr, instance, nullptr);
}
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
    if (commandLine && _wcsicmp(commandLine, kAutoStartSwitch) == 0) {  // the package's once-per-user step
        enableAutoStart();
        return 0;
    }
    unique_handle guard(CreateMutexW(nullptr, TRUE, instanceMutexName().c_str()));
    if (!guard || GetLastError() == ERROR_ALREADY_EXISTS) {
        activateFirstInstance();
        return 0;
    }
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    HWND application = createApplicationWindow(instance);
    CMainWindow main;
    if (!main.create(application)) {
        WSACleanup();
        return 1;
    }
    main.show();
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (application) DestroyWindow(application);
    WSACleanup();
    return 0;
}
