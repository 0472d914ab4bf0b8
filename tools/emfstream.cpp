#include "tools/emfstream.h"
#include <cstring>
#include "base/spoolformat.h"
#include "base/unique.h"

namespace {
constexpr int kPointSize = 10;

void append(std::vector<BYTE>& out, const void* data, size_t size) {
    auto bytes = static_cast<const BYTE*>(data);
    out.insert(out.end(), bytes, bytes + size);
}
void appendDword(std::vector<BYTE>& out, DWORD value) { append(out, &value, sizeof(value)); }
void pad(std::vector<BYTE>& out) { out.resize((out.size() + 3) & ~size_t(3), 0); }

// Appends a record; returns where it starts.
size_t appendRecord(std::vector<BYTE>& out, DWORD id, const void* data, size_t size) {
    size_t start = out.size();
    appendDword(out, id);
    appendDword(out, static_cast<DWORD>(size));
    append(out, data, size);
    pad(out);
    return start;
}
}  // namespace

std::vector<std::string> splitPages(const std::string& text, size_t linesPerPage) {
    std::vector<std::string> pages(1);
    size_t lines = 0;
    for (char c : text) {
        if (c == '\f') {
            pages.emplace_back();
            lines = 0;
            continue;
        }
        if (lines == linesPerPage) {
            pages.emplace_back();
            lines = 0;
        }
        pages.back() += c;
        if (c == '\n') ++lines;
    }
    if (pages.size() > 1 && pages.back().empty()) pages.pop_back();
    return pages;
}

std::vector<BYTE> drawPage(HDC printerDC, const std::string& page) {
    RECT frame = {0, 0, GetDeviceCaps(printerDC, HORZSIZE) * 100, GetDeviceCaps(printerDC, VERTSIZE) * 100};
    HDC dc = CreateEnhMetaFileW(printerDC, nullptr, &frame, L"rpqprint\0page\0");
    if (!dc) return {};
    int dpi = GetDeviceCaps(printerDC, LOGPIXELSY);
    unique_hfont font(CreateFontW(-MulDiv(kPointSize, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                  OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN,
                                  L"Courier New"));
    HGDIOBJ previous = font ? SelectObject(dc, font.get()) : nullptr;
    TEXTMETRICW metrics = {};
    GetTextMetricsW(dc, &metrics);
    int lineHeight = metrics.tmHeight + metrics.tmExternalLeading;
    int x = GetDeviceCaps(printerDC, LOGPIXELSX) / 2, y = dpi / 2;
    size_t start = 0;
    while (start < page.size()) {
        size_t end = page.find('\n', start);
        if (end == std::string::npos) end = page.size();
        std::string line = page.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) TextOutA(dc, x, y, line.data(), static_cast<int>(line.size()));
        y += lineHeight;
        start = end + 1;
    }
    if (previous) SelectObject(dc, previous);
    unique_hemf metafile(CloseEnhMetaFile(dc));
    if (!metafile) return {};
    UINT size = GetEnhMetaFileBits(metafile.get(), 0, nullptr);
    std::vector<BYTE> bytes(size);
    if (size == 0 || GetEnhMetaFileBits(metafile.get(), size, bytes.data()) != size) return {};
    return bytes;
}

std::vector<BYTE> spoolStream(const std::wstring& documentName, const DEVMODEW* devMode,
                              const std::vector<std::vector<BYTE>>& pages,
                              const std::vector<const DEVMODEW*>& pageModes) {
    std::vector<BYTE> out;
    appendDword(out, kSpoolStreamVersion);
    appendDword(out, 0);   // header size, set below
    appendDword(out, 16);  // the document name follows the header's fields
    appendDword(out, 0);   // no output name
    append(out, documentName.c_str(), (documentName.size() + 1) * sizeof(wchar_t));
    pad(out);
    DWORD headerSize = static_cast<DWORD>(out.size());
    memcpy(out.data() + 4, &headerSize, sizeof(headerSize));
    if (devMode) appendRecord(out, kRecordDevmode, devMode, devMode->dmSize + devMode->dmDriverExtra);
    for (size_t i = 0; i < pages.size(); ++i) {
        const std::vector<BYTE>& page = pages[i];
        if (i < pageModes.size() && pageModes[i])
            appendRecord(out, kRecordDevmode, pageModes[i], pageModes[i]->dmSize + pageModes[i]->dmDriverExtra);
        size_t data = appendRecord(out, kRecordMetafileData, page.data(), page.size());
        ULONGLONG back = out.size() - data;
        appendRecord(out, kRecordMetafileExt, &back, sizeof(back));
    }
    return out;
}
