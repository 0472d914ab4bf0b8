// rpqgate: an IPP Everywhere printer application that sends every job to
// the workflow server. See --help.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "gateway/options.h"
#include "gateway/printerapp.h"

int main(int argc, char** argv) {
    if (argc < 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h") || !strcmp(argv[1], "help")) {
        fputs(usageText(), argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    if (!strcmp(argv[1], "--version")) {
        printf("rpqgate %s\n", RPQ_VERSION);
        return 0;
    }
    if (strcmp(argv[1], "serve") != 0) {
        fprintf(stderr, "rpqgate: unknown command %s\n\n%s", argv[1], usageText());
        return 2;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    GatewayOptions options;
    std::string why;
    if (!parseServeArguments(args, options, &why)) {
        fprintf(stderr, "rpqgate: %s\n(rpqgate --help lists the options)\n", why.c_str());
        return 2;
    }
    return serveGateway(options);
}
