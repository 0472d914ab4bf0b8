#include "gateway/options.h"
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>

namespace {

bool parseBool(const std::string& value, bool* out) {
    if (value == "1" || value == "true" || value == "yes" || value == "on") return *out = true, true;
    if (value == "0" || value == "false" || value == "no" || value == "off") return *out = false, true;
    return false;
}

bool parseNumber(const std::string& text, uint64_t max, uint64_t* out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) return false;
    errno = 0;
    unsigned long long value = strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || value > max) return false;
    *out = value;
    return true;
}

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

PrinterTarget* findPrinter(GatewayOptions& options, const std::string& name) {
    for (PrinterTarget& p : options.printers)
        if (p.name == name) return &p;
    return nullptr;
}

}  // namespace

bool validPrinterName(const std::string& name) {
    if (name.empty() || name.size() > 127 || name[0] == '.') return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                  c == '.';
        if (!ok) return false;
    }
    return true;
}

bool parseTransferUrl(const std::string& url, PrinterTarget& target, std::string* why) {
    std::string rest;
    if (url.compare(0, 7, "http://") == 0) {
        target.secure = false;
        rest = url.substr(7);
    } else if (url.compare(0, 8, "https://") == 0) {
        target.secure = true;
        rest = url.substr(8);
    } else {
        *why = "the address must start with http:// or https://: " + url;
        return false;
    }
    size_t slash = rest.find('/');
    if (slash == std::string::npos || slash + 1 >= rest.size()) {
        *why = "the address names no transfer action (http://host:port/FDXS_Transfer): " + url;
        return false;
    }
    std::string hostPort = rest.substr(0, slash);
    std::string path = rest.substr(slash);
    if (path.find_first_of(" \t\r\n?#") != std::string::npos) {
        *why = "the transfer action holds a character an address may not: " + url;
        return false;
    }
    std::string host = hostPort;
    uint64_t port = target.secure ? 443 : 80;
    if (!hostPort.empty() && hostPort[0] == '[') {  // [IPv6]:port
        size_t close = hostPort.find(']');
        if (close == std::string::npos) {
            *why = "an IPv6 address must end with ']': " + url;
            return false;
        }
        host = hostPort.substr(1, close - 1);
        std::string after = hostPort.substr(close + 1);
        if (!after.empty() && (after[0] != ':' || !parseNumber(after.substr(1), 65535, &port) || port == 0)) {
            *why = "the port must be a number from 1 to 65535: " + url;
            return false;
        }
    } else {
        size_t colon = hostPort.rfind(':');
        if (colon != std::string::npos) {
            host = hostPort.substr(0, colon);
            if (!parseNumber(hostPort.substr(colon + 1), 65535, &port) || port == 0) {
                *why = "the port must be a number from 1 to 65535: " + url;
                return false;
            }
        }
    }
    if (host.empty() || host.find_first_of("@/ \t") != std::string::npos) {
        *why = "the address names no server: " + url;
        return false;
    }
    target.url = url;
    target.server = host;
    target.port = static_cast<uint16_t>(port);
    target.transferPath = path;
    return true;
}

bool parsePrinterArgument(const std::string& argument, PrinterTarget& target, std::string* why) {
    size_t eq = argument.find('=');
    if (eq == std::string::npos) {
        *why = "--printer wants NAME=URL, not " + argument;
        return false;
    }
    target.name = argument.substr(0, eq);
    if (!validPrinterName(target.name)) {
        *why = "a printer name may hold letters, digits, '-', '_' and '.' only: " + target.name;
        return false;
    }
    return parseTransferUrl(argument.substr(eq + 1), target, why);
}

bool readConfigFile(const std::string& path, GatewayOptions& options, std::string* why) {
    std::ifstream in(path);
    if (!in) return true;  // no file: the command line says everything
    std::string line;
    PrinterTarget* current = nullptr;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string text = trim(line);
        if (text.empty() || text[0] == '#') continue;
        auto fail = [&](const std::string& reason) {
            *why = path + ":" + std::to_string(number) + ": " + reason;
            return false;
        };
        if (text.front() == '[') {
            if (text.back() != ']') return fail("a section is \"[NAME]\"");
            std::string name = text.substr(1, text.size() - 2);
            if (!validPrinterName(name)) return fail("a printer name may hold letters, digits, '-', '_' and '.' only");
            current = findPrinter(options, name);
            if (!current) {
                options.printers.push_back(PrinterTarget());
                current = &options.printers.back();
                current->name = name;
            }
            continue;
        }
        if (!current) return fail("settings belong under a \"[NAME]\" section");
        size_t eq = text.find('=');
        if (eq == std::string::npos) return fail("a setting is \"key = value\"");
        std::string key = trim(text.substr(0, eq)), value = trim(text.substr(eq + 1));
        bool flag = false;
        if (key == "url") {
            std::string reason;
            if (!current->url.empty()) continue;  // the command line's address wins
            if (!parseTransferUrl(value, *current, &reason)) return fail(reason);
        } else if (key == "secure" || key == "accept-all-certificates" || key == "interaction") {
            if (!parseBool(value, &flag)) return fail(key + " is yes or no");
            if (key == "secure") current->secure = flag;
            else if (key == "accept-all-certificates") current->acceptAllCertificates = flag;
            else current->interaction = flag;
        } else if (key == "interaction-action") {
            if (value.empty() || value.find_first_of(" \t?#") != std::string::npos) return fail("not an action name");
            current->interactionPath = value[0] == '/' ? value : "/" + value;
        } else {
            return fail("unknown setting \"" + key + "\"");
        }
    }
    for (const PrinterTarget& p : options.printers)
        if (p.url.empty()) {
            *why = path + ": printer " + p.name + " has no url";
            return false;
        }
    return true;
}

bool parseServeArguments(const std::vector<std::string>& args, GatewayOptions& options, std::string* why) {
    std::vector<PrinterTarget> fromCommandLine;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                *why = arg + " wants a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        std::string v;
        uint64_t n = 0;
        if (arg == "--no-dnssd") {
            options.dnssd = false;
        } else if (arg == "--port") {
            if (!value(&v)) return false;
            if (!parseNumber(v, 65535, &n) || n == 0) return *why = "--port wants a number from 1 to 65535", false;
            options.port = static_cast<uint16_t>(n);
        } else if (arg == "--state") {
            if (!value(&options.stateDir)) return false;
        } else if (arg == "--listen") {
            if (!value(&options.listen)) return false;
        } else if (arg == "--max-size") {
            if (!value(&v)) return false;
            if (!parseNumber(v, UINT64_MAX / 2, &n) || n == 0) return *why = "--max-size wants a number of bytes", false;
            options.maxDocumentBytes = n;
        } else if (arg == "--auth-service") {
            if (!value(&options.authService)) return false;
        } else if (arg == "--print-group") {
            if (!value(&options.printGroup)) return false;
        } else if (arg == "--domain") {
            if (!value(&options.domain)) return false;
        } else if (arg == "--log-level") {
            if (!value(&options.logLevel)) return false;
            if (options.logLevel != "debug" && options.logLevel != "info" && options.logLevel != "warn" &&
                options.logLevel != "error")
                return *why = "--log-level is debug, info, warn or error", false;
        } else if (arg == "--resend-after") {
            if (!value(&v)) return false;
            if (!parseNumber(v, 86400, &n) || n == 0) return *why = "--resend-after wants seconds from 1 to 86400", false;
            options.resendSeconds = static_cast<unsigned>(n);
        } else if (arg == "--printer") {
            if (!value(&v)) return false;
            PrinterTarget target;
            if (!parsePrinterArgument(v, target, why)) return false;
            for (const PrinterTarget& p : fromCommandLine)
                if (p.name == target.name) return *why = "printer " + target.name + " is given twice", false;
            fromCommandLine.push_back(target);
        } else {
            *why = "unknown option " + arg;
            return false;
        }
    }
    if (options.stateDir.empty()) return *why = "--state DIR is needed: jobs wait there until the server has them", false;
    if (!options.printGroup.empty() && options.authService.empty())
        return *why = "--print-group needs --auth-service: without authentication nobody is in a group", false;
    options.printers = fromCommandLine;
    if (!readConfigFile(options.stateDir + "/rpqgate.conf", options, why)) return false;
    if (options.printers.empty()) return *why = "no printer: give --printer NAME=URL or a [NAME] section in rpqgate.conf", false;
    return true;
}

const char* usageText() {
    return "Usage: rpqgate serve --state DIR --printer NAME=URL [--printer NAME=URL ...] [options]\n"
           "       rpqgate --help | --version\n"
           "\n"
           "An IPP Everywhere printer for every printer NAME (ipp://HOST:PORT/ipp/print/NAME) that sends\n"
           "each job to the workflow server at URL (http(s)://host:port/FDXS_Transfer).\n"
           "\n"
           "Options of serve:\n"
           "  --port PORT            IPP port (8631)\n"
           "  --state DIR            jobs, serial numbers, PAPPL's spool and rpqgate.conf live here\n"
           "  --printer NAME=URL     a printer and its workflow server (repeatable)\n"
           "  --listen ADDR          listen on this address or host name only (all addresses)\n"
           "  --no-dnssd             do not announce the printers through DNS-SD (Avahi)\n"
           "  --max-size BYTES       largest document accepted (1073741824)\n"
           "  --auth-service NAME    authenticate IPP users through this PAM service\n"
           "  --print-group GROUP    with --auth-service: only members of GROUP may print\n"
           "  --domain NAME          domain sent with each job (the machine's DNS domain)\n"
           "  --log-level LEVEL      debug, info, warn or error (info)\n"
           "  --resend-after SECONDS a job of an earlier run that found no server is tried again\n"
           "                         after SECONDS (60)\n"
           "\n"
           "DIR/rpqgate.conf, per printer:\n"
           "  [NAME]\n"
           "  url = https://server:8443/FDXS_Transfer\n"
           "  accept-all-certificates = no\n"
           "  interaction = no\n"
           "  interaction-action = FDXS_Interaction\n";
}
