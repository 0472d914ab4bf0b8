// EMF playback: the job's pages played through the spool-file functions,
// laid out n-up, as a booklet or in reverse, with copies and collation.
#include "printproc/playback/playback.h"
#include <algorithm>
#include <cstring>
#include <vector>
#include "base/devmode.h"
#include "base/printerdata.h"
#include "base/unique.h"
#include "printproc/playback/emflayout.h"
#include "printproc/playback/jobattrib.h"
#include "printproc/playback/spoolapi.h"

namespace {
constexpr DWORD kOrderReverse = 0x1;
constexpr DWORD kOrderBooklet = 0x2;
constexpr DWORD kDuplexSwapSides = 0x1;
constexpr DWORD kDuplexNoBlanks = 0x2;
constexpr DWORD kUncounted = 0xFFFFFFFF;
constexpr DWORD kBorderPrint = 0;  // the system's BORDER_PRINT (NO_BORDER_PRINT is 1)

using DevmodeBytes = std::vector<BYTE>;

DEVMODEW* modeOf(DevmodeBytes& bytes) { return reinterpret_cast<DEVMODEW*>(bytes.data()); }
bool validMode(const DEVMODEW* mode) { return isUsableDevmode(mode); }
DevmodeBytes copyMode(const DEVMODEW* mode) {
    auto raw = reinterpret_cast<const BYTE*>(mode);
    return DevmodeBytes(raw, raw + devmodeBytes(mode));
}

// A 4-byte printer data value of the printer; 0 when it has none.
DWORD printerDword(LPWSTR printerName, const wchar_t* name) {
    unique_printer printer;
    DWORD value = 0;
    if (OpenPrinterW(printerName, printer.put(), nullptr)) readPrinterDword(printer.get(), name, &value);
    return value;
}

JobAttributeQuery attributeQuery(const JobContext* ctx) {
    return ctx->queryAttributes ? ctx->queryAttributes : queryJobAttributes;
}

// Read per job; what it changes is left open.
bool throwDriverException() {
    DWORD value = 0, size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Print", L"ThrowDriverException",
                        RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS &&
           value == 1;
}

struct PlaybackSettings {
    SheetMetrics sheet = {};
    int logPixelsX = 0, logPixelsY = 0;
    DWORD pageCount = kUncounted;
    DWORD pagesPerSide = 1;
    DWORD driverPagesPerSide = 1;
    bool border = false;
    DWORD jobCopies = 1;
    DWORD driverCopies = 1;
    int duplex = 0;  // 0 none, 1 long edge, 2 short edge
    DWORD duplexFlags = 0;
    int direction = 0;
    bool booklet = false;
    bool bindRight = false;
    bool reverse = false;
    bool collate = false;
    double scaleX = 1.0, scaleY = 1.0;
};

double scaleOf(DWORD percent) { return (percent == 0 ? 100 : std::min<DWORD>(percent, 1000)) / 100.0; }

// One EMF job on its spool file.
class CEmfPlayer {
public:
    CEmfPlayer(JobContext* ctx, const SpoolFileApi& api, HANDLE spool, HDC dc, DevmodeBytes& mode,
               PlaybackSettings& settings)
        : m_ctx(ctx), m_api(api), m_spool(spool), m_dc(dc), m_mode(mode), m_settings(settings) {}

    bool play();

private:
    bool cancelled() {
        waitWhilePaused(m_ctx);
        return isAborted(m_ctx);
    }
    void readMetrics();
    bool setCopies(DWORD copies);
    bool applyPageMode(DWORD page);
    bool playCell(DWORD cellIndex, HANDLE handle, bool pageLandscape);
    enum class Side { Played, PlayedLast, Empty };  // PlayedLast: the document ended on this side
    bool playSide(const std::vector<DWORD>& pages, Side* outcome);
    bool blankSide();
    bool sideOf(DWORD index, std::vector<DWORD>* pages) const;
    bool playSequence(bool* stopped);
    bool playUncollated(bool* stopped);
    bool padCopy(DWORD sidesPlayed);
    DWORD sidesPerSheet() const { return m_settings.duplex ? 2 : 1; }
    bool needsBlankBack() const {
        return !((m_settings.duplexFlags & kDuplexNoBlanks) && m_settings.driverCopies >= m_settings.jobCopies);
    }

    JobContext* m_ctx;
    const SpoolFileApi& m_api;
    HANDLE m_spool;
    HDC m_dc;
    DevmodeBytes& m_mode;
    PlaybackSettings& m_settings;
    SideList m_sides;  // fixed order (reverse, booklet); empty for forward order
    DevmodeBytes m_pageMode;  // the last page DEVMODE applied
};

void CEmfPlayer::readMetrics() {
    SheetMetrics& s = m_settings.sheet;
    m_settings.logPixelsX = GetDeviceCaps(m_dc, LOGPIXELSX);
    m_settings.logPixelsY = GetDeviceCaps(m_dc, LOGPIXELSY);
    s.width = GetDeviceCaps(m_dc, DESKTOPHORZRES);
    s.height = GetDeviceCaps(m_dc, DESKTOPVERTRES);
    s.physicalWidth = GetDeviceCaps(m_dc, PHYSICALWIDTH);
    s.physicalHeight = GetDeviceCaps(m_dc, PHYSICALHEIGHT);
    s.offsetX = GetDeviceCaps(m_dc, PHYSICALOFFSETX);
    s.offsetY = GetDeviceCaps(m_dc, PHYSICALOFFSETY);
}

// Announces a batch of copies to the driver; a page's own DEVMODE in force
// keeps its other fields.
bool CEmfPlayer::setCopies(DWORD copies) {
    DEVMODEW* mode = modeOf(m_mode);
    if (static_cast<DWORD>(mode->dmCopies) == copies) return true;
    mode->dmCopies = static_cast<short>(copies);
    mode->dmFields |= DM_COPIES;
    DEVMODEW* current = mode;
    if (!m_pageMode.empty()) {
        current = modeOf(m_pageMode);
        current->dmCopies = mode->dmCopies;
        current->dmFields |= DM_COPIES;
    }
    if (!m_api.resetDCEMF(m_spool, current)) return false;
    readMetrics();
    return true;
}

// A page's own DEVMODE, when it differs from the last one, with the job's
// quality, resolution, copies and collation carried over.
bool CEmfPlayer::applyPageMode(DWORD page) {
    PDEVMODEW current = nullptr, previous = nullptr;
    if (!m_api.getDevmodeForPage(m_spool, page, &current, &previous)) return false;
    if (!validMode(current)) return true;
    DevmodeBytes next = copyMode(current);
    DEVMODEW* mode = modeOf(next);
    const DEVMODEW* job = modeOf(m_mode);
    mode->dmPrintQuality = job->dmPrintQuality;
    mode->dmYResolution = job->dmYResolution;
    mode->dmCopies = job->dmCopies;
    mode->dmFields |= DM_COPIES;
    if (mode->dmSize >= kCollateDevmodeSize && job->dmSize >= kCollateDevmodeSize) mode->dmCollate = job->dmCollate;
    if (next == m_pageMode) return true;
    bool first = m_pageMode.empty();
    m_pageMode = std::move(next);
    if (first && memcmp(m_pageMode.data(), m_mode.data(), std::min(m_pageMode.size(), m_mode.size())) == 0) return true;
    if (!m_api.resetDCEMF(m_spool, modeOf(m_pageMode))) return false;
    readMetrics();
    return true;
}

bool CEmfPlayer::playCell(DWORD cellIndex, HANDLE handle, bool pageLandscape) {
    XFORM saved;
    GetWorldTransform(m_dc, &saved);
    RECT* border = nullptr;
    bool played;
    if (m_settings.pagesPerSide == 1) {
        RECT whole = {0, 0, m_settings.sheet.width, m_settings.sheet.height};
        XFORM scale = {static_cast<FLOAT>(m_settings.scaleX), 0, 0, static_cast<FLOAT>(m_settings.scaleX), 0, 0};
        ModifyWorldTransform(m_dc, &scale, MWT_LEFTMULTIPLY);
        played = m_api.playPageEMF(m_spool, handle, &whole, nullptr, nullptr) != FALSE;
    } else {
        PageCell cell = nupCell(cellIndex, m_settings.pagesPerSide, m_settings.direction, m_settings.sheet, pageLandscape);
        if (cell.turned) ModifyWorldTransform(m_dc, &cell.transform, MWT_LEFTMULTIPLY);
        if (m_settings.border) border = &cell.clip;
        played = m_api.playPageEMF(m_spool, handle, &cell.cell, border, m_settings.border ? &cell.clip : nullptr) != FALSE;
    }
    DWORD error = GetLastError();
    SetWorldTransform(m_dc, &saved);
    SetLastError(error);
    return played;
}

bool CEmfPlayer::playSide(const std::vector<DWORD>& pages, Side* outcome) {
    *outcome = Side::Played;
    std::vector<HANDLE> handles(pages.size(), nullptr);
    size_t found = 0;
    for (size_t i = 0; i < pages.size(); ++i) {
        if (m_settings.pageCount != kUncounted && pages[i] > m_settings.pageCount) continue;  // an empty cell
        DWORD type = 0;
        handles[i] = m_api.getPageHandle(m_spool, pages[i], &type);
        if (handles[i]) {
            ++found;
            continue;
        }
        if (GetLastError() != ERROR_NO_MORE_ITEMS) return false;
        if (m_sides.empty()) {  // forward order: the document ends here
            *outcome = found ? Side::PlayedLast : Side::Empty;
            break;
        }
    }
    if (*outcome == Side::Empty) return true;
    if (!found) return blankSide();
    for (size_t i = 0; i < pages.size(); ++i)
        if (handles[i]) {
            if (!applyPageMode(pages[i])) return false;
            break;
        }
    if (!m_api.startPageEMF(m_spool)) return false;
    short firstOrientation = 0;
    for (size_t i = 0; i < pages.size(); ++i) {
        if (!handles[i]) continue;
        if (cancelled()) break;
        PDEVMODEW current = nullptr, previous = nullptr;
        short orientation = DMORIENT_PORTRAIT;
        if (m_api.getDevmodeForPage(m_spool, pages[i], &current, &previous) && validMode(current) &&
            (current->dmFields & DM_ORIENTATION))
            orientation = current->dmOrientation;
        if (!firstOrientation) firstOrientation = orientation;
        bool turned = orientation != firstOrientation;
        if (turned) readMetrics();
        bool sheetLandscape = m_settings.sheet.width > m_settings.sheet.height;
        if (!playCell(static_cast<DWORD>(i + 1), handles[i], sheetLandscape != turned)) {
            DWORD error = GetLastError();
            m_api.endPageEMF(m_spool, 0);
            SetLastError(error);
            return false;
        }
    }
    return m_api.endPageEMF(m_spool, 0) != FALSE;
}

bool CEmfPlayer::blankSide() { return m_api.startPageEMF(m_spool) && m_api.endPageEMF(m_spool, 0); }

// The pages of side index (0-based) in the playing order; false past the end
// of a fixed order.
bool CEmfPlayer::sideOf(DWORD index, std::vector<DWORD>* pages) const {
    pages->clear();
    if (!m_sides.empty()) {
        if (index >= m_sides.size()) return false;
        *pages = m_sides[index];
        return true;
    }
    for (DWORD k = 1; k <= m_settings.pagesPerSide; ++k) pages->push_back(index * m_settings.pagesPerSide + k);
    return true;
}

// The driver lays out pages itself while we play one per side: every copy
// starts on a new sheet.
bool CEmfPlayer::padCopy(DWORD sidesPlayed) {
    if (m_settings.driverPagesPerSide <= 1 || m_settings.pagesPerSide != 1 || m_settings.jobCopies <= 1) return true;
    DWORD unit = m_settings.driverPagesPerSide * sidesPerSheet();
    for (DWORD n = sidesPlayed; n % unit != 0; ++n)
        if (!blankSide()) return false;
    return true;
}

// The whole document once.
bool CEmfPlayer::playSequence(bool* stopped) {
    std::vector<DWORD> pages;
    DWORD played = 0;
    for (DWORD index = 0; sideOf(index, &pages); ++index) {
        if (cancelled()) {
            *stopped = true;
            return true;
        }
        Side outcome;
        if (!playSide(pages, &outcome)) return false;
        if (outcome == Side::Empty) break;
        ++played;
        if (outcome == Side::PlayedLast) break;
    }
    // A duplex document that ends on a front side gets its blank back.
    if (m_settings.duplex && played % 2 == 1 && needsBlankBack()) {
        if (!blankSide()) return false;
        ++played;
    }
    return padCopy(played);
}

// Each sheet with all its copies before the next.
bool CEmfPlayer::playUncollated(bool* stopped) {
    std::vector<DWORD> pages;
    for (DWORD sheet = 0;; ++sheet) {
        bool last = false;
        DWORD played = 0;
        for (DWORD remaining = m_settings.jobCopies; remaining > 0 && !last;) {
            DWORD batch = std::min(remaining, std::max<DWORD>(m_settings.driverCopies, 1));
            if (!setCopies(batch)) return false;
            played = 0;
            for (DWORD s = 0; s < sidesPerSheet(); ++s) {
                if (!sideOf(sheet * sidesPerSheet() + s, &pages)) {
                    last = true;
                    break;
                }
                if (cancelled()) {
                    *stopped = true;
                    return true;
                }
                Side outcome;
                if (!playSide(pages, &outcome)) return false;
                if (outcome == Side::Empty) {
                    last = true;
                    break;
                }
                ++played;
                if (outcome == Side::PlayedLast) {
                    last = true;
                    break;
                }
            }
            if (played == 0) return true;
            if (m_settings.duplex && played == 1 && needsBlankBack() && !blankSide()) return false;
            remaining -= batch;
            if (last && remaining > 0) last = false;  // the other copies of this last sheet
        }
        if (last || played == 0) return true;
    }
}

bool CEmfPlayer::play() {
    if (m_settings.booklet || m_settings.reverse) {
        m_settings.pageCount = m_api.getPageCount(m_spool);
        if (m_settings.booklet) {
            m_sides = bookletSides(m_settings.pageCount, m_settings.bindRight, m_settings.duplex == 2);
        } else {
            DWORD perSide = m_settings.driverPagesPerSide > 1 ? m_settings.driverPagesPerSide : m_settings.pagesPerSide;
            m_sides = reverseSides(m_settings.pageCount, perSide, m_settings.duplex != 0,
                                   (m_settings.duplexFlags & kDuplexSwapSides) != 0);
            if (perSide != m_settings.pagesPerSide) {
                // The driver lays the pages out: each of its sides is played page by page.
                SideList single;
                for (const auto& side : m_sides)
                    for (DWORD page : side) single.push_back({page});
                m_sides = std::move(single);
            }
        }
        if (m_sides.empty()) return true;
    }
    readMetrics();
    DOCINFOW info = {sizeof(info)};
    info.lpszDocName = m_ctx->documentName;
    info.lpszOutput = m_ctx->outputFile;
    if (!m_api.startDocEMF(m_spool, &info)) return false;
    bool stopped = false;
    bool ok = true;
    if (m_settings.collate) {
        for (DWORD remaining = m_settings.jobCopies; ok && remaining > 0 && !stopped;) {
            DWORD batch = std::min(remaining, std::max<DWORD>(m_settings.driverCopies, 1));
            ok = setCopies(batch) && playSequence(&stopped);
            remaining -= batch;
        }
    } else {
        ok = playUncollated(&stopped);
    }
    DWORD error = GetLastError();
    bool ended = m_api.endDocEMF(m_spool) != FALSE;
    if (!ok) SetLastError(error);
    return ok && ended;
}

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}

// Steps 2 to 8: the DEVMODE and the settings the layout follows.
bool prepareSettings(JobContext* ctx, LPWSTR printerName, DevmodeBytes& mode, const SpoolFileApi& api, HANDLE spool,
                     ATTRIBUTE_INFO_4& attributes, DWORD jobCollate, bool hasJobCollate, bool changed,
                     PlaybackSettings* settings) {
    JobAttributeQuery query = attributeQuery(ctx);
    DEVMODEW* dm = modeOf(mode);
    PDEVMODEW first = nullptr, previous = nullptr;
    if (api.getDevmodeForPage(spool, 1, &first, &previous) && validMode(first)) {
        if ((first->dmFields & DM_COPIES) && dm->dmCopies != first->dmCopies) {
            dm->dmCopies = first->dmCopies;
            dm->dmFields |= DM_COPIES;
            changed = true;
        }
        if (hasCollate(first) && dm->dmSize >= kCollateDevmodeSize && dm->dmCollate != first->dmCollate) {
            dm->dmCollate = first->dmCollate;
            dm->dmFields |= DM_COLLATE;
            changed = true;
        }
    }
    DWORD total = (dm->dmFields & DM_COPIES) ? static_cast<DWORD>(std::max<short>(dm->dmCopies, 0)) * ctx->copies
                                             : ctx->copies;
    total = std::min<DWORD>(total, 0x7FFF);
    if (!(dm->dmFields & DM_COPIES) || static_cast<DWORD>(dm->dmCopies) != total) changed = true;
    dm->dmCopies = static_cast<short>(total);
    dm->dmFields |= DM_COPIES;
    if (hasCollate(dm) && dm->dmCollate == DMCOLLATE_TRUE) {
        bool off = (total < 2 && (attributes.dwDrvNumberOfPagesPerSide > 1 || !hasJobCollate ||
                                  jobCollate != DMCOLLATE_TRUE)) ||
                   (total >= 2 && attributes.dwDrvNumberOfPagesPerSide >= api.getPageCount(spool));
        if (off && printerDword(printerName, L"SinglePageKeepCollate") != 1) {
            dm->dmCollate = DMCOLLATE_FALSE;
            if (validMode(first) && first->dmSize >= kCollateDevmodeSize) first->dmCollate = DMCOLLATE_FALSE;
            changed = true;
        }
    }
    if (changed && !query(printerName, dm, &attributes)) return false;

    PlaybackSettings& s = *settings;
    s.reverse = ((attributes.dwJobPageOrderFlags ^ attributes.dwDrvPageOrderFlags) & kOrderReverse) != 0;
    s.collate = hasCollate(dm) && dm->dmCollate == DMCOLLATE_TRUE;
    if ((dm->dmFields & DM_DUPLEX) && dm->dmDuplex != DMDUP_SIMPLEX) s.duplex = dm->dmDuplex == DMDUP_HORIZONTAL ? 2 : 1;
    s.duplexFlags = attributes.dwDuplexFlags;
    s.driverPagesPerSide = attributes.dwDrvNumberOfPagesPerSide;
    if ((attributes.dwJobPageOrderFlags ^ attributes.dwDrvPageOrderFlags) & kOrderBooklet) {
        s.booklet = s.duplex != 0;
        s.pagesPerSide = s.booklet ? 2 : 1;
    } else {
        s.pagesPerSide = attributes.dwDrvNumberOfPagesPerSide != 1 ? 1 : attributes.dwJobNumberOfPagesPerSide;
    }
    if (!validPagesPerSide(s.pagesPerSide)) return fail(ERROR_INVALID_PARAMETER);
    s.border = s.pagesPerSide != 1 && attributes.dwNupBorderFlags == kBorderPrint;
    if (!s.booklet) {
        switch (attributes.dwNupDirection) {
        case 2: s.direction = 1; break;
        case 4: s.direction = 2; break;
        case 8: s.direction = 3; break;
        default: s.direction = 0; break;
        }
    } else {
        s.bindRight = attributes.dwBookletFlags == 1;
    }
    s.scaleX = scaleOf(attributes.dwScalingPercentX);
    s.scaleY = scaleOf(attributes.dwScalingPercentY);
    s.jobCopies = attributes.dwJobNumberOfCopies;
    s.driverCopies = attributes.dwDrvNumberOfCopies;
    return true;
}

// The spool-file handle, released on every path.
struct CSpoolHandle {
    const SpoolFileApi& api;
    HANDLE handle;
    ~CSpoolHandle() {
        if (handle) api.deleteSpoolFileHandle(handle);
    }
};
}  // namespace

bool printEmfJob(JobContext* ctx, LPWSTR jobName) {
    throwDriverException();
    LPWSTR printerName = playbackPrinterName(ctx);
    JobAttributeQuery query = attributeQuery(ctx);
    // Step 1: the job's DEVMODE, or the printer's default one.
    DevmodeBytes mode = ctx->devMode ? copyMode(ctx->devMode) : printerDefaultMode(printerName);
    if (mode.empty()) return false;
    if (mode.size() < kMinimumDevmodeSize || !validMode(modeOf(mode)) ||
        devmodeBytes(modeOf(mode)) > mode.size())
        return fail(ERROR_INVALID_PARAMETER);
    ATTRIBUTE_INFO_4 attributes = {};
    if (!query(printerName, modeOf(mode), &attributes)) {
        DWORD error = GetLastError();  // the failing call's own reason, where it gave one
        return fail(error ? error : ERROR_INVALID_PRINTER_COMMAND);
    }
    DEVMODEW* dm = modeOf(mode);
    // Step 2: quality and resolution the driver chose for colour.
    bool changed = false;
    if (attributes.dwColorOptimization &&
        (attributes.dmPrintQuality != dm->dmPrintQuality || attributes.dmYResolution != dm->dmYResolution)) {
        dm->dmPrintQuality = static_cast<short>(attributes.dmPrintQuality);
        dm->dmYResolution = static_cast<short>(attributes.dmYResolution);
        changed = true;
    }
    // Step 3: the job's own collation, then the spool file and its DC.
    bool hasJobCollate = hasCollate(dm);
    DWORD jobCollate = hasJobCollate ? dm->dmCollate : 0;
    const SpoolFileApi& api = spoolFileApi();
    CSpoolHandle spool{api, api.getSpoolFileHandle(printerName, dm, jobName)};
    if (!spool.handle) return false;
    HDC dc = api.getDC(spool.handle);
    if (!dc) return false;
    PlaybackSettings settings;
    if (!prepareSettings(ctx, printerName, mode, api, spool.handle, attributes, jobCollate, hasJobCollate, changed,
                         &settings))
        return false;
    if (settings.jobCopies == 0) return true;
    // Step 11: advanced graphics mode around the whole document.
    int oldMode = SetGraphicsMode(dc, GM_ADVANCED);
    XFORM saved;
    GetWorldTransform(dc, &saved);
    CEmfPlayer player(ctx, api, spool.handle, dc, mode, settings);
    bool ok = player.play();
    DWORD error = GetLastError();
    SetWorldTransform(dc, &saved);
    if (oldMode) SetGraphicsMode(dc, oldMode);
    SetLastError(error);
    return ok;
}
