#include "interact/notify.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#include <tlhelp32.h>
#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <strsafe.h>
#include "base/unique.h"
#include "diag/log.h"
#include "interact/owner.h"

namespace {
class CWinsock {
public:
    CWinsock() { m_ok = WSAStartup(MAKEWORD(1, 1), &m_data) == 0; }
    ~CWinsock() {
        if (m_ok) WSACleanup();
    }
    bool ok() const { return m_ok; }

private:
    WSADATA m_data;
    bool m_ok;
};

void closeSocket(SOCKET s) { closesocket(s); }
using unique_socket = CUniqueAny<SOCKET, closeSocket, static_cast<intptr_t>(INVALID_SOCKET)>;
}  // namespace

bool wantsTimePrefix(int logLevel, int messageLevel) {
    return logLevel < L_INFO || (logLevel > L_WARN && (messageLevel == L_ERROR || messageLevel == L_FATAL));
}

size_t buildDatagram(char* buffer, const char* prefix, const char* text) {
    memset(buffer, 0, kDatagramSize);
    size_t pos = 0;
    auto put = [&](const char* piece, size_t limit) {
        size_t n = strnlen(piece, limit);
        if (pos + n > limit) n = limit > pos ? limit - pos : 0;
        memcpy(buffer + pos, piece, n);
        pos += n;
    };
    const size_t textLimit = kDatagramSize - 3;  // CR LF and the NUL always fit
    put(kNotifierMarker, textLimit);
    put(":", textLimit);
    if (prefix) put(prefix, textLimit);
    put(text, textLimit);
    memcpy(buffer + pos, "\r\n", 2);
    pos += 2;
    buffer[pos] = '\0';
    return pos;
}

USHORT notifierPort(const JobOwner& owner, wchar_t* portText, size_t capacity) {
    portText[0] = L'\0';
    if (!owner.hasSid) return kDefaultNotifierPort;
    // What the owner's notifier published for the session it runs in.
    unique_hkey sessions;
    if (owner.hasSession && openOwnerKey(const_cast<BYTE*>(owner.sid), kNotifierSessionsKey, sessions.put()) == ERROR_SUCCESS) {
        wchar_t name[16];
        StringCchPrintfW(name, 16, L"%lu", owner.sessionId);
        DWORD listening = 0, size = sizeof(listening), type = 0;
        if (RegQueryValueExW(sessions.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&listening), &size) ==
                ERROR_SUCCESS &&
            type == REG_DWORD && size == sizeof(listening) && listening > 0 && listening <= 0xFFFF) {
            StringCchPrintfW(portText, capacity, L"%lu", listening);
            return static_cast<USHORT>(listening);
        }
    }
    unique_hkey key;
    if (openOwnerKey(const_cast<BYTE*>(owner.sid), kNotifierKey, key.put()) != ERROR_SUCCESS) return kDefaultNotifierPort;
    wchar_t value[261] = {};
    DWORD size = 520;
    if (RegQueryValueExW(key.get(), L"UDPPort", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS)
        return kDefaultNotifierPort;
    value[260] = L'\0';
    StringCchCopyW(portText, capacity, value);
    return static_cast<USHORT>(_wtoi(value) & 0xFFFF);
}

// The owner of the calling thread's job; else the thread's own account, in self.
static const JobOwner* ownerOrThread(JobOwner& self) {
    const JobOwner* owner = currentOwner();
    if (owner) return owner;
    threadOwner(self);
    return &self;
}

// Where the owner's job reads who holds a port.
static const UdpTablePlatform& udpTableOf(const JobOwner* owner) {
    return owner->udpTable ? *owner->udpTable : systemUdpTable();
}

// A process of the job owner's account, in the owner's session.
static bool ownersAccount(PSID sid, DWORD session, const void* context) {
    auto owner = static_cast<const JobOwner*>(context);
    return owner->hasSid && EqualSid(sid, const_cast<BYTE*>(owner->sid)) && (!owner->hasSession || session == owner->sessionId);
}

int UDPClient(int level, const char* uid, const char* text) {
    logMessage(L_TRACE, "UDPClient: %s", text);
    char jobUid[11] = {};
    memcpy(jobUid, uid ? uid : "", uid ? strnlen(uid, 10) : 0);
    SYSTEMTIME now;
    GetLocalTime(&now);
    char prefix[64];
    StringCchPrintfA(prefix, sizeof(prefix), "[%02d:%02d:%02d][%s]", now.wHour, now.wMinute, now.wSecond, jobUid);

    CWinsock winsock;
    if (!winsock.ok()) {
        logMessage(L_ERROR, "UDPClient: Could not open Windows connection.");
        return 0;
    }
    unique_socket sock(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!sock) {
        logMessage(L_ERROR, "UDPClient: Could not create socket.");
        return 0;
    }
    char hostName[256] = {};
    gethostname(hostName, sizeof(hostName) - 1);
    hostent* host = gethostbyname(hostName);
    if (!host || host->h_addrtype != AF_INET || !host->h_addr_list[0]) {
        logMessage(L_ERROR, "UDPClient: Could not get host name.");
        return 0;
    }
    in_addr address;
    memcpy(&address, host->h_addr_list[0], sizeof(address));
    JobOwner self;
    const JobOwner* owner = ownerOrThread(self);
    wchar_t portText[261];
    USHORT port = notifierPort(*owner, portText, 261);
    if (portText[0]) logMessageW(L_INFO, L"UDPClient: Read from port <%s>", portText);
    // Only to the owner's own notifier: any user's program may listen on a
    // port. Where the table names no process (Wine) it is sent as before.
    PortHolder holder = portHolder(port, ownersAccount, owner, udpTableOf(owner));
    if (holder == PortHolder::Nobody || holder == PortHolder::Other) {
        if (!owner->toldForeignPort)
            logMessage(L_INFO, "UDPClient: port <%u> is %s: no notifications are sent", static_cast<unsigned>(port),
                       holder == PortHolder::Nobody ? "not listened on" : "held by another account's program");
        owner->toldForeignPort = true;
        return 0;
    }
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    local.sin_port = 0;
    if (bind(sock.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) == SOCKET_ERROR) {
        logMessage(L_ERROR, "UDPClient: Cannot bind address to socket.");
        return 0;
    }
    char datagram[kDatagramSize];
    size_t length = buildDatagram(datagram, wantsTimePrefix(currentLogLevel(), level) ? prefix : nullptr, text);
    sockaddr_in target = local;
    target.sin_port = htons(port);
    if (sendto(sock.get(), datagram, static_cast<int>(length + 1), 0, reinterpret_cast<sockaddr*>(&target),
               sizeof(target)) == SOCKET_ERROR) {
        logMessage(L_ERROR, "UDPClient: Error transmitting data.");
        return 0;
    }
    return 1;
}

void sendNotification(int level, const char* uid, const wchar_t* format, ...) {
    if (level < currentLogLevel()) return;
    // Never onto someone else's desktop: the job routine says once why not.
    const JobOwner* owner = currentOwner();
    if (owner && owner->unreachable) return;
    wchar_t wide[1024];
    va_list args;
    va_start(args, format);
    StringCchVPrintfW(wide, 1024, format, args);
    va_end(args);
    char text[1024] = {};
    if (!WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof(text), nullptr, nullptr)) {
        // Too long for the buffer (double-byte code pages): keep the longest
        // start of the text that fits.
        int count = static_cast<int>(wcsnlen(wide, 1024));
        int n = 0;
        while (count > 0 && (n = WideCharToMultiByte(CP_ACP, 0, wide, count, text, sizeof(text) - 1, nullptr,
                                                      nullptr)) <= 0)
            --count;
        text[n > 0 ? n : 0] = '\0';
    }
    UDPClient(level, uid, text);
}

bool isProcessRunning(const wchar_t* executableName) {
    unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        if (_wcsicmp(entry.szExeFile, executableName) == 0) return true;
    return false;
}

void notifyJobFailed(const wchar_t* printerName, const wchar_t* documentName, const char* uid) {
    // Told only when nothing could receive the notices: not for a notifier
    // that runs under another name or outside this process's view.
    if (!isProcessRunning(L"Trayherald.exe")) {
        JobOwner self;
        const JobOwner* owner = ownerOrThread(self);
        wchar_t portText[261];
        USHORT port = notifierPort(*owner, portText, 261);
        auto anyone = [](PSID, DWORD, const void*) { return true; };
        if (portHolder(port, anyone, nullptr, udpTableOf(owner)) == PortHolder::Nobody)
            logMessage(L_ERROR, "TaskBarNotifier not available!");
    }
    sendNotification(L_ERROR, uid, L"[%s] Print job '%s' **** FAILED ****!!!!", printerName, documentName);
    sendNotification(L_ERROR, uid, L"[%s] **** Your document could not be processed. Please try to send the job again. ****",
                     printerName);
}
