// TEXT playback: the job's bytes printed line by line in a fixed-pitch font.
#include <string>
#include <vector>
#include "base/platform.h"
#include "base/printerdata.h"
#include "base/unique.h"
#include "printproc/playback/playback.h"

namespace {
constexpr DWORD kReadBuffer = 0x40000;

// A printer data value that is there and non-zero.
bool printerFlag(HANDLE printer, const wchar_t* name) {
    DWORD value = 0;
    return readPrinterDword(printer, name, &value) && value != 0;
}

// Lays the text out and draws it on the DC.
class CTextPrinter {
public:
    CTextPrinter(HDC dc, int width, int height, int perLine, int perPage, DWORD tabSize)
        : m_dc(dc), m_width(width), m_height(height), m_perLine(perLine), m_perPage(perPage),
          m_tabSize(tabSize ? tabSize : 8) {}

    void setTranslation(bool lf, bool cr) {
        m_translateLF = lf;
        m_translateCR = cr;
    }
    void startCopy() {
        m_column = m_line = 0;
        m_afterTranslatedCR = m_pageDue = false;
        m_lead = 0;
        m_text.clear();
    }
    bool print(const char* data, size_t size);
    bool finishCopy() { return flush(); }

private:
    bool flush();
    bool newLine() {
        if (!flush()) return false;
        ++m_line;
        return true;
    }
    bool put(char c);
    bool startText();

    HDC m_dc;
    int m_width, m_height, m_perLine, m_perPage;
    DWORD m_tabSize;
    bool m_translateLF = true, m_translateCR = true;
    int m_column = 0, m_line = 0, m_textColumn = 0;
    bool m_afterTranslatedCR = false, m_pageDue = false;
    char m_lead = 0;  // a double-byte lead byte waiting for its trail byte
    std::string m_text;
};

// A new page when a form feed asked for one or the page is full.
bool CTextPrinter::startText() {
    if (m_pageDue) {
        m_pageDue = false;
        m_line = 0;
        if (EndPage(m_dc) <= 0 || StartPage(m_dc) <= 0) return false;
    }
    while (m_line >= m_perPage) {
        if (EndPage(m_dc) <= 0 || StartPage(m_dc) <= 0) return false;
        m_line -= m_perPage;
    }
    return true;
}

bool CTextPrinter::flush() {
    if (m_text.empty()) return true;
    if (!startText()) return false;
    bool ok = TextOutA(m_dc, m_textColumn * m_width, m_line * m_height, m_text.data(), static_cast<int>(m_text.size()));
    m_text.clear();
    return ok;
}

bool CTextPrinter::put(char c) {
    if (m_column >= m_perLine) {  // a full line wraps
        if (!newLine()) return false;
        m_column = 0;
    }
    if (m_text.empty()) m_textColumn = m_column;
    m_text += c;
    ++m_column;
    return true;
}

bool CTextPrinter::print(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (m_lead) {  // the pair goes whole onto one line
            char lead = m_lead;
            m_lead = 0;
            if (m_column == m_perLine - 1) {
                if (!newLine()) return false;
                m_column = 0;
            }
            if (!put(lead) || !put(c)) return false;
            continue;
        }
        bool afterCR = m_afterTranslatedCR;
        m_afterTranslatedCR = false;
        switch (c) {
        case '\t': {
            DWORD spaces = m_tabSize - static_cast<DWORD>(m_column) % m_tabSize;
            for (DWORD k = 0; k < spaces; ++k)
                if (!put(' ')) return false;
            break;
        }
        case '\n':
            if (afterCR) break;  // the CR fed the line already
            if (!newLine()) return false;
            if (m_translateLF) m_column = 0;
            break;
        case '\r':
            if (!flush()) return false;
            m_column = 0;
            if (m_translateCR) {
                ++m_line;
                m_afterTranslatedCR = true;
            }
            break;
        case '\f':
            if (!flush()) return false;
            m_column = 0;
            m_pageDue = true;
            break;
        default:
            if (IsDBCSLeadByte(static_cast<BYTE>(c))) m_lead = c;  // its trail byte may come with the next read
            else if (!put(c)) return false;
            break;
        }
    }
    return true;
}

// The font for the ANSI code page, selected while the object lives.
class CTextFont {
public:
    explicit CTextFont(HDC dc) : m_dc(dc) {
        CHARSETINFO charset = {};
        if (!TranslateCharsetInfo(reinterpret_cast<DWORD*>(static_cast<ULONG_PTR>(GetACP())), &charset,
                                  TCI_SRCCODEPAGE))
            return;
        int height = 0;
        TEXTMETRICW current = {};
        // Wine's PostScript driver writes an unusable font for height 0.
        if (runningUnderWine() && GetTextMetricsW(dc, &current)) height = current.tmHeight;
        m_font.reset(CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, charset.ciCharset, OUT_DEFAULT_PRECIS,
                                 CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, nullptr));
        if (m_font) m_previous = SelectObject(dc, m_font.get());
    }
    ~CTextFont() {
        if (m_previous) SelectObject(m_dc, m_previous);
    }

private:
    HDC m_dc;
    unique_hfont m_font;
    HGDIOBJ m_previous = nullptr;
};

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}
}  // namespace

bool printTextJob(JobContext* ctx, LPWSTR jobName) {
    HDC dc = ctx->dc;
    if (!dc) return fail(ERROR_INVALID_HANDLE);
    CTextFont font(dc);
    TEXTMETRICW metrics = {};
    if (!GetTextMetricsW(dc, &metrics)) return false;
    int width = metrics.tmAveCharWidth, height = metrics.tmHeight + metrics.tmExternalLeading;
    int perLine = width > 0 ? GetDeviceCaps(dc, DESKTOPHORZRES) / width : 0;
    int perPage = height > 0 ? GetDeviceCaps(dc, DESKTOPVERTRES) / height : 0;
    if (width <= 0 || height <= 0 || perLine <= 0 || perPage <= 0) return fail(ERROR_INVALID_PARAMETER);
    CTextPrinter printer(dc, width, height, perLine, perPage, ctx->tabSize);
    std::vector<char> buffer(kReadBuffer);
    DOCINFOW info = {sizeof(info)};
    info.lpszDocName = ctx->documentName;
    info.lpszOutput = ctx->outputFile;
    if (StartDocW(dc, &info) <= 0) return false;
    int oldBackground = 0;
    bool ok = true, aborted = false;
    for (DWORD copy = 0; ok && !aborted && copy < ctx->copies; ++copy) {
        unique_printer job, settings;
        if (!OpenPrinterW(jobName, job.put(), nullptr)) {
            ok = false;
            break;
        }
        bool lf = true, cr = true;
        if (OpenPrinterW(playbackPrinterName(ctx), settings.put(), nullptr)) {
            if (printerFlag(settings.get(), L"Winprint_TextNoTranslation")) lf = cr = false;
            if (printerFlag(settings.get(), L"Winprint_TextNoCRTranslation")) {
                cr = false;
                if (printerFlag(settings.get(), L"Transparency") && !oldBackground)
                    oldBackground = SetBkMode(dc, TRANSPARENT);
            }
        }
        printer.setTranslation(lf, cr);
        printer.startCopy();
        if (StartPage(dc) <= 0) {
            ok = false;
            break;
        }
        for (DWORD got = 0;;) {
            waitWhilePaused(ctx);
            if (isAborted(ctx)) {
                aborted = true;
                break;
            }
            if (!ReadPrinter(job.get(), buffer.data(), kReadBuffer, &got)) {
                ok = false;
                break;
            }
            if (got == 0) break;
            if (!printer.print(buffer.data(), got)) {
                ok = false;
                break;
            }
        }
        if (ok && !aborted) ok = printer.finishCopy() && EndPage(dc) > 0;
    }
    DWORD error = GetLastError();
    if (ok && !aborted) ok = EndDoc(dc) > 0;
    else AbortDoc(dc);
    if (oldBackground) SetBkMode(dc, oldBackground);
    if (!ok) SetLastError(error);
    return ok;
}
