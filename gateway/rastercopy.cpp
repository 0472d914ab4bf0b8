#include "gateway/rastercopy.h"
#include <fcntl.h>
#include <unistd.h>
#include <vector>

CRasterCopy* CRasterCopy::start(const std::string& dir, std::string* why) {
    std::vector<char> name(dir.begin(), dir.end());
    const char kTemplate[] = "/raster-XXXXXX";
    name.insert(name.end(), kTemplate, kTemplate + sizeof(kTemplate));
    int fd = mkstemp(name.data());
    if (fd < 0) {
        *why = "the raster document could not be kept in " + dir;
        return nullptr;
    }
    CRasterCopy* copy = new CRasterCopy();
    copy->m_fd = fd;
    copy->m_path = name.data();
    copy->m_raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
    if (!copy->m_raster) {
        delete copy;
        *why = "the raster document could not be written";
        return nullptr;
    }
    return copy;
}

CRasterCopy::~CRasterCopy() {
    if (m_raster) cupsRasterClose(m_raster);
    if (m_fd >= 0) close(m_fd);
    if (!m_path.empty()) unlink(m_path.c_str());  // forwarded or given up: the journal has its own name
}

bool CRasterCopy::page(const cups_page_header2_t& header) {
    cups_page_header2_t copy = header;
    if (!cupsRasterWriteHeader2(m_raster, &copy)) m_failed = true;
    return !m_failed;
}

bool CRasterCopy::line(const unsigned char* pixels, unsigned length) {
    if (cupsRasterWritePixels(m_raster, const_cast<unsigned char*>(pixels), length) != length) m_failed = true;
    return !m_failed;
}

bool CRasterCopy::finish() {
    cupsRasterClose(m_raster);
    m_raster = nullptr;
    bool ok = !m_failed && fsync(m_fd) == 0;
    close(m_fd);
    m_fd = -1;
    return ok;
}
