// rpqserver: the reference workflow server. See --help.
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pthread.h>
#include <thread>
#include "server.h"

namespace {
void usage() {
    fprintf(stderr,
            "usage: rpqserver [options]\n"
            "  --bind ADDR              address to listen on (127.0.0.1)\n"
            "  --port N                 port (8080; 0 picks a free one)\n"
            "  --port-file F            write the port taken into F\n"
            "  --storage DIR            where jobs land (./rpq-storage)\n"
            "  --journal DIR            write the run's journal there\n"
            "  --no-bodies              keep no raw request bodies in the journal\n"
            "  --prefix P               path prefix before the action names\n"
            "  --transfer-action NAME   (FDXS_Transfer)\n"
            "  --interaction-action NAME (FDXS_Interaction)\n"
            "  --cert FILE --key FILE   serve HTTPS\n"
            "  --scenario FILE          fault rules, one per line\n"
            "  --rule RULE              one fault rule (repeatable)\n"
            "  --max-body BYTES         largest request body (64 MiB)\n"
            "  --quiet                  no log lines\n"
            "  --stop-file F            stop once the file F exists\n"
            "  --max-seconds N          stop after N seconds\n"
            "rules: ACTION SELECTOR [count N] [per-job]\n"
            "  ACTION   ok | error[:REASON] | wait | silent[:MS] | silent:close | wrong:type|seq|uid |\n"
            "           html:404 | html:500 | delay:MS\n"
            "  SELECTOR all | #M | #M+ | TYPE | TYPE#K | TYPE#K+ | CHUNK=K\n");
}
}  // namespace

int main(int argc, char** argv) {
    ServerOptions options;
    Scenario scenario;
    std::string portFile, stopFile, why;
    int maxSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                fprintf(stderr, "rpqserver: %s needs a value\n", arg.c_str());
                exit(2);
            }
            return argv[++i];
        };
        if (arg == "--bind") options.bind = value();
        else if (arg == "--port") options.port = atoi(value().c_str());
        else if (arg == "--port-file") portFile = value();
        else if (arg == "--storage") options.storage = value();
        else if (arg == "--journal") options.journal = value();
        else if (arg == "--prefix") options.prefix = value();
        else if (arg == "--transfer-action") options.transferAction = value();
        else if (arg == "--interaction-action") options.interactionAction = value();
        else if (arg == "--cert") options.cert = value();
        else if (arg == "--key") options.key = value();
        else if (arg == "--max-body") options.maxBody = strtoull(value().c_str(), nullptr, 10);
        else if (arg == "--quiet") options.quiet = true;
        else if (arg == "--no-bodies") options.keepBodies = false;
        else if (arg == "--stop-file") stopFile = value();
        else if (arg == "--max-seconds") maxSeconds = atoi(value().c_str());
        else if (arg == "--scenario") {
            if (!scenario.loadFile(value(), &why)) {
                fprintf(stderr, "rpqserver: %s\n", why.c_str());
                return 2;
            }
        } else if (arg == "--rule") {
            if (!scenario.addRule(value(), &why)) {
                fprintf(stderr, "rpqserver: %s\n", why.c_str());
                return 2;
            }
        } else {
            usage();
            return arg == "--help" ? 0 : 2;
        }
    }
    if (options.quiet) {
        // Let go of the starter's pipes: a test runner waits for them to close.
        FILE* out = freopen("/dev/null", "w", stdout);
        FILE* err = freopen("/dev/null", "w", stderr);
        FILE* in = freopen("/dev/null", "r", stdin);
        (void)out, (void)err, (void)in;
    }
    // Signals are taken by one thread, which stops the server cleanly.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    RpqServer server(options, scenario);
    if (!server.start(&why)) {
        fprintf(stderr, "rpqserver: %s\n", why.c_str());
        return 1;
    }
    if (!portFile.empty()) {
        std::ofstream(portFile + ".tmp") << server.port() << "\n";
        std::rename((portFile + ".tmp").c_str(), portFile.c_str());
    }
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        int sig = 0;
        sigwait(&signals, &sig);
        if (done) return;
        fprintf(stdout, "[rpqserver] stopping on signal %d\n", sig);
        fflush(stdout);
        server.stop();
    });
    // Callers that cannot signal the server (Windows programs under Wine)
    // stop it by creating the stop file.
    std::thread stopWatch([&] {
        auto started = std::chrono::steady_clock::now();
        while ((!stopFile.empty() || maxSeconds > 0) && !done) {
            if (maxSeconds > 0 && std::chrono::steady_clock::now() - started > std::chrono::seconds(maxSeconds)) {
                server.stop();
                return;
            }
            if (!stopFile.empty() && access(stopFile.c_str(), F_OK) == 0) {
                fprintf(stdout, "[rpqserver] stopping: %s exists\n", stopFile.c_str());
                fflush(stdout);
                server.stop();
                return;
            }
            usleep(100000);
        }
    });
    server.run();
    done = true;
    stopWatch.join();
    if (!portFile.empty()) unlink(portFile.c_str());  // tells watchers the server is gone
    kill(getpid(), SIGTERM);  // wakes the waiter if the server stopped by itself
    waiter.join();
    return 0;
}
