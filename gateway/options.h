// rpqgate's command line and configuration file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Where one IPP printer sends its jobs, and how.
struct PrinterTarget {
    std::string name;            // the IPP queue: /ipp/print/<name>
    std::string url;             // http(s)://host:port/<transfer action>
    bool secure = false;
    bool acceptAllCertificates = false;
    std::string server;          // host of the URL
    uint16_t port = 0;
    std::string transferPath;    // "/FDXS_Transfer" and the like
    std::string interactionPath = "/FDXS_Interaction";
    bool interaction = false;    // offer the job's page on the server to the client
};

struct GatewayOptions {
    uint16_t port = 8631;
    std::string stateDir;
    std::string listen = "*";               // addresses PAPPL listens on
    bool dnssd = true;
    uint64_t maxDocumentBytes = 1ull << 30;  // 1 GiB
    std::string authService;                // PAM service; empty: none
    std::string printGroup;                 // with authService: who may print
    std::string domain;                     // sent as the job's domain; empty: the machine's
    std::string logLevel = "info";
    unsigned resendSeconds = 60;            // a left job that found no server is tried again after this
    std::vector<PrinterTarget> printers;
};

// Splits "http(s)://host[:port]/path"; false with a reason for anything else.
bool parseTransferUrl(const std::string& url, PrinterTarget& target, std::string* why);
// "NAME=URL"; the name is what IPP clients see in the printer's URI.
bool parsePrinterArgument(const std::string& argument, PrinterTarget& target, std::string* why);
// Reads DIR/rpqgate.conf when it exists: "[NAME]" sections with
// "url", "secure", "accept-all-certificates", "interaction",
// "interaction-action" lines; a section whose printer is also given on the
// command line adds to it. Lines starting with '#' are comments.
bool readConfigFile(const std::string& path, GatewayOptions& options, std::string* why);
// The "serve" command's arguments (after "serve"); false with a reason.
bool parseServeArguments(const std::vector<std::string>& args, GatewayOptions& options, std::string* why);
// A printer name IPP and the state folder can both carry: letters, digits, '-', '_', '.'.
bool validPrinterName(const std::string& name);
const char* usageText();
