// The alert pop-up: 300 x 100 in the bottom right corner of the work area,
// showing one message of the list with "n of m", Previous, Next, Close and
// Delete buttons, fading in and out, hiding itself after the display time.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "notifier/receiving.h"

// Notifications to the owner window.
constexpr UINT WM_ALERT_AUTOHIDE = WM_APP + 10;
constexpr UINT WM_ALERT_CLOSE = WM_APP + 11;
constexpr UINT WM_ALERT_ANCHOR = WM_APP + 12;  // lParam: const wchar_t* target, valid during the call

// Queries and commands for another process (tests): the list's count, the
// shown position (-1 when empty), press a button (wParam: 0 Previous,
// 1 Next, 2 Close, 3 Delete). The window text is the shown message.
constexpr UINT WM_ALERT_COUNT = WM_APP + 20;
constexpr UINT WM_ALERT_POSITION = WM_APP + 21;
constexpr UINT WM_ALERT_PRESS = WM_APP + 22;

constexpr wchar_t kAlertClass[] = L"TAdvAlertWindow";

class CAlertWindow {
public:
    explicit CAlertWindow(HWND owner);
    ~CAlertWindow();
    CAlertWindow(const CAlertWindow&) = delete;
    CAlertWindow& operator=(const CAlertWindow&) = delete;

    CMessageList& messages() { return m_messages; }
    void setDisplayTime(UINT milliseconds) { m_displayMs = milliseconds; }
    // Shows the list from its first message, fading in; nothing when empty.
    void show();
    // Stops any fade and hides the window.
    void hide();
    void stopFade();
    bool visible() const { return IsWindowVisible(m_window) != FALSE; }
    HWND window() const { return m_window; }
    // A message count changed: redraws, and hides an emptied window.
    void refresh();

private:
    enum Button { kPrevious, kNext, kClose, kDelete, kButtons };
    struct Link {
        RECT area;
        std::wstring target;
    };
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void paint(HDC dc);
    RECT buttonRect(int button) const;
    int buttonAt(POINT p) const;
    void press(int button);
    void place();
    void startFade(bool in);
    static DWORD WINAPI fadeThread(void* self);

    HWND m_owner;
    HWND m_window = nullptr;
    HWND m_tooltip = nullptr;
    HFONT m_font = nullptr;
    UINT m_dpi = 96;
    // A size at 96 DPI in this window's pixels.
    int px(int value) const { return MulDiv(value, static_cast<int>(m_dpi), 96); }
    void makeFont();
    void updateTools();
    CMessageList m_messages;
    UINT m_displayMs = 5000;
    int m_hover = -1;
    int m_pressed = -1;
    std::vector<Link> m_links;
    HANDLE m_fade = nullptr;
    volatile LONG m_cancelFade = 0;
    bool m_fadingIn = true;
    bool m_opaque = false;       // faded in completely and shown
    UINT m_fadeGeneration = 0;   // counts fades: stale fade messages are dropped
};

// Colours of the pop-up (RGB).
constexpr COLORREF kBorder = RGB(0x00, 0x2D, 0x96);
constexpr COLORREF kCaptionFrom = RGB(0x59, 0x87, 0xD6), kCaptionTo = RGB(0x00, 0x2D, 0x96);
constexpr COLORREF kWindowFrom = RGB(0xC4, 0xDA, 0xFA), kWindowTo = RGB(0xA0, 0xBF, 0xF5);
constexpr COLORREF kHoverFrom = RGB(0xFF, 0xFF, 0xDC), kHoverTo = RGB(0xF7, 0xC0, 0x5B);
constexpr COLORREF kPressedFrom = RGB(0xE8, 0x7F, 0x08), kPressedTo = RGB(0xF7, 0xDA, 0x7C);
