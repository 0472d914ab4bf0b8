// rpqlisten: prints the notifier datagrams that arrive on a UDP port, as the
// tray notifier would show them. Stops after --seconds or on SIGINT/SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {
const char kMarker[] = "7D3F19A4-5C2E-4B8A-9E61-0F4C2B7A93D5";
volatile sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

int usage(FILE* out, int rc) {
    fprintf(out,
            "usage: rpqlisten [--port PORT] [--seconds N]\n"
            "  prints RPQ's notifier datagrams arriving on UDP PORT (default 8090)\n"
            "  until SIGINT/SIGTERM, or for N seconds\n");
    return rc;
}

bool number(const char* text, long low, long high, int* out) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (!*text || *end || errno || value < low || value > high) return false;
    *out = static_cast<int>(value);
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    int port = 8090, seconds = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return usage(stdout, 0);
        bool known = arg == "--port" || arg == "--seconds";
        if (!known || i + 1 >= argc) return usage(stderr, 2);
        bool ok = arg == "--port" ? number(argv[++i], 0, 65535, &port) : number(argv[++i], 0, 1000000, &seconds);
        if (!ok) {
            fprintf(stderr, "rpqlisten: %s takes a number, not \"%s\"\n", arg.c_str(), argv[i]);
            return 2;
        }
    }
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        fprintf(stderr, "rpqlisten: cannot listen on UDP port %d: %s\n", port, strerror(errno));
        return 1;
    }
    printf("[rpqlisten] listening for notifications on UDP port %d\n", port);
    fflush(stdout);
    time_t end = seconds > 0 ? time(nullptr) + seconds : 0;
    while (!g_stop && (end == 0 || time(nullptr) < end)) {
        pollfd p = {sock, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buffer[8193];
        ssize_t n = recv(sock, buffer, sizeof(buffer) - 1, 0);
        if (n <= 0) continue;
        buffer[n] = '\0';
        std::string datagram(buffer, static_cast<size_t>(n));
        if (datagram.find(kMarker) == std::string::npos) continue;  // not ours: ignored
        std::string message = datagram.substr(datagram.find(':') + 1);
        message = message.substr(0, message.find_first_of(std::string("\r\n\0", 3)));
        printf("[rpqlisten] %s\n", message.c_str());
        fflush(stdout);
    }
    close(sock);
    return 0;
}
