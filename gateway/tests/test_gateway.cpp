// The gateway's own parsing: command line, configuration file, journal
// records and text.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include "gateway/journal.h"
#include "gateway/options.h"
#include "gateway/text.h"

namespace {

std::string tempDir() {
    char path[] = "/tmp/rpqgate-test-XXXXXX";
    return mkdtemp(path);
}

TEST(GatewayOptions, TransferAddresses) {
    PrinterTarget t;
    std::string why;
    ASSERT_TRUE(parseTransferUrl("https://flow.example:8443/FDXS_Transfer", t, &why)) << why;
    EXPECT_TRUE(t.secure);
    EXPECT_EQ(t.server, "flow.example");
    EXPECT_EQ(t.port, 8443);
    EXPECT_EQ(t.transferPath, "/FDXS_Transfer");
    ASSERT_TRUE(parseTransferUrl("http://[::1]:9000/a/FDXS_Transfer", t, &why)) << why;
    EXPECT_EQ(t.server, "::1");
    EXPECT_EQ(t.port, 9000);
    EXPECT_EQ(t.transferPath, "/a/FDXS_Transfer");
    ASSERT_TRUE(parseTransferUrl("http://flow/FDXS_Transfer", t, &why));
    EXPECT_EQ(t.port, 80);
    for (const char* bad : {"ftp://flow/FDXS_Transfer", "http://flow:0/x", "http://flow:65536/x", "http://flow:80",
                            "http://flow:80/", "http://:80/x", "http://user@flow/x", "http://flow:8a/x",
                            "http://[::1/x", "http://flow/x y"}) {
        std::string reason;
        EXPECT_FALSE(parseTransferUrl(bad, t, &reason)) << bad;
        EXPECT_FALSE(reason.empty()) << bad;
    }
}

TEST(GatewayOptions, ServeArgumentsAndConfigFile) {
    std::string dir = tempDir();
    {
        std::ofstream conf(dir + "/rpqgate.conf");
        conf << "# printers of the second floor\n"
                "[office]\n"
                "interaction = yes\n"
                "interaction-action = FDXS_Look\n"
                "url = http://ignored:1/x\n"
                "[lab]\n"
                "url = https://lab.example:8443/FDXS_Transfer\n"
                "accept-all-certificates = yes\n";
    }
    GatewayOptions o;
    std::string why;
    ASSERT_TRUE(parseServeArguments({"--port", "9631", "--state", dir, "--printer", "office=http://127.0.0.1:8080/FDXS_Transfer",
                                     "--no-dnssd", "--max-size", "1000", "--resend-after", "5"},
                                    o, &why))
        << why;
    EXPECT_EQ(o.port, 9631);
    EXPECT_FALSE(o.dnssd);
    EXPECT_EQ(o.maxDocumentBytes, 1000u);
    EXPECT_EQ(o.resendSeconds, 5u);
    ASSERT_EQ(o.printers.size(), 2u);
    EXPECT_EQ(o.printers[0].server, "127.0.0.1");  // the command line's address wins
    EXPECT_TRUE(o.printers[0].interaction);
    EXPECT_EQ(o.printers[0].interactionPath, "/FDXS_Look");
    EXPECT_TRUE(o.printers[1].secure);
    EXPECT_TRUE(o.printers[1].acceptAllCertificates);

    struct Case {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"--printer", "a=http://h:1/x"}, "--state"},
        {{"--state", dir, "--port", "0", "--printer", "a=http://h:1/x"}, "--port"},
        {{"--state", dir, "--printer", "a b=http://h:1/x"}, "printer name"},
        {{"--state", dir, "--printer", "a=http://h:1/x", "--printer", "a=http://h:2/x"}, "twice"},
        {{"--state", dir, "--bogus"}, "unknown option"},
        {{"--state", dir, "--printer"}, "wants a value"},
        {{"--state", dir, "--printer", "a=http://h:1/x", "--max-size", "-5"}, "--max-size"},
        {{"--state", dir, "--printer", "a=http://h:1/x", "--resend-after", "0"}, "--resend-after"},
    };
    for (const Case& c : cases) {
        GatewayOptions bad;
        std::string reason;
        EXPECT_FALSE(parseServeArguments(c.args, bad, &reason));
        EXPECT_NE(reason.find(c.says), std::string::npos) << reason;
    }
    {
        std::ofstream conf(dir + "/rpqgate.conf");
        conf << "[office]\nsecure = maybe\n";
    }
    GatewayOptions bad;
    EXPECT_FALSE(parseServeArguments({"--state", dir}, bad, &why));
    EXPECT_NE(why.find("rpqgate.conf:2"), std::string::npos) << why;
    system(("rm -rf " + dir).c_str());
}

TEST(GatewayText, Utf8AndHostNames) {
    std::string text = "J\xc3\xbcrgen \xe6\x97\xa5 \xf0\x9f\x98\x80";
    std::u16string wide = fromUtf8(text);
    EXPECT_EQ(wide, u"J\u00fcrgen \u65e5 \U0001F600");
    EXPECT_EQ(toUtf8(wide), text);
    // Broken, overlong and surrogate encodings become U+FFFD, never lost bytes of the rest.
    EXPECT_EQ(fromUtf8("a\xff" "b\xc0\xaf" "c\xed\xa0\x80" "d"), u"a\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFD\uFFFDd");
    EXPECT_EQ(fromUtf8("\xe6\x97"), u"\uFFFD\uFFFD");
    EXPECT_EQ(toUtf8(std::u16string(1, char16_t(0xD800))), "\xef\xbf\xbd");
    EXPECT_EQ(hostField("laptop-7.example.com"), "laptop-7");
    EXPECT_EQ(hostField("192.168.0.7"), "192.168.0.7");
    EXPECT_EQ(hostField("fe80::1"), "fe80::1");
    EXPECT_EQ(hostField("../etc"), "UNKNOWN");
    EXPECT_EQ(hostField(""), "UNKNOWN");
}

TEST(GatewayJournal, RecordsRoundTripAndBadOnesAreSetAside) {
    GatewayJob job;
    job.uid = "Ab3dEf7hIj";
    job.printer = "office";
    job.user = u"J\u00fcrgen";
    job.host = u"laptop";
    job.domain = u"example.com";
    job.domainKind = 1;
    job.documentName = u"two\nlines \\ and more";
    job.machineId = {0, 1, 0xfe, 0xff};
    job.pages = 7;
    job.copies = 3;
    GatewayJob back;
    ASSERT_TRUE(parseRecord(recordText(job), back));
    EXPECT_EQ(back.uid, job.uid);
    EXPECT_EQ(back.user, job.user);
    EXPECT_EQ(back.documentName, job.documentName);
    EXPECT_EQ(back.machineId, job.machineId);
    EXPECT_EQ(back.pages, 7u);
    EXPECT_EQ(back.copies, 3u);
    std::string text = recordText(job);
    GatewayJob cut;
    EXPECT_FALSE(parseRecord(text.substr(0, text.size() - 6), cut));  // no end line: written only in part
    EXPECT_FALSE(parseRecord("uid=../../etc\nprinter=x\nend=1\n", cut));
    EXPECT_FALSE(parseRecord(text + "pages=-1\n", cut));
    EXPECT_FALSE(parseRecord(text + "document=a\\q\n", cut));

    std::string dir = tempDir();
    std::string source = dir + "/source.pdf";
    { std::ofstream(source) << "%PDF-1.4 body"; }
    std::string why;
    ASSERT_TRUE(journalJob(dir, source, job, &why)) << why;
    { std::ofstream(dir + "/zzzzzzzzzz.job") << "uid=zzzzzzzzzz\n"; }  // a record cut short
    std::vector<GatewayJob> left = pendingJobs(dir);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].uid, job.uid);
    std::ifstream kept(left[0].documentPath);
    std::string body((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    EXPECT_EQ(body, "%PDF-1.4 body");
    EXPECT_EQ(access((dir + "/zzzzzzzzzz.job.bad").c_str(), F_OK), 0);
    forgetJob(left[0]);
    EXPECT_TRUE(pendingJobs(dir).empty());
    EXPECT_NE(access((dir + "/" + job.uid + ".doc").c_str(), F_OK), 0);
    system(("rm -rf " + dir).c_str());
}

}  // namespace

#include <cups/raster.h>
#include <fcntl.h>
#include "gateway/pages.h"
#include "gateway/rastercopy.h"

namespace {

// Every page's header and lines of a PWG raster file.
std::vector<std::string> rasterPages(const std::string& path) {
    std::vector<std::string> pages;
    int fd = open(path.c_str(), O_RDONLY);
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t h;
    while (r && cupsRasterReadHeader2(r, &h)) {
        std::string page(reinterpret_cast<const char*>(&h.cupsWidth), sizeof(unsigned) * 4);
        std::vector<unsigned char> line(h.cupsBytesPerLine);
        for (unsigned y = 0; y < h.cupsHeight; ++y) {
            cupsRasterReadPixels(r, line.data(), h.cupsBytesPerLine);
            page.append(reinterpret_cast<const char*>(line.data()), line.size());
        }
        pages.push_back(page);
    }
    if (r) cupsRasterClose(r);
    close(fd);
    return pages;
}

TEST(GatewayRaster, PagesWrittenBackReadTheSameAndAreCounted) {
    std::string dir = tempDir();
    std::string source = dir + "/two.pwg";
    ASSERT_EQ(system(("gs -q -sDEVICE=pwgraster -r36 -o " + source +
                      " -c '/Helvetica findfont 24 scalefont setfont 72 700 moveto (One) show showpage "
                      "72 600 moveto (Two) show showpage' >/dev/null 2>&1").c_str()), 0);
    std::string why;
    std::unique_ptr<CRasterCopy> copy(CRasterCopy::start(dir, &why));
    ASSERT_TRUE(copy) << why;
    int fd = open(source.c_str(), O_RDONLY);
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t h;
    while (cupsRasterReadHeader2(r, &h)) {  // as PAPPL hands them over
        ASSERT_TRUE(copy->page(h));
        std::vector<unsigned char> line(h.cupsBytesPerLine);
        for (unsigned y = 0; y < h.cupsHeight; ++y) {
            cupsRasterReadPixels(r, line.data(), h.cupsBytesPerLine);
            ASSERT_TRUE(copy->line(line.data(), h.cupsBytesPerLine));
        }
    }
    cupsRasterClose(r);
    close(fd);
    ASSERT_TRUE(copy->finish());
    std::vector<std::string> before = rasterPages(source), after = rasterPages(copy->path());
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(after, before);
    EXPECT_EQ(countPages(copy->path(), "image/pwg-raster"), 2u);
    std::string written = copy->path();
    copy.reset();
    EXPECT_NE(access(written.c_str(), F_OK), 0);  // the copy's own name goes with it
    system(("rm -rf " + dir).c_str());
}

}  // namespace
