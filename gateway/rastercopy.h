// A raster job's pages, as PAPPL reads them from the client, written back
// into a PWG raster file of the journal's folder.
#pragma once
#include <cups/raster.h>
#include <string>

class CRasterCopy {
public:
    // A new file in dir; nullptr with a reason.
    static CRasterCopy* start(const std::string& dir, std::string* why);
    ~CRasterCopy();
    bool page(const cups_page_header2_t& header);
    bool line(const unsigned char* pixels, unsigned length);
    // Closes the file; false when anything could not be written.
    bool finish();
    const std::string& path() const { return m_path; }

private:
    CRasterCopy() = default;
    std::string m_path;
    int m_fd = -1;
    cups_raster_t* m_raster = nullptr;
    bool m_failed = false;
};
