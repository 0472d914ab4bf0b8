#include "gateway/printerapp.h"
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <pappl/pappl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>
#include "gateway/exchange.h"
#include "gateway/journal.h"
#include "gateway/pages.h"
#include "gateway/rastercopy.h"
#include "gateway/text.h"
#include "gateway/transfer.h"

namespace {

constexpr char kForwardFormat[] = "application/vnd.rpq-forward";
constexpr char kHostAttribute[] = "job-originating-host-name";
// Formats forwarded unchanged, and the extension that tells the server the format.
const std::pair<const char*, const char*> kFormats[] = {
    {"application/pdf", ".pdf"}, {"image/pwg-raster", ".pwg"}, {"image/urf", ".urf"},
    {"image/jpeg", ".jpg"},      {"image/png", ".png"},         {"application/octet-stream", ""},
};

struct GatewayApp {
    GatewayOptions options;
    std::map<std::string, PrinterTarget> targets;
    std::string jobsDir;
    std::u16string domain;
    uint8_t domainKind = 2;
    std::vector<uint8_t> machineId;
    CClock clock;
    std::unique_ptr<CSerials> serials;
    pappl_system_t* system = nullptr;
};

pappl_loglevel_t logLevelOf(const std::string& name) {
    if (name == "debug") return PAPPL_LOGLEVEL_DEBUG;
    if (name == "warn") return PAPPL_LOGLEVEL_WARN;
    if (name == "error") return PAPPL_LOGLEVEL_ERROR;
    return PAPPL_LOGLEVEL_INFO;
}

pappl_loglevel_t levelOf(int level) {
    return level <= 0 ? PAPPL_LOGLEVEL_DEBUG : level == 1 ? PAPPL_LOGLEVEL_INFO : level == 2 ? PAPPL_LOGLEVEL_WARN
                                                                                               : PAPPL_LOGLEVEL_ERROR;
}

// The job's client hears through job-state-message; the gateway's log
// keeps the rest.
class CIppTeller : public CJobTeller {
public:
    explicit CIppTeller(pappl_job_t* job) : m_job(job) {}
    void progress(const std::string& message) override {
        if (m_page.empty()) papplJobSetMessage(m_job, "%s", message.c_str());
        else papplJobSetMessage(m_job, "%s; the job's page: %s", message.c_str(), m_page.c_str());
    }
    void log(int level, const std::string& line) override { papplLogJob(m_job, levelOf(level), "%s", line.c_str()); }
    void interactionPage(const std::string& address) override {
        m_page = address;
        papplLogJob(m_job, PAPPL_LOGLEVEL_INFO, "The job's page on the server: %s", address.c_str());
    }
    bool cancelled() override { return papplJobIsCanceled(m_job); }
    const std::string& page() const { return m_page; }

private:
    pappl_job_t* m_job;
    std::string m_page;
};

// Jobs left in the journal by an earlier run: sent again, told in the log.
class CRecoveryTeller : public CJobTeller {
public:
    CRecoveryTeller(pappl_system_t* system, std::string uid) : m_system(system), m_uid(std::move(uid)) {}
    void progress(const std::string& message) override {
        papplLog(m_system, PAPPL_LOGLEVEL_DEBUG, "[Recovered %s] %s", m_uid.c_str(), message.c_str());
    }
    void log(int level, const std::string& line) override {
        papplLog(m_system, levelOf(level), "[Recovered %s] %s", m_uid.c_str(), line.c_str());
    }
    void interactionPage(const std::string&) override {}
    bool cancelled() override { return false; }

private:
    pappl_system_t* m_system;
    std::string m_uid;
};

std::string attributeText(pappl_job_t* job, const char* name) {
    ipp_attribute_t* attr = papplJobGetAttribute(job, name);
    const char* value = attr ? ippGetString(attr, 0, nullptr) : nullptr;
    return value ? value : "";
}

std::string documentNameFor(const std::string& jobName, const std::string& format) {
    std::string name = jobName.empty() ? "Untitled" : jobName;
    for (const auto& f : kFormats) {
        if (format != f.first || !*f.second) continue;
        std::string ext = f.second;
        bool has = name.size() >= ext.size() && strcasecmp(name.c_str() + name.size() - ext.size(), ext.c_str()) == 0;
        if (!has) name += ext;
    }
    return name;
}

GatewayApp theApp;  // one per process; recovery threads use it until the process ends

// Journals the document at spooled, sends it and tells the client; the
// job's outcome (false: aborted or canceled).
bool forwardDocument(GatewayApp& app, pappl_job_t* job, const char* spooled, const std::string& format) {
    const char* printerName = papplPrinterGetName(papplJobGetPrinter(job));
    auto found = app.targets.find(printerName ? printerName : "");
    auto refuse = [&](pappl_jreason_t reason, const std::string& message) {
        papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
        papplJobSetMessage(job, "%s", message.c_str());
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message.c_str());
        return false;
    };
    if (found == app.targets.end()) return refuse(PAPPL_JREASON_ABORTED_BY_SYSTEM, "No workflow server for this printer");
    const PrinterTarget& target = found->second;
    struct stat st = {};
    if (!spooled || lstat(spooled, &st) != 0 || !S_ISREG(st.st_mode))
        return refuse(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, std::string("The document could not be read: ") + (spooled ? spooled : "none"));
    if (static_cast<uint64_t>(st.st_size) > app.options.maxDocumentBytes)
        return refuse(PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                      "The document is larger than this printer takes (" + std::to_string(app.options.maxDocumentBytes) +
                          " bytes)");
    GatewayJob gj;
    if (!randomUid(10, &gj.uid)) return refuse(PAPPL_JREASON_ABORTED_BY_SYSTEM, "No job identifier could be made");
    gj.printer = target.name;
    const char* user = papplJobGetUsername(job);
    gj.user = fromUtf8(user && *user ? user : "anonymous");
    // Only rpqgate's own hook writes the host; with PAM it is not installed,
    // and a value the client sent itself is not taken.
    std::string host = app.options.authService.empty() ? attributeText(job, kHostAttribute) : "";
    gj.host = fromUtf8(hostField(host));
    gj.domain = app.domain;
    gj.domainKind = app.domainKind;
    const char* jobName = papplJobGetName(job);
    gj.documentName = fromUtf8(documentNameFor(jobName ? jobName : "", format));
    ipp_attribute_t* copies = papplJobGetAttribute(job, "copies");
    int count = copies ? ippGetInteger(copies, 0) : 1;
    gj.copies = count > 0 ? static_cast<uint32_t>(count) : 1;
    gj.machineId = app.machineId;
    gj.pages = countPages(spooled, format);
    std::string why;
    if (!journalJob(app.jobsDir, spooled, gj, &why)) return refuse(PAPPL_JREASON_ABORTED_BY_SYSTEM, why);
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Job %s: '%s' of %s from %s, %u page(s), %u copies, %s, to %s", gj.uid.c_str(),
                toUtf8(gj.documentName).c_str(), toUtf8(gj.user).c_str(), toUtf8(gj.host).c_str(), gj.pages, gj.copies,
                format.c_str(), target.url.c_str());
    papplJobSetImpressions(job, static_cast<int>(gj.pages));
    CIppTeller teller(job);
    TransferResult result = runGatewayTransfer(target, gj, *app.serials, teller, app.clock);
    forgetJob(gj);
    switch (result.outcome) {
    case JobOutcome::Confirmed:
        papplJobSetImpressionsCompleted(job, static_cast<int>(gj.pages));
        if (teller.page().empty()) papplJobSetMessage(job, "Transferred to the workflow server");
        else papplJobSetMessage(job, "Transferred to the workflow server; the job's page: %s", teller.page().c_str());
        return true;
    case JobOutcome::Canceled:
        papplJobSetMessage(job, "Cancelled by the client");
        return false;
    default:
        return refuse(PAPPL_JREASON_ABORTED_BY_SYSTEM, result.reason);
    }
}

bool forwardJob(pappl_job_t* job, pappl_device_t*, void* data) {
    const char* format = papplJobGetFormat(job);
    return forwardDocument(*static_cast<GatewayApp*>(data), job, papplJobGetFilename(job),
                           format ? format : "application/octet-stream");
}

// PWG raster and URF come as PAPPL streams them, with no spool file: their
// pages are written back as PWG raster (the headers and lines PAPPL read),
// and that file is forwarded when the job ends.
bool rasterStart(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
    std::string why;
    CRasterCopy* copy = CRasterCopy::start(theApp.jobsDir, &why);
    if (!copy) {
        papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
        papplJobSetMessage(job, "%s", why.c_str());
        return false;
    }
    papplJobSetData(job, copy);
    return true;
}

bool rasterPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned) {
    auto* copy = static_cast<CRasterCopy*>(papplJobGetData(job));
    return copy && copy->page(options->header);
}

bool rasterLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned, const unsigned char* line) {
    auto* copy = static_cast<CRasterCopy*>(papplJobGetData(job));
    return copy && copy->line(line, options->header.cupsBytesPerLine);
}

bool rasterEnd(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
    std::unique_ptr<CRasterCopy> copy(static_cast<CRasterCopy*>(papplJobGetData(job)));
    papplJobSetData(job, nullptr);
    // PAPPL stops a job whose raster it could not read (or the client cancelled)
    // and says so itself: nothing is sent.
    if (papplJobIsCanceled(job)) return false;
    if (!copy || !copy->finish()) {
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
        papplJobSetMessage(job, "The raster document could not be kept");
        return false;
    }
    return forwardDocument(theApp, job, copy->path().c_str(), "image/pwg-raster");
}

// Every print request passes here before PAPPL reads its document: the
// client's host goes into the job's attributes, and a document announced
// larger than the limit is refused before it is read.
http_status_t admitRequest(pappl_client_t* client, const char*, gid_t, void* data) {
    GatewayApp& app = *static_cast<GatewayApp*>(data);
    ipp_op_t op = papplClientGetOperation(client);
    if (op == IPP_OP_PRINT_JOB || op == IPP_OP_SEND_DOCUMENT) {
        off_t length = httpGetLength2(papplClientGetHTTP(client));
        if (length > 0 && static_cast<uint64_t>(length) > app.options.maxDocumentBytes + 65536)
            return HTTP_STATUS_REQUEST_TOO_LARGE;
    }
    if (op == IPP_OP_PRINT_JOB || op == IPP_OP_CREATE_JOB) {
        ipp_t* request = papplClientGetRequest(client);
        if (ipp_attribute_t* old = ippFindAttribute(request, kHostAttribute, IPP_TAG_ZERO)) ippDeleteAttribute(request, old);
        const char* host = papplClientGetHostName(client);
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_NAME, kHostAttribute, nullptr, host ? host : "");
    }
    return HTTP_STATUS_CONTINUE;
}

bool deviceOpen(pappl_device_t*, const char*, const char*) { return true; }
void deviceClose(pappl_device_t*) {}
ssize_t deviceRead(pappl_device_t*, void*, size_t) { return 0; }
ssize_t deviceWrite(pappl_device_t*, const void*, size_t bytes) { return static_cast<ssize_t>(bytes); }
pappl_preason_t deviceStatus(pappl_device_t*) { return PAPPL_PREASON_NONE; }

bool describePrinter(pappl_system_t*, const char*, const char*, const char*, pappl_pr_driver_data_t* d, ipp_t**,
                     void*) {
    d->format = kForwardFormat;
    strncpy(d->make_and_model, "RPQ Gateway", sizeof(d->make_and_model) - 1);
    d->ppm = 60;
    d->ppm_color = 60;
    d->kind = PAPPL_KIND_DOCUMENT;
    d->orient_default = IPP_ORIENT_PORTRAIT;
    d->color_supported = static_cast<pappl_color_mode_t>(PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_COLOR |
                                                         PAPPL_COLOR_MODE_MONOCHROME);
    d->color_default = PAPPL_COLOR_MODE_AUTO;
    d->content_default = PAPPL_CONTENT_AUTO;
    d->quality_default = IPP_QUALITY_NORMAL;
    d->scaling_default = PAPPL_SCALING_AUTO;
    d->raster_types = static_cast<pappl_raster_type_t>(PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_SGRAY_8 |
                                                       PAPPL_PWG_RASTER_TYPE_SRGB_8);
    d->duplex = PAPPL_DUPLEX_NORMAL;
    d->sides_supported = static_cast<pappl_sides_t>(PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE |
                                                    PAPPL_SIDES_TWO_SIDED_SHORT_EDGE);
    d->sides_default = PAPPL_SIDES_ONE_SIDED;
    d->num_resolution = 1;
    d->x_resolution[0] = d->y_resolution[0] = 300;
    d->x_default = d->y_default = 300;
    d->left_right = 423;
    d->bottom_top = 423;
    static const char* kMedia[] = {"iso_a4_210x297mm", "na_letter_8.5x11in", "na_legal_8.5x14in", "iso_a5_148x210mm"};
    d->num_media = 4;
    for (int i = 0; i < 4; ++i) d->media[i] = kMedia[i];
    d->num_source = 1;
    d->source[0] = "main";
    d->num_type = 1;
    d->type[0] = "stationery";
    pappl_media_col_t& m = d->media_default;
    strncpy(m.size_name, "iso_a4_210x297mm", sizeof(m.size_name) - 1);
    m.size_width = 21000;
    m.size_length = 29700;
    m.left_margin = m.right_margin = m.top_margin = m.bottom_margin = 423;
    strncpy(m.source, "main", sizeof(m.source) - 1);
    strncpy(m.type, "stationery", sizeof(m.type) - 1);
    d->media_ready[0] = m;
    // PDF, JPEG, PNG and raw bytes reach the forwarding filter, the printer's
    // own format the print-file callback, PWG raster and URF the raster ones.
    d->printfile_cb = [](pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
        return forwardJob(job, device, &theApp);
    };
    d->rstartjob_cb = rasterStart;
    d->rstartpage_cb = rasterPage;
    d->rwriteline_cb = rasterLine;
    d->rendpage_cb = [](pappl_job_t*, pappl_pr_options_t*, pappl_device_t*, unsigned) { return true; };
    d->rendjob_cb = rasterEnd;
    return true;
}

void machineDomain(const GatewayOptions& options, GatewayApp& app) {
    if (!options.domain.empty()) {
        app.domain = fromUtf8(options.domain);
        app.domainKind = 1;
        return;
    }
    char host[256] = {};
    gethostname(host, sizeof(host) - 1);
    std::string fqdn = host;
    addrinfo hints = {};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* info = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &info) == 0 && info) {
        if (info->ai_canonname) fqdn = info->ai_canonname;
        freeaddrinfo(info);
    }
    size_t dot = fqdn.find('.');
    if (dot != std::string::npos && dot + 1 < fqdn.size()) {
        app.domain = fromUtf8(fqdn.substr(dot + 1));
        app.domainKind = 1;
    } else {
        app.domain = u"WORKGROUP";
        app.domainKind = 2;
    }
}

std::vector<uint8_t> readMachineId() {
    std::ifstream in("/etc/machine-id");
    std::string id;
    std::getline(in, id);
    if (id.size() > 64) id.resize(64);
    return std::vector<uint8_t>(id.begin(), id.end());
}

bool makePrivateDir(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st = {};
    // A link or another's folder is not ours to keep jobs in.
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & 0077) == 0;
}

}  // namespace

int serveGateway(const GatewayOptions& options) {
    GatewayApp& app = theApp;
    app.options = options;
    app.jobsDir = options.stateDir + "/jobs";
    std::string spool = options.stateDir + "/spool";
    if (!makePrivateDir(options.stateDir) || !makePrivateDir(app.jobsDir) || !makePrivateDir(spool)) {
        fprintf(stderr, "rpqgate: %s must be a folder of this user's that only it can read (mode 700), not a link\n",
                options.stateDir.c_str());
        return 1;
    }
    if (!initExchanges()) {
        fprintf(stderr, "rpqgate: HTTP could not be set up\n");
        return 1;
    }
    for (const PrinterTarget& t : options.printers) app.targets[t.name] = t;
    app.serials.reset(new CSerials(options.stateDir));
    machineDomain(options, app);
    app.machineId = readMachineId();

    pappl_soptions_t soptions = static_cast<pappl_soptions_t>(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE);
    pappl_system_t* system = papplSystemCreate(soptions, "RPQ Gateway", options.port, "_print,_universal", spool.c_str(),
                                               "-", logLevelOf(options.logLevel),
                                               options.authService.empty() ? nullptr : options.authService.c_str(), false);
    if (!system) {
        fprintf(stderr, "rpqgate: the IPP system could not be created\n");
        return 1;
    }
    app.system = system;
    if (!papplSystemAddListeners(system, options.listen == "*" ? nullptr : options.listen.c_str())) {
        fprintf(stderr, "rpqgate: cannot listen on %s port %u\n", options.listen.c_str(), options.port);
        return 1;
    }
    // The version clients and the web pages show (printer-firmware-string-version).
    pappl_version_t version = {};
    strncpy(version.name, "rpqgate", sizeof(version.name) - 1);
    strncpy(version.sversion, RPQ_VERSION, sizeof(version.sversion) - 1);
    sscanf(RPQ_VERSION, "%hu.%hu.%hu.%hu", &version.version[0], &version.version[1], &version.version[2],
           &version.version[3]);
    papplSystemSetVersions(system, 1, &version);
    if (!options.dnssd) papplSystemSetDNSSDName(system, nullptr);
    // With PAM, PAPPL authenticates; the client's host then stays unknown.
    if (options.authService.empty()) papplSystemSetAuthCallback(system, "Basic", admitRequest, &app);
    papplDeviceAddScheme("rpq", PAPPL_DEVTYPE_CUSTOM_NETWORK, nullptr, deviceOpen, deviceClose, deviceRead, deviceWrite,
                         deviceStatus, nullptr);
    static pappl_pr_driver_t drivers[] = {{"rpq-forward", "RPQ Gateway", "MFG:RPQ;MDL:Gateway;", nullptr}};
    papplSystemSetPrinterDrivers(system, 1, drivers, nullptr, nullptr, describePrinter, &app);
    for (const auto& f : kFormats) papplSystemAddMIMEFilter(system, f.first, kForwardFormat, forwardJob, &app);
    int id = 0;
    for (const PrinterTarget& t : options.printers) {
        std::string uri = "rpq://" + t.name;
        pappl_printer_t* printer = papplPrinterCreate(system, ++id, t.name.c_str(), "rpq-forward",
                                                      "MFG:RPQ;MDL:Gateway;", uri.c_str());
        if (!printer) {
            fprintf(stderr, "rpqgate: printer %s could not be created\n", t.name.c_str());
            return 1;
        }
        papplPrinterSetMaxCompletedJobs(printer, 100);
        papplPrinterSetMaxActiveJobs(printer, 0);
        if (!options.printGroup.empty()) papplPrinterSetPrintGroup(printer, options.printGroup.c_str());
        if (!options.dnssd) papplPrinterSetDNSSDName(printer, nullptr);
    }
    // Raster pages a killed run was writing back: their jobs never started sending.
    if (DIR* dir = opendir(app.jobsDir.c_str())) {
        while (dirent* entry = readdir(dir))
            if (strncmp(entry->d_name, "raster-", 7) == 0) unlinkat(dirfd(dir), entry->d_name, 0);
        closedir(dir);
    }
    std::vector<GatewayJob> left = pendingJobs(app.jobsDir);
    if (!left.empty()) {
        papplLog(system, PAPPL_LOGLEVEL_INFO, "%u job(s) of an earlier run are sent again.",
                 static_cast<unsigned>(left.size()));
        std::thread([left]() mutable {
            // Their clients cannot be told any more: a job whose server is not
            // there stays in the journal and is tried again while rpqgate runs.
            while (!left.empty()) {
                std::vector<GatewayJob> again;
                for (const GatewayJob& job : left) {
                    auto target = app.targets.find(job.printer);
                    CRecoveryTeller teller(app.system, job.uid);
                    if (target == app.targets.end()) {
                        teller.log(3, "Printer " + job.printer + " is gone; the job stays in " + app.jobsDir);
                        continue;
                    }
                    TransferResult result = runGatewayTransfer(target->second, job, *app.serials, teller, app.clock);
                    if (!result.serverFound && result.outcome == JobOutcome::Failed) {
                        teller.log(2, result.reason + "; the job stays in the journal and is tried again in " +
                                          std::to_string(app.options.resendSeconds) + " s");
                        again.push_back(job);
                        continue;
                    }
                    if (result.outcome != JobOutcome::Confirmed)
                        teller.log(3, "Job of " + toUtf8(job.user) + " could not be sent again: " + result.reason);
                    forgetJob(job);
                }
                left.swap(again);
                if (!left.empty()) std::this_thread::sleep_for(std::chrono::seconds(app.options.resendSeconds));
            }
        }).detach();
    }
    papplSystemRun(system);
    papplSystemDelete(system);
    fflush(nullptr);
    _exit(0);  // a recovery thread may still be sending; its job stays in the journal
}
