#include "notifier/alert.h"
#include <commctrl.h>
#include <windowsx.h>

namespace {
// Sizes at 96 DPI; scaled to the monitor's DPI with px().
constexpr int kWidth = 300, kHeight = 100, kCaption = 18, kButton = 16, kFontHeight = 11, kMargin = 4;
constexpr UINT_PTR kHideTimer = 1;
// lParam of both: the fade's generation; a message of an older fade is stale.
constexpr UINT WM_FADE_STEP = WM_APP + 13;  // wParam: opacity
constexpr UINT WM_FADE_DONE = WM_APP + 14;  // wParam: 1 after fading in
const wchar_t* const kHints[] = {L"Previous", L"Next", L"Close", L"Delete"};

void gradient(HDC dc, const RECT& r, COLORREF from, COLORREF to, bool vertical) {
    TRIVERTEX v[2] = {{r.left, r.top, static_cast<COLOR16>(GetRValue(from) << 8),
                       static_cast<COLOR16>(GetGValue(from) << 8), static_cast<COLOR16>(GetBValue(from) << 8), 0},
                      {r.right, r.bottom, static_cast<COLOR16>(GetRValue(to) << 8),
                       static_cast<COLOR16>(GetGValue(to) << 8), static_cast<COLOR16>(GetBValue(to) << 8), 0}};
    GRADIENT_RECT g = {0, 1};
    GradientFill(dc, v, 2, &g, 1, vertical ? GRADIENT_FILL_RECT_V : GRADIENT_FILL_RECT_H);
}

// The window's DPI (its monitor's, for a per-monitor aware program), else the system's.
UINT windowDpi(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow =
        reinterpret_cast<GetDpiForWindowFn>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow"));
    UINT dpi = getDpiForWindow && window ? getDpiForWindow(window) : 0;
    if (dpi == 0) {
        HDC screen = GetDC(nullptr);
        dpi = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSY));
        ReleaseDC(nullptr, screen);
    }
    return dpi ? dpi : 96;
}
}  // namespace

CAlertWindow::CAlertWindow(HWND owner) : m_owner(owner) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc = {sizeof(wc)};
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kAlertClass;
    RegisterClassExW(&wc);
    m_window = CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW, kAlertClass, L"", WS_POPUP, 0, 0, kWidth, kHeight,
                               owner, nullptr, instance, this);
    m_dpi = windowDpi(m_window);
    makeFont();
    m_tooltip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0, 0, 0, 0,
                                m_window, nullptr, instance, nullptr);
    for (int b = 0; b < kButtons; ++b) {
        TOOLINFOW tool = {sizeof(tool)};
        tool.uFlags = TTF_SUBCLASS;
        tool.hwnd = m_window;
        tool.uId = static_cast<UINT_PTR>(b);
        tool.rect = buttonRect(b);
        tool.lpszText = const_cast<wchar_t*>(kHints[b]);
        SendMessageW(m_tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

void CAlertWindow::makeFont() {
    if (m_font) DeleteObject(m_font);
    m_font = CreateFontW(-px(kFontHeight), 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"MS Sans Serif");
}

void CAlertWindow::updateTools() {
    for (int b = 0; b < kButtons; ++b) {
        TOOLINFOW tool = {sizeof(tool)};
        tool.hwnd = m_window;
        tool.uId = static_cast<UINT_PTR>(b);
        tool.rect = buttonRect(b);
        SendMessageW(m_tooltip, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

CAlertWindow::~CAlertWindow() {
    stopFade();
    if (m_window) DestroyWindow(m_window);
    if (m_font) DeleteObject(m_font);
}

RECT CAlertWindow::buttonRect(int button) const {
    // Right to left in the caption: Close, Delete, Next, Previous.
    static const int kOrder[kButtons] = {3, 2, 0, 1};
    int right = px(kWidth) - px(2) - kOrder[button] * (px(kButton) + px(2));
    return {right - px(kButton), px(1), right, px(1) + px(kButton)};
}

int CAlertWindow::buttonAt(POINT p) const {
    for (int b = 0; b < kButtons; ++b) {
        RECT r = buttonRect(b);
        if (PtInRect(&r, p)) return b;
    }
    return -1;
}

void CAlertWindow::place() {
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    // Wine's work area is the whole screen: a visible taskbar's top is the
    // real bottom edge.
    HWND taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
    RECT bar;
    if (taskbar && IsWindowVisible(taskbar) && GetWindowRect(taskbar, &bar) && bar.top > work.top &&
        bar.top < work.bottom && bar.bottom >= work.bottom)
        work.bottom = bar.top;
    SetWindowPos(m_window, nullptr, work.right - px(kWidth), work.bottom - px(kHeight), px(kWidth), px(kHeight),
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void CAlertWindow::show() {
    if (m_messages.count() == 0) return;
    stopFade();
    m_messages.showFirst();
    place();
    refresh();
    if (visible() && m_opaque) {
        // Already shown in full: a new message only restarts the display time,
        // so that a burst does not start a fade per message.
        SetTimer(m_window, kHideTimer, m_displayMs, nullptr);
        return;
    }
    if (!visible()) SetLayeredWindowAttributes(m_window, 0, 0, LWA_ALPHA);
    ShowWindow(m_window, SW_SHOWNOACTIVATE);
    startFade(true);
    SetTimer(m_window, kHideTimer, m_displayMs, nullptr);
}

void CAlertWindow::hide() {
    stopFade();
    m_opaque = false;
    KillTimer(m_window, kHideTimer);
    ShowWindow(m_window, SW_HIDE);
}

void CAlertWindow::refresh() {
    int position = m_messages.position();
    SetWindowTextW(m_window, position > 0 ? m_messages.at(static_cast<size_t>(position - 1)).c_str() : L"");
    if (position < 0 && visible()) hide();
    InvalidateRect(m_window, nullptr, TRUE);
}

void CAlertWindow::startFade(bool in) {
    stopFade();
    m_fadingIn = in;
    m_opaque = false;
    m_cancelFade = 0;
    ++m_fadeGeneration;
    m_fade = CreateThread(nullptr, 0, fadeThread, this, 0, nullptr);
}

void CAlertWindow::stopFade() {
    if (!m_fade) return;
    InterlockedExchange(&m_cancelFade, 1);
    WaitForSingleObject(m_fade, INFINITE);  // the thread only posts: no deadlock
    CloseHandle(m_fade);
    m_fade = nullptr;
    ++m_fadeGeneration;  // what it posted is stale now
}

// Opacity in steps of 5, one step every 5 ms, applied on the GUI thread.
DWORD WINAPI CAlertWindow::fadeThread(void* self) {
    auto* alert = static_cast<CAlertWindow*>(self);
    bool in = alert->m_fadingIn;
    LPARAM generation = static_cast<LPARAM>(alert->m_fadeGeneration);
    for (int step = 0; step <= 51; ++step) {
        if (alert->m_cancelFade) return 0;
        PostMessageW(alert->m_window, WM_FADE_STEP, static_cast<WPARAM>(in ? step * 5 : 255 - step * 5), generation);
        Sleep(5);
    }
    PostMessageW(alert->m_window, WM_FADE_DONE, in ? 1 : 0, generation);
    return 0;
}

void CAlertWindow::press(int button) {
    switch (button) {
    case kPrevious: m_messages.previous(); break;
    case kNext: m_messages.next(); break;
    case kDelete: {
        int position = m_messages.position();
        if (position > 0) m_messages.removeAt(static_cast<size_t>(position - 1));
        break;
    }
    case kClose: SendMessageW(m_owner, WM_ALERT_CLOSE, 0, 0); return;
    default: return;
    }
    refresh();
    if (visible()) SetTimer(m_window, kHideTimer, m_displayMs, nullptr);  // the user is reading
}

void CAlertWindow::paint(HDC dc) {
    const int width = px(kWidth), height = px(kHeight), captionHeight = px(kCaption), margin = px(kMargin);
    RECT all = {0, 0, width, height};
    RECT caption = {0, 0, width, captionHeight};
    RECT body = {0, captionHeight, width, height};
    gradient(dc, caption, kCaptionFrom, kCaptionTo, false);
    gradient(dc, body, kWindowFrom, kWindowTo, true);
    HBRUSH border = CreateSolidBrush(kBorder);
    FrameRect(dc, &all, border);
    DeleteObject(border);
    HGDIOBJ oldFont = SelectObject(dc, m_font);
    SetBkMode(dc, TRANSPARENT);
    // "n of m" in the caption.
    wchar_t count[32];
    wsprintfW(count, L"%d of %d", m_messages.position() < 0 ? 0 : m_messages.position(),
              static_cast<int>(m_messages.count()));
    SetTextColor(dc, RGB(255, 255, 255));
    RECT countRect = {margin, 0, px(140), captionHeight};
    DrawTextW(dc, count, -1, &countRect, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    // The buttons, with their hover and pressed gradients.
    static const wchar_t* const kGlyphs[kButtons] = {L"<", L">", L"x", L"D"};
    for (int b = 0; b < kButtons; ++b) {
        RECT r = buttonRect(b);
        if (b == m_pressed) gradient(dc, r, kPressedFrom, kPressedTo, true);
        else if (b == m_hover) gradient(dc, r, kHoverFrom, kHoverTo, true);
        SetTextColor(dc, b == m_hover || b == m_pressed ? RGB(0, 0, 0) : RGB(255, 255, 255));
        DrawTextW(dc, kGlyphs[b], -1, &r, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
    }
    // The message: lines, with links drawn and remembered for hit tests.
    m_links.clear();
    int position = m_messages.position();
    if (position > 0) {
        TEXTMETRICW metrics;
        GetTextMetricsW(dc, &metrics);
        int y = captionHeight + 1;
        for (const std::wstring& line : splitLines(m_messages.at(static_cast<size_t>(position - 1)))) {
            std::vector<TextPiece> parts = splitAnchors(line);
            if (parts.size() == 1 && parts[0].target.empty()) {  // plain text wraps at words
                RECT r = {margin, y, width - margin, height - 1};
                SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
                int height = DrawTextW(dc, line.c_str(), static_cast<int>(line.size()), &r,
                                       DT_WORDBREAK | DT_LEFT | DT_NOPREFIX | DT_END_ELLIPSIS);
                y += height;
                if (y >= height - 1) break;
                continue;
            }
            int x = margin;
            for (const TextPiece& piece : parts) {
                SIZE extent = {};
                GetTextExtentPoint32W(dc, piece.text.c_str(), static_cast<int>(piece.text.size()), &extent);
                SetTextColor(dc, piece.target.empty() ? GetSysColor(COLOR_WINDOWTEXT) : RGB(0, 0, 0xCC));
                RECT r = {x, y, width - margin, y + metrics.tmHeight};
                DrawTextW(dc, piece.text.c_str(), static_cast<int>(piece.text.size()), &r,
                          DT_SINGLELINE | DT_LEFT | DT_END_ELLIPSIS | DT_NOPREFIX);
                if (!piece.target.empty()) {
                    MoveToEx(dc, x, y + metrics.tmAscent + 1, nullptr);
                    HPEN pen = CreatePen(PS_SOLID, 1, RGB(0, 0, 0xCC));
                    HGDIOBJ oldPen = SelectObject(dc, pen);
                    LineTo(dc, x + extent.cx, y + metrics.tmAscent + 1);
                    SelectObject(dc, oldPen);
                    DeleteObject(pen);
                    m_links.push_back({{x, y, x + extent.cx, y + metrics.tmHeight}, piece.target});
                }
                x += extent.cx;
            }
            y += metrics.tmHeight;
            if (y >= height - 1) break;
        }
    }
    SelectObject(dc, oldFont);
}

LRESULT CALLBACK CAlertWindow::proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* self = reinterpret_cast<CAlertWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self || !self->m_window) return DefWindowProcW(window, message, wParam, lParam);
    return self->handle(message, wParam, lParam);
}

LRESULT CAlertWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(m_window, &ps);
        paint(dc);
        EndPaint(m_window, &ps);
        return 0;
    }
    case WM_ERASEBKGND: return 1;
    case WM_DPICHANGED:  // moved to a monitor of another DPI: laid out anew for it
        m_dpi = HIWORD(wParam) ? HIWORD(wParam) : 96;
        makeFont();
        updateTools();
        if (visible()) place();
        InvalidateRect(m_window, nullptr, TRUE);
        return 0;
    case WM_FADE_STEP:
        if (static_cast<UINT>(lParam) == m_fadeGeneration)
            SetLayeredWindowAttributes(m_window, 0, static_cast<BYTE>(wParam), LWA_ALPHA);
        return 0;
    case WM_FADE_DONE:
        if (static_cast<UINT>(lParam) != m_fadeGeneration) return 0;  // a newer show() or hide() came first
        m_opaque = wParam != 0;
        if (!wParam) {  // faded out after the display time
            ShowWindow(m_window, SW_HIDE);
            SendMessageW(m_owner, WM_ALERT_AUTOHIDE, 0, 0);
        }
        return 0;
    case WM_TIMER:
        if (wParam == kHideTimer) {
            KillTimer(m_window, kHideTimer);
            startFade(false);
        }
        return 0;
    case WM_MOUSEMOVE: {
        POINT p = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        int hover = buttonAt(p);
        if (hover != m_hover) {
            m_hover = hover;
            InvalidateRect(m_window, nullptr, FALSE);
            TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, m_window, 0};
            TrackMouseEvent(&track);
        }
        return 0;
    }
    case WM_MOUSELEAVE: m_hover = m_pressed = -1; InvalidateRect(m_window, nullptr, FALSE); return 0;
    case WM_LBUTTONDOWN: {
        POINT p = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        m_pressed = buttonAt(p);
        InvalidateRect(m_window, nullptr, FALSE);
        return 0;
    }
    case WM_LBUTTONUP: {
        POINT p = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        int button = buttonAt(p);
        int pressed = m_pressed;
        m_pressed = -1;
        if (button >= 0 && button == pressed) {
            press(button);
            return 0;
        }
        for (const Link& link : m_links)
            if (PtInRect(&link.area, p)) {
                std::wstring target = link.target;
                SendMessageW(m_owner, WM_ALERT_ANCHOR, 0, reinterpret_cast<LPARAM>(target.c_str()));
                break;
            }
        InvalidateRect(m_window, nullptr, FALSE);
        return 0;
    }
    // For tests and tools driving the pop-up from another process.
    case WM_ALERT_COUNT: return static_cast<LRESULT>(m_messages.count());
    case WM_ALERT_POSITION: return m_messages.position();
    case WM_ALERT_PRESS: press(static_cast<int>(wParam)); return 0;
    default: return DefWindowProcW(m_window, message, wParam, lParam);
    }
}
