// The UDP listener: a thread that waits for datagrams (up to 1,000 ms at a
// time) and hands each to the GUI thread with SendMessage, one at a time.
// Datagrams from other machines are dropped: only RPQ on this machine talks
// to its user's notifier.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <string>
#include <vector>
#include "base/udpowner.h"
#include "base/unique.h"
#include "notifier/receiving.h"

// wParam: the datagram's bytes, lParam: their count.
constexpr UINT WM_DATAGRAM = WM_APP + 1;

// True while a notifier (of any session) listens on the port (a marker
// that this user may not open counts too: it is there).
bool portHeldByNotifier(int port);

// Whether a sending port's account may be heard: the spooler's (the
// system) or this notifier's own user.
bool isTrustedSenderAccount(PSID sid, DWORD session, const void* context);

// Whether a datagram's sender may be heard (isLocalSender; tests give their own).
using SenderRule = bool (*)(const in_addr& sender, const std::vector<ULONG>& ownAddresses);

class CDatagramListener {
public:
    explicit CDatagramListener(HWND target, SenderRule rule = isLocalSender,
                               const UdpTablePlatform& udpTable = systemUdpTable())
        : m_target(target), m_rule(rule), m_udpTable(udpTable) {}
    ~CDatagramListener() { stop(); }
    CDatagramListener(const CDatagramListener&) = delete;
    CDatagramListener& operator=(const CDatagramListener&) = delete;

    // Binds every local IPv4 address at the port, exclusively, and starts
    // the thread; false with a message text when that fails. A port that
    // another session's notifier, or another account's program, holds gives
    // a free port instead (published for this user's jobs). Windows Sockets
    // must be started (WSAStartup) by the program.
    bool start(int port, std::wstring* error);
    // The port listened on since start.
    int port() const { return m_port; }
    // Closes the socket and waits for the thread, answering its pending
    // SendMessage meanwhile so that neither waits for the other.
    void stop();

private:
    static DWORD WINAPI run(void* self);
    bool fromThisMachine(const in_addr& sender);

    std::vector<ULONG> m_ownAddresses;
    ULONGLONG m_addressesRead = 0;
    HWND m_target;
    SenderRule m_rule;
    const UdpTablePlatform& m_udpTable;
    int m_port = 0;
    unique_handle m_marker;  // tells other sessions' notifiers that the port is a notifier's
    SOCKET m_socket = INVALID_SOCKET;
    HANDLE m_thread = nullptr;
    volatile LONG m_stopping = 0;
};
