#include "notifier/listener.h"
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <sddl.h>
#include <memory>
#include <vector>
#include "base/errortext.h"
#include "base/tokenaccount.h"
#include "notifier/receiving.h"

namespace {
// A burst of datagrams must not overflow the system's default buffer.
constexpr int kReceiveBuffer = 1 << 20;
constexpr size_t kMaxDatagramBytes = 8192;
// An unknown sender makes the machine's addresses be read again, at most this often.
constexpr ULONGLONG kAddressRefreshMs = 5000;

// The IPv4 addresses of this machine's interfaces and of its host name (RPQ
// sends from the latter's first address).
std::vector<ULONG> ownAddresses() {
    std::vector<ULONG> addresses;
    ULONG size = 16 * 1024;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::unique_ptr<BYTE[]> block(new BYTE[size]);
        auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(block.get());
        ULONG result = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                                         GAA_FLAG_SKIP_DNS_SERVER, nullptr, first, &size);
        if (result == ERROR_BUFFER_OVERFLOW) continue;
        if (result != NO_ERROR) break;
        for (auto* adapter = first; adapter; adapter = adapter->Next)
            for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next)
                if (unicast->Address.lpSockaddr && unicast->Address.lpSockaddr->sa_family == AF_INET)
                    addresses.push_back(reinterpret_cast<sockaddr_in*>(unicast->Address.lpSockaddr)->sin_addr.s_addr);
        break;
    }
    char host[256] = {};
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (gethostname(host, sizeof(host) - 1) == 0 && getaddrinfo(host, nullptr, &hints, &found) == 0) {
        for (addrinfo* a = found; a; a = a->ai_next)
            addresses.push_back(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
        freeaddrinfo(found);
    }
    return addresses;
}

std::wstring socketError(int code) {
    // Wine's FormatMessageW has no text for the common socket errors.
    if (code == WSAEADDRINUSE) return L"Could not bind socket. Address and port are already in use.";
    if (code == WSAEACCES) return L"Could not bind socket. Access to the port is denied.";
    std::wstring message = systemErrorLine(static_cast<DWORD>(code));
    return message.empty() ? L"Socket Error # " + std::to_wstring(code) : message;
}
}  // namespace

// The name another session's notifier holds while it listens on the port.
std::wstring portMarkerName(int port) { return L"Global\\Halvane.Trayherald.UDP." + std::to_wstring(port); }

bool portHeldByNotifier(int port) {
    unique_handle marker(OpenMutexW(SYNCHRONIZE, FALSE, portMarkerName(port).c_str()));
    return marker || GetLastError() == ERROR_ACCESS_DENIED;
}

bool isTrustedSenderAccount(PSID sid, DWORD, const void*) {
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(system);
    if (CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size) && EqualSid(sid, system)) return true;
    unique_handle token;
    BYTE own[SECURITY_MAX_SID_SIZE];
    return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) && tokenAccount(token.get(), own, sizeof(own)) &&
           EqualSid(sid, own);
}

namespace {
// Every session may open the marker to see it; only its owner may change it.
constexpr wchar_t kMarkerSddl[] = L"D:(A;;0x1F0001;;;SY)(A;;0x1F0001;;;BA)(A;;0x1F0001;;;OW)(A;;0x00100000;;;WD)";

bool heldByAnotherAccount(int port, const UdpTablePlatform& table) {
    return portHolder(static_cast<USHORT>(port), isTrustedSenderAccount, nullptr, table) == PortHolder::Other;
}
}  // namespace

namespace {
// Exclusively: no other socket can take the port over while it is ours.
SOCKET bindExclusive(int port, int* error) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return s;
    }
    BOOL exclusive = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof(exclusive));
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&kReceiveBuffer), sizeof(kReceiveBuffer));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<u_short>(port));
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        *error = WSAGetLastError();
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}
}  // namespace

bool CDatagramListener::start(int port, std::wstring* error) {
    stop();
    if (port < 0 || port > 65535) {
        *error = L"Invalid port " + std::to_wstring(port);
        return false;
    }
    int code = 0;
    SOCKET s = bindExclusive(port, &code);
    // Another session's notifier has the port (a Remote Desktop host): this
    // one takes a free port and publishes it for its own user's jobs.
    if (s == INVALID_SOCKET && port != 0 && (code == WSAEADDRINUSE || code == WSAEACCES) &&
        (portHeldByNotifier(port) || heldByAnotherAccount(port, m_udpTable)))
        s = bindExclusive(0, &code);
    if (s == INVALID_SOCKET) {
        *error = socketError(code);
        return false;
    }
    sockaddr_in bound = {};
    int boundSize = sizeof(bound);
    getsockname(s, reinterpret_cast<sockaddr*>(&bound), &boundSize);
    m_port = ntohs(bound.sin_port);
    PSECURITY_DESCRIPTOR markerDescriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(kMarkerSddl, SDDL_REVISION_1, &markerDescriptor, nullptr);
    unique_hlocal heldDescriptor(markerDescriptor);
    SECURITY_ATTRIBUTES markerSecurity = {sizeof(markerSecurity), markerDescriptor, FALSE};
    m_marker.reset(CreateMutexW(markerDescriptor ? &markerSecurity : nullptr, FALSE, portMarkerName(m_port).c_str()));
    m_socket = s;
    m_stopping = 0;
    m_ownAddresses = ownAddresses();
    m_addressesRead = GetTickCount64();
    m_thread = CreateThread(nullptr, 0, run, this, 0, nullptr);
    if (!m_thread) {
        *error = socketError(static_cast<int>(GetLastError()));
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
        m_marker.reset();
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
    m_marker.reset();
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
        sockaddr_in sender = {};
        int senderSize = sizeof(sender);
        int got = recvfrom(s, buffer.data(), static_cast<int>(buffer.size()), 0, reinterpret_cast<sockaddr*>(&sender),
                           &senderSize);
        if (got < 0) {
            if (WSAGetLastError() == WSAEMSGSIZE) got = static_cast<int>(buffer.size());
            else if (listener->m_stopping) break;
            else continue;
        }
        if (sender.sin_family != AF_INET || !listener->fromThisMachine(sender.sin_addr)) continue;
        // A sending socket that another account's program still holds is not
        // RPQ's. (RPQ closes its socket once a datagram is sent, so a sender
        // no longer bound cannot be told apart, and where the table names no
        // process, Wine's, none can.)
        if (portHolder(ntohs(sender.sin_port), isTrustedSenderAccount, nullptr, listener->m_udpTable) ==
            PortHolder::Other)
            continue;
        SendMessageW(listener->m_target, WM_DATAGRAM, reinterpret_cast<WPARAM>(buffer.data()), got);
    }
    return 0;
}

bool CDatagramListener::fromThisMachine(const in_addr& sender) {
    if (m_rule(sender, m_ownAddresses)) return true;
    // Addresses change (DHCP, a new network): read them again, not on every stranger's datagram.
    ULONGLONG now = GetTickCount64();
    if (now - m_addressesRead < kAddressRefreshMs) return false;
    m_ownAddresses = ownAddresses();
    m_addressesRead = now;
    return m_rule(sender, m_ownAddresses);
}
