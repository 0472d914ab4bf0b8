// TEXT playback: the job's bytes printed line by line in a fixed-pitch font.
#include <string>
#include <vector>
#include "base/platform.h"
#include "base/printerdata.h"
#include "base/unique.h"
#include "printproc/playback/playback.h"
#include "printproc/playback/textlayout.h"

namespace {
constexpr DWORD kReadBuffer = 0x40000;

// A printer data value that is there and non-zero.
bool printerFlag(HANDLE printer, const wchar_t* name) {
    DWORD value = 0;
    return readPrinterDword(printer, name, &value) && value != 0;
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
