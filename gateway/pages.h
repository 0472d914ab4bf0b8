// Pages of a document where its format tells them: PDF (qpdf) and PWG
// raster (CUPS's raster reader); 0 for any other format or a document the
// readers refuse.
#pragma once
#include <cstdint>
#include <string>

uint32_t countPages(const std::string& path, const std::string& format);
