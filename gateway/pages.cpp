#include "gateway/pages.h"
#include <cups/raster.h>
#include <fcntl.h>
#include <qpdf/qpdf-c.h>
#include <unistd.h>
#include <vector>

namespace {

uint32_t pdfPages(const std::string& path) {
    qpdf_data pdf = qpdf_init();
    qpdf_silence_errors(pdf);
    qpdf_set_suppress_warnings(pdf, QPDF_TRUE);
    int pages = 0;
    if ((qpdf_read(pdf, path.c_str(), nullptr) & QPDF_ERRORS) == 0) pages = qpdf_get_num_pages(pdf);
    qpdf_cleanup(&pdf);
    return pages > 0 ? static_cast<uint32_t>(pages) : 0;
}

uint32_t rasterPages(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    uint32_t pages = 0;
    if (raster) {
        cups_page_header2_t header;
        std::vector<unsigned char> line;
        while (cupsRasterReadHeader2(raster, &header)) {
            if (header.cupsBytesPerLine == 0 || header.cupsBytesPerLine > (1u << 24)) break;
            line.resize(header.cupsBytesPerLine);
            unsigned y = 0;
            for (; y < header.cupsHeight; ++y)
                if (cupsRasterReadPixels(raster, line.data(), header.cupsBytesPerLine) != header.cupsBytesPerLine) break;
            if (y < header.cupsHeight) break;  // a page cut short is not counted
            ++pages;
        }
        cupsRasterClose(raster);
    }
    close(fd);
    return pages;
}

}  // namespace

uint32_t countPages(const std::string& path, const std::string& format) {
    if (format == "application/pdf") return pdfPages(path);
    if (format == "image/pwg-raster") return rasterPages(path);
    if (format == "image/jpeg") return 1;
    return 0;
}
