#include "notifier/listener.h"
#include <ws2tcpip.h>
#include <vector>

namespace {
// A burst of datagrams must not overflow the system's default buffer.
constexpr int kReceiveBuffer = 1 << 20;
constexpr size_t kMaxDatagramBytes = 8192;

std::wstring socketError(int code) {
    // Wine's FormatMessageW has no text for the common socket errors.
    if (code == WSAEADDRINUSE) return L"Could not bind socket. Address and port are already in use.";
    if (code == WSAEACCES) return L"Could not bind socket. Access to the port is denied.";
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n && text ? std::wstring(text, n) : L"Socket Error # " + std::to_wstring(code);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) message.pop_back();
    return message;
}
}  // namespace

bool CDatagramListener::start(int port, std::wstring* error) {
    stop();
    if (port < 0 || port > 65535) {
        *error = L"Invalid port " + std::to_wstring(port);
        return false;
    }
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        *error = socketError(WSAGetLastError());
        return false;
    }
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&kReceiveBuffer), sizeof(kReceiveBuffer));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<u_short>(port));
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        *error = socketError(WSAGetLastError());
        closesocket(s);
        return false;
    }
    m_socket = s;
    m_stopping = 0;
    m_thread = CreateThread(nullptr, 0, run, this, 0, nullptr);
    if (!m_thread) {
        *error = socketError(static_cast<int>(GetLastError()));
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
        return false;
    }
    return true;
}

void CDatagramListener::stop() {
    if (!m_thread) return;
    InterlockedExchange(&m_stopping, 1);
    closesocket(m_socket);
    m_socket = INVALID_SOCKET;
    while (MsgWaitForMultipleObjects(1, &m_thread, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // answers the pending SendMessage
    }
    CloseHandle(m_thread);
    m_thread = nullptr;
}

DWORD WINAPI CDatagramListener::run(void* self) {
    auto* listener = static_cast<CDatagramListener*>(self);
    SOCKET s = listener->m_socket;
    std::vector<char> buffer(kMaxDatagramBytes);
    while (!listener->m_stopping) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval wait = {1, 0};
        int ready = select(0, &set, nullptr, nullptr, &wait);
        if (listener->m_stopping || ready < 0) break;
        if (ready == 0) continue;
        int got = recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
        if (got < 0) {
            if (WSAGetLastError() == WSAEMSGSIZE) got = static_cast<int>(buffer.size());
            else if (listener->m_stopping) break;
            else continue;
        }
        SendMessageW(listener->m_target, WM_DATAGRAM, reinterpret_cast<WPARAM>(buffer.data()), got);
    }
    return 0;
}
