// EMF and TEXT playback under Wine, judged on the PostScript the printer's
// driver writes (read back with Ghostscript): through the spooler with
// rpqprint, and through the exports on held jobs where copies, tab sizes,
// layout attributes, pause and cancel must be set.
#include <windows.h>
#include <gtest/gtest.h>
#include <winspool.h>
#include <winsplp.h>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <future>
#include <map>
#include "base/printerdata.h"
#include "diag/log.h"
#include "emfspool/pagerecords.h"
#include "emfspool/stream.h"
#include "printproc/playback/emflayout.h"
#include "printproc/playback/textlayout.h"
#include "printproc/jobcontext.h"
#include "tests/e2efixture.h"
#include "tests/spooledjob.h"
#include "tools/emfstream.h"

extern "C" {
HANDLE WINAPI OpenPrintProcessor(LPWSTR, PPRINTPROCESSOROPENDATA);
BOOL WINAPI PrintDocumentOnPrintProcessor(HANDLE, LPWSTR);
BOOL WINAPI ClosePrintProcessor(HANDLE);
BOOL WINAPI ControlPrintProcessor(HANDLE, DWORD);
}

namespace {
std::wstring samplesDir() { return unixToWin(RPQ_SOURCE_DIR "/../shared/samples"); }

struct Glyph {
    double x0, y0, x1, y1;  // points from the top left
    char c;
};
using Page = std::vector<Glyph>;

// A PostScript file a job writes, and what Ghostscript reads in it.
class COutput {
public:
    COutput() : m_unix("/tmp/rpq-wt-" + uniqueToken() + ".ps"), m_win(unixToWin(m_unix)) {}
    ~COutput() { remove(); }
    LPWSTR path() { return &m_win[0]; }
    void remove() const { DeleteFileW(m_win.c_str()); }
    bool exists() const { return GetFileAttributesW(m_win.c_str()) != INVALID_FILE_ATTRIBUTES; }
    std::vector<Page> pages() const {
        std::string xml;
        runUnix("gs -q -dNOPAUSE -dBATCH -sDEVICE=txtwrite -dTextFormat=0 -sOutputFile=- " + m_unix, &xml);
        std::vector<Page> pages;
        for (size_t start = 0, end; start < xml.size(); start = end + 1) {
            end = std::min(xml.find('\n', start), xml.size());
            std::string line = xml.substr(start, end - start);
            if (line.find("<page") != std::string::npos) pages.emplace_back();
            size_t at = line.find("<char bbox=\"");
            if (at == std::string::npos || pages.empty()) continue;
            Glyph g = {};
            char c[16] = {};
            if (sscanf(line.c_str() + at, "<char bbox=\"%lf %lf %lf %lf\" c=\"%15[^\"]", &g.x0, &g.y0, &g.x1, &g.y1, c) == 5) {
                g.c = strncmp(c, "&#", 2) == 0 ? ' ' : strcmp(c, "&amp;") == 0 ? '&' : c[0];
                pages.back().push_back(g);
            }
        }
        return pages;
    }
    // Pages with anything drawn, as Ghostscript's bounding-box device counts them.
    int pageCount() const {
        std::string out;
        runUnix("gs -dNOPAUSE -dBATCH -sDEVICE=bbox " + m_unix + " 2>&1 | grep -c '^%%BoundingBox'", &out);
        return atoi(out.c_str());
    }

    // Per sheet, the squares in its top and bottom half: "1,2|".
    std::string boxCounts() const {
        std::string out;
        for (const CBitmap& sheet : render()) {
            int h = sheet.height / 2;
            out += std::to_string(sheet.blobs(0, h).size()) + "," + std::to_string(sheet.blobs(h, sheet.height).size()) + "|";
        }
        return out;
    }
    // Per sheet, how the squares of its top and bottom half stand: 'r' in a
    // row (the page upright), 'c' in a column (the page turned), '.' one or none.
    std::string halfShapes() const {
        std::string out;
        for (const CBitmap& sheet : render()) {
            for (int half = 0; half < 2; ++half) {
                auto blobs = sheet.blobs(half * sheet.height / 2, (half + 1) * sheet.height / 2);
                bool row = true, column = true;
                for (const RECT& b : blobs) {
                    row = row && std::abs(b.top - blobs[0].top) <= 2;
                    column = column && std::abs(b.left - blobs[0].left) <= 2;
                }
                out += blobs.size() < 2 ? '.' : row ? 'r' : column ? 'c' : '?';
            }
            out += '|';
        }
        return out;
    }

    // The ink on all sheets, rendered at 150 dpi.
    size_t blackPixels() const {
        size_t count = 0;
        for (const CBitmap& sheet : render(150)) count += std::count(sheet.black.begin(), sheet.black.end(), 1);
        return count;
    }

private:
    // A rendered sheet, one byte per pixel, 1 for black.
    struct CBitmap {
        int width = 0, height = 0;
        std::vector<char> black;
        // Bounding boxes of the black regions between two rows.
        std::vector<RECT> blobs(int top, int bottom) const {
            std::vector<char> seen(black.size(), 0);
            std::vector<RECT> found;
            for (int y = top; y < bottom; ++y)
                for (int x = 0; x < width; ++x) {
                    if (!black[y * width + x] || seen[y * width + x]) continue;
                    RECT box = {x, y, x, y};
                    std::vector<std::pair<int, int>> stack{{x, y}};
                    seen[y * width + x] = 1;
                    while (!stack.empty()) {
                        auto [px, py] = stack.back();
                        stack.pop_back();
                        box = {std::min<LONG>(box.left, px), std::min<LONG>(box.top, py), std::max<LONG>(box.right, px),
                               std::max<LONG>(box.bottom, py)};
                        for (auto [dx, dy] : {std::pair{1, 0}, {-1, 0}, {0, 1}, {0, -1}}) {
                            int nx = px + dx, ny = py + dy;
                            if (nx < 0 || ny < top || nx >= width || ny >= bottom) continue;
                            if (black[ny * width + nx] && !seen[ny * width + nx]) {
                                seen[ny * width + nx] = 1;
                                stack.push_back({nx, ny});
                            }
                        }
                    }
                    found.push_back(box);
                }
            return found;
        }
    };
    std::vector<CBitmap> render(int dpi = 30) const {
        std::string pattern = m_unix + "-%d.pbm";
        runUnix("gs -q -dNOPAUSE -dBATCH -sDEVICE=pbmraw -r" + std::to_string(dpi) + " -sOutputFile=" + pattern + " " +
                m_unix);
        std::vector<CBitmap> sheets;
        for (int n = 1;; ++n) {
            std::wstring file = unixToWin(m_unix + "-" + std::to_string(n) + ".pbm");
            std::string bytes = readFileBytes(file);
            DeleteFileW(file.c_str());
            CBitmap sheet;
            size_t data = 0;  // past the magic, comment lines, and the size line
            for (int line = 0; line < 2 && data < bytes.size(); data = bytes.find('\n', data) + 1) {
                if (bytes[data] == '#') continue;
                if (line++ == 1) sscanf(bytes.c_str() + data, "%d %d", &sheet.width, &sheet.height);
            }
            if (sheet.width <= 0 || sheet.height <= 0) break;
            size_t stride = (sheet.width + 7) / 8;
            if (bytes.size() < data + stride * sheet.height) break;
            sheet.black.resize(size_t(sheet.width) * sheet.height);
            for (int y = 0; y < sheet.height; ++y)
                for (int x = 0; x < sheet.width; ++x)
                    sheet.black[y * sheet.width + x] = (bytes[data + y * stride + x / 8] >> (7 - x % 8)) & 1;
            sheets.push_back(std::move(sheet));
        }
        return sheets;
    }

    std::string m_unix;
    std::wstring m_win;
};

// The lines of a page, top to bottom, spaces included.
std::vector<std::string> lines(const Page& page) {
    std::map<long, std::vector<Glyph>> rows;
    for (const Glyph& g : page) rows[std::lround(g.y0)].push_back(g);
    std::vector<std::string> out;
    for (auto& [y, glyphs] : rows) {
        std::sort(glyphs.begin(), glyphs.end(), [](const Glyph& a, const Glyph& b) { return a.x0 < b.x0; });
        std::string text;
        for (const Glyph& g : glyphs) text += g.c;
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out.push_back(text);
    }
    return out;
}

const Glyph* find(const Page& page, char c, size_t nth = 0) {
    for (const Glyph& g : page)
        if (g.c == c && nth-- == 0) return &g;
    return nullptr;
}

// The column of a glyph on a line that starts with first.
long columnOf(const Glyph& g, const Glyph& first) { return std::lround((g.x0 - first.x0) / (first.x1 - first.x0)); }

// Printer data for one test, removed afterwards.
void setPrinterDword(const std::wstring& printer, const wchar_t* name, DWORD value) {
    HANDLE h = nullptr;
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(printer.c_str()), &h, &access));
    EXPECT_EQ(SetPrinterDataW(h, const_cast<LPWSTR>(name), REG_DWORD, reinterpret_cast<BYTE*>(&value), sizeof(value)),
              static_cast<DWORD>(ERROR_SUCCESS));
    ClosePrinter(h);
}

// An EMF spool stream of pages "page 1" ... "page n".
std::string emfJob(HDC reference, int pages) {
    std::vector<std::vector<BYTE>> emfs;
    for (int i = 1; i <= pages; ++i) emfs.push_back(drawPage(reference, "page " + std::to_string(i) + "\n"));
    std::vector<BYTE> stream = spoolStream(L"pages", nullptr, emfs);
    return std::string(stream.begin(), stream.end());
}

// A page that shows its number as that many squares in a row along its top.
std::vector<BYTE> boxPage(HDC reference, int number) {
    RECT frame = {0, 0, GetDeviceCaps(reference, HORZSIZE) * 100, GetDeviceCaps(reference, VERTSIZE) * 100};
    HDC dc = CreateEnhMetaFileW(reference, nullptr, &frame, nullptr);
    int side = GetDeviceCaps(reference, HORZRES) / 14;
    for (int i = 0; i < number; ++i) {
        RECT box = {side / 2 + i * side * 3 / 2, side / 2, side / 2 + i * side * 3 / 2 + side, side / 2 + side};
        FillRect(dc, &box, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    }
    HENHMETAFILE emf = CloseEnhMetaFile(dc);
    std::vector<BYTE> bytes(GetEnhMetaFileBits(emf, 0, nullptr));
    GetEnhMetaFileBits(emf, static_cast<UINT>(bytes.size()), bytes.data());
    DeleteEnhMetaFile(emf);
    return bytes;
}

// The page numbers each output page shows, in reading order: "1,2|3|".
std::string pageNumbers(const std::vector<Page>& pages) {
    std::string out;
    for (const Page& page : pages) {
        std::string numbers;
        for (const std::string& line : lines(page)) {
            for (size_t at = line.find("page "); at != std::string::npos; at = line.find("page ", at + 1))
                numbers += (numbers.empty() ? "" : ",") + line.substr(at + 5, line.find(' ', at + 5) - at - 5);
        }
        out += numbers + "|";
    }
    return out;
}

// What the driver would answer; the query records the collation it was asked with.
ATTRIBUTE_INFO_4 g_attributes;
short g_askedCollate = -1;
bool testAttributes(LPWSTR, const DEVMODEW* mode, ATTRIBUTE_INFO_4* info) {
    *info = g_attributes;
    g_askedCollate = mode->dmCollate;
    return true;
}
bool failingAttributes(LPWSTR, const DEVMODEW*, ATTRIBUTE_INFO_4*) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
}
ATTRIBUTE_INFO_4 plainAttributes(DWORD copies = 1) {
    ATTRIBUTE_INFO_4 a = {};
    a.dwJobNumberOfPagesPerSide = a.dwDrvNumberOfPagesPerSide = 1;
    a.dwJobNumberOfCopies = a.dwDrvNumberOfCopies = copies;
    a.dwNupDirection = 1;
    a.dwNupBorderFlags = 1;  // NO_BORDER_PRINT: cells without frames (BORDER_PRINT is 0)
    a.dwScalingPercentX = a.dwScalingPercentY = 100;
    return a;
}

// A target printer on Wine's PostScript driver and a holding printer, both
// on the system's processor, so that Wine's nested driver job is written
// straight to the output file.
class PlaybackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_target = new CTestPrinter(uniqueName(L"Playback target"), L"--processor winprint");
        s_holding = new CTestPrinter(uniqueName(L"Playback holding"), L"--processor winprint --port C:\\rpq-playback-holding.prn");
    }
    static void TearDownTestSuite() {
        delete s_target;
        delete s_holding;
    }
    void SetUp() override {
        ASSERT_TRUE(s_target->ok() && s_holding->ok());
        g_attributes = plainAttributes();
        g_askedCollate = -1;
    }
    // Opens a held job as datatype for the target printer, written to output.
    HANDLE openOnTarget(CSpooledJob& job, const wchar_t* datatype, const wchar_t* parameters = nullptr,
                        DEVMODEW* mode = nullptr) {
        output.remove();  // Wine's port writes over an old file without truncating it
        PRINTPROCESSOROPENDATA open = job.openData();
        open.pDatatype = const_cast<LPWSTR>(datatype);
        open.pPrinterName = &m_target[0];
        open.pOutputFile = output.path();
        open.pParameters = const_cast<LPWSTR>(parameters);
        open.pDevMode = mode;
        return OpenPrintProcessor(&m_target[0], &open);
    }
    // Plays data as datatype on the target printer; the exports' result.
    BOOL play(const std::string& data, const wchar_t* datatype, const wchar_t* parameters = nullptr,
              DEVMODEW* mode = nullptr, bool useAttributes = false, DWORD control = 0) {
        CSpooledJob job(s_holding->name(), data);
        if (!job.ok()) return FALSE;
        HANDLE h = openOnTarget(job, datatype, parameters, mode);
        if (!h) return FALSE;
        if (useAttributes) static_cast<JobContext*>(h)->queryAttributes = testAttributes;
        if (control) ControlPrintProcessor(h, control);
        std::wstring document = job.documentName();
        BOOL result = PrintDocumentOnPrintProcessor(h, &document[0]);
        error = GetLastError();
        ClosePrintProcessor(h);
        return result;
    }
    BOOL playBoxes(int pages, DEVMODEW* mode = nullptr, const std::vector<const DEVMODEW*>& pageModes = {}) {
        HDC dc = CreateDCW(L"", s_target->name().c_str(), nullptr, nullptr);
        std::vector<std::vector<BYTE>> emfs;
        for (int i = 1; i <= pages; ++i) emfs.push_back(boxPage(dc, i));
        DeleteDC(dc);
        std::vector<BYTE> stream = spoolStream(L"boxes", nullptr, emfs, pageModes);
        return play(std::string(stream.begin(), stream.end()), L"NT EMF 1.008", nullptr, mode, true);
    }
    BOOL playEmf(int pages, bool useAttributes = true, DEVMODEW* mode = nullptr) {
        HDC dc = CreateDCW(L"", s_target->name().c_str(), nullptr, nullptr);
        std::string data = emfJob(dc, pages);
        DeleteDC(dc);
        return play(data, L"NT EMF 1.008", nullptr, mode, useAttributes);
    }
    std::vector<BYTE> duplexMode(short duplex, short collate = DMCOLLATE_FALSE) {
        std::vector<BYTE> bytes = printerDefaultMode(&m_target[0]);
        auto mode = reinterpret_cast<DEVMODEW*>(bytes.data());
        mode->dmDuplex = duplex;
        mode->dmCollate = collate;
        mode->dmFields |= DM_DUPLEX | DM_COLLATE;
        return bytes;
    }

    static CTestPrinter* s_target;
    static CTestPrinter* s_holding;
    COutput output;
    DWORD error = 0;  // the last error the last play ended with
    std::wstring m_target = s_target->name();
};
CTestPrinter* PlaybackTest::s_target = nullptr;
CTestPrinter* PlaybackTest::s_holding = nullptr;

TEST_F(PlaybackTest, TextLayout) {
    // Tab size 4, CR LF, a lone CR (which also feeds a line), a wrapped line, a form feed.
    std::string longLine(300, 'x');
    ASSERT_TRUE(play("a\tb\r\nab\tc\rnext\r\n" + longLine + "\r\n\fsecond page", L"TEXT", L"TABS=4;"));
    auto pages = output.pages();
    ASSERT_EQ(pages.size(), 2u);
    auto text = lines(pages[0]);
    ASSERT_GE(text.size(), 5u);
    EXPECT_EQ(text[0], "a   b");
    EXPECT_EQ(text[1], "ab  c");
    EXPECT_EQ(text[2], "next");
    size_t wrapped = 0;  // the long line continues on the lines after it
    for (size_t i = 3; i < text.size(); ++i) {
        EXPECT_EQ(text[i], std::string(text[i].size(), 'x'));
        EXPECT_LE(text[i].size(), text[3].size());
        wrapped += text[i].size();
    }
    EXPECT_GT(text.size(), 4u);
    EXPECT_EQ(wrapped, 300u);
    EXPECT_EQ(lines(pages[1]), (std::vector<std::string>{"second page"}));
}

TEST_F(PlaybackTest, TextCopiesAndTranslation) {
    // Three copies, each read from the first byte.
    ASSERT_TRUE(play("one\r\ntwo", L"TEXT", L"COPIES=3;"));
    auto pages = output.pages();
    ASSERT_EQ(pages.size(), 3u);
    for (const Page& page : pages) EXPECT_EQ(lines(page), (std::vector<std::string>{"one", "two"}));

    // Without translation, LF moves down and keeps the column; the default tab is 8.
    setPrinterDword(s_target->name(), L"Winprint_TextNoTranslation", 1);
    ASSERT_TRUE(play("ab\ncd\te", L"TEXT"));
    setPrinterDword(s_target->name(), L"Winprint_TextNoTranslation", 0);
    pages = output.pages();
    ASSERT_EQ(pages.size(), 1u);
    const Glyph *a = find(pages[0], 'a'), *c = find(pages[0], 'c'), *e = find(pages[0], 'e');
    ASSERT_TRUE(a && c && e);
    EXPECT_GT(c->y0, a->y0);
    EXPECT_EQ(columnOf(*c, *a), 2);
    EXPECT_EQ(columnOf(*e, *a), 8);

    // Without CR translation, a CR returns to the line's start and feeds no line.
    setPrinterDword(s_target->name(), L"Winprint_TextNoCRTranslation", 1);
    ASSERT_TRUE(play("ab\rX\nnext", L"TEXT"));
    pages = output.pages();
    ASSERT_EQ(pages.size(), 1u);
    const Glyph *b = find(pages[0], 'b'), *x = find(pages[0], 'X'), *n = find(pages[0], 'n');
    a = find(pages[0], 'a');
    ASSERT_TRUE(a && b && x && n);
    EXPECT_NEAR(x->y0, a->y0, 0.5);  // the same line
    EXPECT_EQ(columnOf(*x, *a), 0);
    EXPECT_GT(n->y0, a->y0);
    EXPECT_EQ(columnOf(*n, *a), 0);

    // Overprinted by the CR, "X" hides the "a" under its white background,
    // unless the printer's "Transparency" clears the background.
    size_t opaque = output.blackPixels();
    setPrinterDword(s_target->name(), L"Transparency", 1);
    ASSERT_TRUE(play("ab\rX\nnext", L"TEXT"));
    setPrinterDword(s_target->name(), L"Transparency", 0);
    size_t transparent = output.blackPixels();
    setPrinterDword(s_target->name(), L"Winprint_TextNoCRTranslation", 0);
    EXPECT_GT(transparent, opaque) << opaque;
}

TEST_F(PlaybackTest, EmfPagesOrderAndFailures) {
    // Through the driver's defaults (Wine has no attribute query): pages in order.
    ASSERT_TRUE(playEmf(3, false));
    EXPECT_EQ(pageNumbers(output.pages()), "1|2|3|");

    g_attributes.dwJobPageOrderFlags = 1;  // reverse
    ASSERT_TRUE(playEmf(3));
    EXPECT_EQ(pageNumbers(output.pages()), "3|2|1|");

    // Three pages per side cannot be laid out: failure, nothing printed.
    g_attributes = plainAttributes();
    g_attributes.dwJobNumberOfPagesPerSide = 3;
    EXPECT_FALSE(playEmf(3));
    EXPECT_FALSE(output.exists());

    // A damaged spool stream fails cleanly.
    const DWORD header[] = {0x00010000, 16, 0, 0, kRecordMetafileData, 0xFFFF};  // a record past the end
    std::string damaged(reinterpret_cast<const char*>(header), sizeof(header));
    EXPECT_FALSE(play(damaged, L"NT EMF 1.008"));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_DATA));
    // ...and says so in the printer's log.
    wchar_t escaped[MAX_PATH], logPath[MAX_PATH];
    wcscpy(escaped, m_target.c_str());
    ASSERT_TRUE(composeLogPath(logPath, escaped));
    std::string log = readFileBytes(logPath);
    EXPECT_NE(log.find("EMF playback of <"), std::string::npos) << log;
    EXPECT_NE(log.find("FAILED"), std::string::npos);
    EXPECT_NE(log.find("Reason <13>"), std::string::npos) << log;
    EXPECT_FALSE(output.exists());
}

TEST_F(PlaybackTest, EmfNupCellsAndBooklets) {
    g_attributes.dwJobNumberOfPagesPerSide = 4;
    g_attributes.dwNupDirection = 2;  // down, then right
    ASSERT_TRUE(playEmf(4));
    auto pages = output.pages();
    ASSERT_EQ(pages.size(), 1u);
    std::vector<const Glyph*> digit;
    for (char c : {'1', '2', '3', '4'}) digit.push_back(find(pages[0], c));
    for (auto* g : digit) ASSERT_NE(g, nullptr);
    EXPECT_LT(digit[0]->x0, 298);  // left column (A4 is 595 points wide): 1 above 2
    EXPECT_LT(digit[1]->x0, 298);
    EXPECT_LT(digit[0]->y0, 421);
    EXPECT_GT(digit[1]->y0, 421);
    EXPECT_GT(digit[2]->x0, 298);  // right column: 3 above 4
    EXPECT_GT(digit[3]->x0, 298);
    EXPECT_LT(digit[2]->y0, 421);
    EXPECT_GT(digit[3]->y0, 421);

    // Two pages per side are turned into the sheet's halves. Wine's driver
    // cannot draw text under a turned transform, so these pages show their
    // number as that many squares, counted in the rendered sheet.
    g_attributes.dwJobNumberOfPagesPerSide = 2;
    g_attributes.dwNupDirection = 1;
    ASSERT_TRUE(playBoxes(2));
    EXPECT_EQ(output.boxCounts(), "1,2|");
    EXPECT_EQ(output.halfShapes(), ".c|");
    // BORDER_PRINT (0) frames each cell: one more shape in each half.
    g_attributes.dwNupBorderFlags = 0;
    ASSERT_TRUE(playBoxes(2));
    EXPECT_EQ(output.boxCounts(), "2,3|");

    // Booklets: a duplex job whose page order asks for one the driver does not make.
    g_attributes = plainAttributes();
    g_attributes.dwJobPageOrderFlags = 2;
    std::vector<BYTE> duplex = duplexMode(DMDUP_VERTICAL);
    ASSERT_TRUE(playBoxes(4, reinterpret_cast<DEVMODEW*>(duplex.data())));
    EXPECT_EQ(output.boxCounts(), "4,1|3,2|");
    ASSERT_TRUE(playBoxes(8, reinterpret_cast<DEVMODEW*>(duplex.data())));
    EXPECT_EQ(output.boxCounts(), "8,1|7,2|6,3|5,4|");
    g_attributes.dwBookletFlags = 1;  // bound at the right edge
    ASSERT_TRUE(playBoxes(3, reinterpret_cast<DEVMODEW*>(duplex.data())));
    EXPECT_EQ(output.boxCounts(), "1,0|2,3|");  // page 4 is an empty cell
}

// DEVMODEs and parameters come from any user: a DEVMODE too short for the
// collation field never has it read, one too short for its public fields is
// not used at all, and parameters are bounded.
TEST_F(PlaybackTest, ShortDevmodesAndHugeParameters) {
    g_attributes = plainAttributes(3);
    g_attributes.dwDrvNumberOfCopies = 2;
    std::vector<BYTE> shortMode = duplexMode(DMDUP_SIMPLEX, DMCOLLATE_TRUE);
    auto* mode = reinterpret_cast<DEVMODEW*>(shortMode.data());
    mode->dmSize = 98;  // bytes 98-101 are the driver's: what stands at dmCollate is not a collation
    mode->dmDriverExtra = 4;
    mode->dmCopies = 3;
    mode->dmFields |= DM_COPIES;
    shortMode.resize(102);
    ASSERT_TRUE(playEmf(2, true, mode));
    EXPECT_EQ(pageNumbers(output.pages()), "1|1|2|2|");

    std::vector<BYTE> tooShort = duplexMode(DMDUP_SIMPLEX);
    reinterpret_cast<DEVMODEW*>(tooShort.data())->dmSize = 60;
    reinterpret_cast<DEVMODEW*>(tooShort.data())->dmDriverExtra = 0;
    tooShort.resize(60);
    g_attributes = plainAttributes();
    ASSERT_TRUE(playEmf(1, true, reinterpret_cast<DEVMODEW*>(tooShort.data())));  // the printer's default serves
    EXPECT_EQ(pageNumbers(output.pages()), "1|");

    // Larger than the system's DEVMODE: not read at all (its copies would say 3).
    std::vector<BYTE> oversize = duplexMode(DMDUP_SIMPLEX);
    oversize.resize(sizeof(DEVMODEW) + 64);
    auto* big = reinterpret_cast<DEVMODEW*>(oversize.data());
    big->dmSize = sizeof(DEVMODEW) + 64;
    big->dmDriverExtra = 0;
    big->dmCopies = 3;
    big->dmFields |= DM_COPIES;
    ASSERT_TRUE(playEmf(1, true, big));  // the printer's default serves
    EXPECT_EQ(pageNumbers(output.pages()), "1|");

    struct Case {
        const wchar_t* parameters;
        DWORD copies, tabSize;
    } cases[] = {
        {L"COPIES=4294967295; TABS=4294967295;", 0x7FFF, 256},
        {L"COPIES=4294967296; TABS=18446744073709551620;", 1, 8},  // overflow: refused, defaults stay
        {L"COPIES=2; TABS=16;", 2, 16},
    };
    // A failing attribute query fails the job with its own reason.
    {
        CSpooledJob job(s_holding->name(), "x");
        ASSERT_TRUE(job.ok());
        HANDLE h = openOnTarget(job, L"NT EMF 1.008");
        ASSERT_NE(h, nullptr);
        static_cast<JobContext*>(h)->queryAttributes = failingAttributes;
        std::wstring document = job.documentName();
        EXPECT_FALSE(PrintDocumentOnPrintProcessor(h, &document[0]));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        ClosePrintProcessor(h);
    }
    for (const Case& c : cases) {
        CSpooledJob job(s_holding->name(), "x");
        ASSERT_TRUE(job.ok());
        HANDLE h = openOnTarget(job, L"TEXT", c.parameters);
        ASSERT_NE(h, nullptr) << c.parameters;
        EXPECT_EQ(static_cast<JobContext*>(h)->copies, c.copies) << c.parameters;
        EXPECT_EQ(static_cast<JobContext*>(h)->tabSize, c.tabSize) << c.parameters;
        ClosePrintProcessor(h);
    }
}

TEST_F(PlaybackTest, EmfCopiesCollationBlanksAndScaling) {
    // Three copies, the driver makes at most two: collated batches of 2 and 1.
    std::vector<BYTE> collated = duplexMode(DMDUP_SIMPLEX, DMCOLLATE_TRUE);
    g_attributes = plainAttributes(3);
    g_attributes.dwDrvNumberOfCopies = 2;
    ASSERT_TRUE(playEmf(2, true, reinterpret_cast<DEVMODEW*>(collated.data())));
    EXPECT_EQ(pageNumbers(output.pages()), "1|2|1|2|");
    std::vector<BYTE> uncollated = duplexMode(DMDUP_SIMPLEX, DMCOLLATE_FALSE);
    ASSERT_TRUE(playEmf(2, true, reinterpret_cast<DEVMODEW*>(uncollated.data())));
    EXPECT_EQ(pageNumbers(output.pages()), "1|1|2|2|");

    // A duplex job of 3 pages gets a blank back side, unless the driver
    // makes every copy and asks for no extra pages.
    g_attributes = plainAttributes();
    std::vector<BYTE> duplex = duplexMode(DMDUP_VERTICAL);
    ASSERT_TRUE(playEmf(3, true, reinterpret_cast<DEVMODEW*>(duplex.data())));
    auto pages = output.pages();
    ASSERT_EQ(pages.size(), 4u);
    EXPECT_TRUE(pages[3].empty());
    g_attributes.dwDuplexFlags = 2;
    ASSERT_TRUE(playEmf(3, true, reinterpret_cast<DEVMODEW*>(duplex.data())));
    EXPECT_EQ(output.pages().size(), 3u);

    // The driver lays out two pages per side while we play one: each copy
    // is padded to a whole sheet, so that the next starts on its own.
    g_attributes = plainAttributes(2);
    g_attributes.dwDrvNumberOfCopies = 1;
    g_attributes.dwDrvNumberOfPagesPerSide = 2;
    reinterpret_cast<DEVMODEW*>(collated.data())->dmCopies = 2;
    ASSERT_TRUE(playEmf(3, true, reinterpret_cast<DEVMODEW*>(collated.data())));
    EXPECT_EQ(pageNumbers(output.pages()), "1|2|3||1|2|3||");

    // Collating copies of a single page is switched off unless the printer keeps it.
    g_attributes = plainAttributes(2);
    std::vector<BYTE> single = duplexMode(DMDUP_SIMPLEX, DMCOLLATE_TRUE);
    reinterpret_cast<DEVMODEW*>(single.data())->dmCopies = 2;
    ASSERT_TRUE(playEmf(1, true, reinterpret_cast<DEVMODEW*>(single.data())));
    EXPECT_EQ(g_askedCollate, DMCOLLATE_FALSE);
    setPrinterDword(s_target->name(), L"SinglePageKeepCollate", 1);
    g_askedCollate = -1;
    ASSERT_TRUE(playEmf(1, true, reinterpret_cast<DEVMODEW*>(single.data())));
    setPrinterDword(s_target->name(), L"SinglePageKeepCollate", 0);
    EXPECT_EQ(g_askedCollate, DMCOLLATE_TRUE);

    // Scaling: 0 plays at 100 %, 5000 at the most, 1000 %.
    g_attributes = plainAttributes();
    g_attributes.dwScalingPercentX = 0;
    ASSERT_TRUE(playEmf(1));
    auto normal = output.pages();
    g_attributes.dwScalingPercentX = 5000;
    ASSERT_TRUE(playEmf(1));
    auto large = output.pages();
    ASSERT_EQ(normal.size(), 1u);
    ASSERT_EQ(large.size(), 1u);
    const Glyph *small = find(normal[0], 'p'), *big = find(large[0], 'p');
    ASSERT_TRUE(small && big);
    EXPECT_NEAR((big->x1 - big->x0) / (small->x1 - small->x0), 10.0, 0.5);
    const double margin = 18;  // the unprintable margin, in points
    EXPECT_NEAR((big->x0 - margin) / (small->x0 - margin), 10.0, 0.5);
}

// Pages with DEVMODEs of their own: a landscape page resets the DC (the
// driver turns it on the sheet); on a side of two it is played unturned in
// its wide cell while the portrait pages beside it are turned.
TEST_F(PlaybackTest, PageDevmodesAndTurnedPages) {
    std::vector<BYTE> tall = duplexMode(DMDUP_SIMPLEX), wide = tall;
    auto* landscape = reinterpret_cast<DEVMODEW*>(wide.data());
    landscape->dmOrientation = DMORIENT_LANDSCAPE;
    landscape->dmFields |= DM_ORIENTATION;
    auto* portrait = reinterpret_cast<DEVMODEW*>(tall.data());
    const std::vector<const DEVMODEW*> modes = {portrait, landscape, portrait, landscape};
    ASSERT_TRUE(playBoxes(4, nullptr, modes));
    EXPECT_EQ(output.boxCounts(), "1,0|0,2|3,0|0,4|");
    EXPECT_EQ(output.halfShapes(), "..|.c|r.|.c|");

    g_attributes.dwJobNumberOfPagesPerSide = 2;
    ASSERT_TRUE(playBoxes(4, nullptr, modes));
    EXPECT_EQ(output.boxCounts(), "1,2|3,4|");
    EXPECT_EQ(output.halfShapes(), ".r|cr|");
    ASSERT_TRUE(playBoxes(4));  // all portrait: all turned
    EXPECT_EQ(output.halfShapes(), ".c|cc|");
}

// No copies asked for: nothing printed, and the job succeeds. A long text
// breaks its pages by the lines a page holds, with no form feed.
TEST_F(PlaybackTest, ZeroCopiesAndFullPages) {
    HDC dc = CreateDCW(L"", s_target->name().c_str(), nullptr, nullptr);
    std::string emf = emfJob(dc, 2);
    DeleteDC(dc);
    EXPECT_TRUE(play(emf, L"NT EMF 1.008", L"COPIES=0;"));
    EXPECT_TRUE(output.pages().empty());
    EXPECT_TRUE(play("page 1\r\n", L"TEXT", L"COPIES=0;"));
    EXPECT_TRUE(output.pages().empty());

    std::string text;
    for (int i = 1; i <= 150; ++i) text += "line " + std::to_string(i) + "\r\n";
    ASSERT_TRUE(play(text, L"TEXT"));
    auto pages = output.pages();
    ASSERT_GE(pages.size(), 2u);
    auto first = lines(pages[0]), second = lines(pages[1]);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(first[0], "line 1");
    // The second page goes on with the line after the first page's last.
    EXPECT_EQ(second[0], "line " + std::to_string(first.size() + 1));
}

// Paused, a playback waits; resumed, it prints everything; cancelled, nothing.
TEST_F(PlaybackTest, PauseResumeAndCancel) {
    HDC dc = CreateDCW(L"", s_target->name().c_str(), nullptr, nullptr);
    const std::pair<const wchar_t*, std::string> jobs[] = {{L"NT EMF 1.008", emfJob(dc, 2)},
                                                           {L"TEXT", "page 1\r\n\fpage 2\r\n"}};
    DeleteDC(dc);
    for (const auto& [datatype, data] : jobs)
        for (DWORD command : {JOB_CONTROL_RESUME, JOB_CONTROL_CANCEL}) {
            CSpooledJob job(s_holding->name(), data);
            ASSERT_TRUE(job.ok());
            std::wstring document = job.documentName();
            HANDLE h = openOnTarget(job, datatype);
            ASSERT_NE(h, nullptr);
            ASSERT_TRUE(ControlPrintProcessor(h, JOB_CONTROL_PAUSE));
            auto printing =
                std::async(std::launch::async, [&] { return PrintDocumentOnPrintProcessor(h, &document[0]); });
            auto* ctx = static_cast<JobContext*>(h);
            ASSERT_TRUE(waitUntil([&] { return (ctx->status & kStatusHeld) != 0; }));  // waiting for the pause to end
            EXPECT_FALSE(output.exists());
            ASSERT_TRUE(ControlPrintProcessor(h, command));
            EXPECT_TRUE(printing.get());
            ClosePrintProcessor(h);
            EXPECT_EQ(pageNumbers(output.pages()), command == JOB_CONTROL_RESUME ? "1|2|" : "") << narrow(datatype);
        }
}

// Both datatypes through Wine's spooler on a printer bound to RPQ: printed,
// and the driver's nested RAW job is passed through, never transferred.
TEST(PlaybackSpooler, TextAndEmfJobsPrintAndNothingReachesTheServer) {
    CPrintSetup s({}, uniqueName(L"Playback spooler"));
    ASSERT_TRUE(s.ok());
    std::string text = "a\tb\r\npage 1\r\n\fpage 2\r\n\fpage 3\r\n";
    std::wstring file = binDir() + L"\\" + uniqueName(L"playback") + L".txt";
    ASSERT_TRUE(writeFileBytes(file, text));
    for (const wchar_t* mode : {L"--text", L"--emf"}) {
        COutput output;
        ASSERT_EQ(runCommand(toolPath(L"rpqprint.exe") + L" " + mode + L" --output \"" + output.path() + L"\" \"" +
                             s.printer->name() + L"\" \"" + file + L"\""),
                  0);
        auto pages = output.pages();
        EXPECT_EQ(pageNumbers(pages), "1|2|3|") << narrow(mode);
        ASSERT_FALSE(pages.empty());
        if (wcscmp(mode, L"--text") == 0) {
            const Glyph *a = find(pages[0], 'a'), *b = find(pages[0], 'b');
            ASSERT_TRUE(a && b);
            EXPECT_EQ(columnOf(*b, *a), 8);
        }
    }
    DeleteFileW(file.c_str());
    EXPECT_TRUE(s.requests().empty());
    EXPECT_TRUE(s.storageFiles().empty());
}

// Spool files that Windows spoolers wrote, replayed through Wine's spooler
// on a printer bound to RPQ: every page with its text, nothing to the server.
TEST(PlaybackSpooler, SpoolFilesFromWindowsPlay) {
    CPrintSetup s({}, uniqueName(L"Real spool"));
    ASSERT_TRUE(s.ok());
    struct Case {
        const wchar_t* file;
        size_t pages;
        const char* text;
    } cases[] = {{L"notepad-korean-bw-1p.spl", 1, "Hello"}, {L"word-docx-1p.spl", 1, nullptr}};
    for (const Case& c : cases) {
        std::wstring path = samplesDir() + L"\\emfspool\\" + c.file;
        ASSERT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << narrow(path);
        COutput output;
        ASSERT_EQ(runCommand(toolPath(L"rpqprint.exe") + L" --datatype \"NT EMF 1.008\" --output \"" + output.path() +
                             L"\" \"" + s.printer->name() + L"\" \"" + path + L"\""),
                  0);
        auto pages = output.pages();
        ASSERT_EQ(pages.size(), c.pages) << narrow(c.file);
        size_t glyphs = 0;
        for (const auto& page : pages) glyphs += page.size();
        EXPECT_GT(glyphs, 0u) << narrow(c.file);
        std::string text;
        for (const std::string& line : lines(pages[0])) text += line + "\n";
        if (c.text) {
            EXPECT_NE(text.find(c.text), std::string::npos) << text;
        }
    }
    EXPECT_TRUE(s.requests().empty());
}

// A page with a record put in before its end record (or, with afterEnd,
// after it), its header's byte and record counts kept true.
std::vector<BYTE> withRecord(std::vector<BYTE> page, const std::vector<DWORD>& record, bool afterEnd = false) {
    std::vector<BYTE> bytes(record.size() * 4);
    memcpy(bytes.data(), record.data(), bytes.size());
    DWORD size = 0;
    memcpy(&size, page.data() + 48, 4);
    size_t eof = 0;
    for (size_t at = *reinterpret_cast<DWORD*>(page.data() + 4); at < size; at += *reinterpret_cast<DWORD*>(page.data() + at + 4))
        if (*reinterpret_cast<DWORD*>(page.data() + at) == EMR_EOF) eof = at;
    page.insert(page.begin() + (afterEnd ? size : eof), bytes.begin(), bytes.end());
    *reinterpret_cast<DWORD*>(page.data() + 48) += static_cast<DWORD>(bytes.size());
    *reinterpret_cast<DWORD*>(page.data() + 52) += 1;
    return page;
}

// A rectangle region's data: header and one rectangle.
std::vector<DWORD> regionRecord(DWORD type, DWORD brush) {
    std::vector<DWORD> r = {type, 0, 0, 0, 100, 100, 48, brush};
    if (type == EMR_FRAMERGN) r.insert(r.end(), {2, 2});
    r.insert(r.end(), {32, RDH_RECTANGLES, 1, 16, 0, 0, 100, 100, 0, 0, 100, 100});
    r[1] = static_cast<DWORD>(r.size() * 4);
    return r;
}

// Bitmap and text records made to fault Wine's player, each refused by its
// counts: a bitmap header that lies outside its record (no size given, but
// the player reads it all the same), more bits than the header needs (the
// player copies them into a bitmap made from the header), a spacing array
// the player reads at the record's start, block transfers shorter than their
// structures.
std::vector<std::pair<const char*, std::vector<DWORD>>> craftedBitmapRecords() {
    const DWORD one = 0x3F800000;  // 1.0f
    auto sized = [](std::vector<DWORD> r) {
        r[1] = static_cast<DWORD>(r.size() * 4);
        return r;
    };
    std::vector<DWORD> stretchDib = sized({EMR_STRETCHDIBITS, 0, 0, 0, 10, 10, 0, 0, 0, 0, 1, 1, 0x7FFFFF00, 0, 0, 0, 0,
                                           SRCCOPY, 10, 10});
    std::vector<DWORD> bitBlt = sized({EMR_BITBLT, 0, 0, 0, 10, 10, 0, 0, 10, 10, SRCCOPY, 0, 0, one, 0, 0, one, 0, 0, 0,
                                       DIB_RGB_COLORS, 0x7FFFFF00, 0, 0, 0});
    // A 1x1, 32-bit source with 64 KiB of bits.
    std::vector<DWORD> alpha = {EMR_ALPHABLEND, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0x00FF0000, 0, 0, one, 0, 0, one, 0, 0, 0,
                                DIB_RGB_COLORS, 108, 40, 148, 65536, 1, 1, 40, 1, 1, 1 | (32u << 16), BI_RGB, 0, 0, 0, 0, 0};
    alpha.resize(alpha.size() + 65536 / 4, 0x80808080);
    alpha = sized(alpha);
    std::vector<DWORD> polyText = {EMR_POLYTEXTOUTW, 0, 0, 0, 100, 100, GM_COMPATIBLE, one, one, 1,
                                   0, 0, 1000, 80, 0, 0, 0, 100, 100, 0};
    polyText.resize(polyText.size() + 500, 0x00410041);  // 1,000 characters, no spacing array
    polyText = sized(polyText);
    std::vector<DWORD> shortStretch = sized({EMR_STRETCHBLT, 0, 0, 0, 10, 10, 0, 0, 10, 10, SRCCOPY, 0, 0, one, 0, 0,
                                             one, 0, 0, 0, DIB_RGB_COLORS, 0, 0, 0, 0});
    std::vector<DWORD> mask = sized({EMR_MASKBLT, 0, 0, 0, 10, 10, 0, 0, 10, 10, SRCCOPY, 0, 0, one, 0, 0, one, 0, 0, 0,
                                     DIB_RGB_COLORS, 0, 0, 0, 0, 0, 0, DIB_RGB_COLORS, 0x7FFFFF00, 0, 0, 0});
    // An 8-bit source whose colour table holds 16 of the 256 entries its bit count demands.
    std::vector<DWORD> shortTable = {EMR_STRETCHDIBITS, 0, 0, 0, 4, 1, 0, 0, 0, 0, 4, 1, 80, 40 + 64, 80 + 40 + 64, 4,
                                     DIB_RGB_COLORS, SRCCOPY, 4, 1, 40, 4, 1, 1 | (8u << 16), BI_RGB, 0, 0, 0, 0, 0};
    shortTable.resize(shortTable.size() + 16 + 1, 0x00FFFFFF);
    shortTable = sized(shortTable);
    return {{"STRETCHDIBITS header outside", stretchDib}, {"8-bit bitmap with a short colour table", shortTable}, {"BITBLT header outside", bitBlt},
            {"ALPHABLEND bits beyond the header", alpha}, {"POLYTEXTOUTW without spacing", polyText},
            {"STRETCHBLT of 100 bytes", shortStretch}, {"MASKBLT mask outside", mask}};
}

// Records made to fault Wine's player: a region's brush far past the handle
// table, more points than a polyline holds, a record after the end record.
// Played through Wine's spooler inside the printing program: it survives;
// the page prints without the record, or the job is refused.
TEST(PlaybackSpooler, CraftedRecordsNeverTakeDownTheProgram) {
    CPrintSetup s({}, uniqueName(L"Crafted"));
    ASSERT_TRUE(s.ok());
    HDC reference = CreateCompatibleDC(nullptr);
    std::vector<BYTE> control = boxPage(reference, 2);
    DeleteDC(reference);
    const std::vector<DWORD> polyline = {EMR_POLYLINE16, 36, 0, 0, 100, 100, 100000, 0x00100010, 0x00200020};
    struct Case {
        const char* name;
        std::vector<BYTE> page;
        bool prints;
    } cases[] = {
        {"control", control, true},
        {"FILLRGN brush", withRecord(control, regionRecord(EMR_FILLRGN, 0x7FFFFFF)), true},
        {"FRAMERGN brush", withRecord(control, regionRecord(EMR_FRAMERGN, 0x7FFFFFF)), true},
        {"POLYLINE16 points", withRecord(control, polyline), false},
        {"after EOF", withRecord(control, regionRecord(EMR_FILLRGN, 0x7FFFFFF), true), false},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (const auto& crafted : craftedBitmapRecords()) all.push_back({crafted.first, withRecord(control, crafted.second), false});
    for (const Case& c : all) {
        // The crafted page second: a job refused for one page prints none.
        std::vector<BYTE> stream = c.prints ? spoolStream(L"crafted", nullptr, {c.page})
                                            : spoolStream(L"crafted", nullptr, {control, c.page});
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        std::wstring file = std::wstring(temp) + uniqueName(L"crafted") + L".spl";
        ASSERT_TRUE(writeFileBytes(file, std::string(stream.begin(), stream.end())));
        auto failures = [&] {
            std::string log = s.logText();
            size_t n = 0;
            for (size_t at = log.find("EMF playback of"); at != std::string::npos; at = log.find("EMF playback of", at + 1)) ++n;
            return n;
        };
        size_t before = failures();
        COutput output;
        int rc = runCommand(toolPath(L"rpqprint.exe") + L" --datatype \"NT EMF 1.008\" --output \"" + output.path() +
                            L"\" \"" + s.printer->name() + L"\" \"" + file + L"\"");
        DeleteFileW(file.c_str());
        EXPECT_TRUE(rc == 0 || rc == 1) << c.name << ": the printing program ended with " << rc;
        EXPECT_EQ(output.pages().size(), c.prints ? 1u : 0u) << c.name;
        EXPECT_EQ(failures(), before + (c.prints ? 0 : 1)) << c.name;
    }
    std::vector<BYTE> page = withRecord(control, polyline);
    const char* reason = nullptr;
    EXPECT_FALSE(checkPageRecords(page.data(), page.size(), &reason));
    EXPECT_STREQ(reason, "page record holds more than its size");
    page = withRecord(control, regionRecord(EMR_FILLRGN, 1), true);
    EXPECT_FALSE(checkPageRecords(page.data(), page.size(), &reason));
    EXPECT_STREQ(reason, "page has records after its end record");
    for (const auto& crafted : craftedBitmapRecords()) {
        page = withRecord(control, crafted.second);
        EXPECT_FALSE(checkPageRecords(page.data(), page.size(), &reason)) << crafted.first;
    }
}

// Real metafiles that Windows wrote hold together under the checks (their
// bitmaps' bits are exactly what the headers need).
TEST(SpoolStream, RealMetafilesAsThePlayerReadsThem) {
    for (const auto& c : {std::make_pair(L"snaildev-2-spoolpage.emf", true), std::make_pair(L"snaildev-ppt.emf", true)}) {
        std::string bytes = readFileBytes(samplesDir() + L"\\emf\\" + c.first);
        ASSERT_FALSE(bytes.empty()) << narrow(c.first);
        const char* reason = nullptr;
        bool fits = checkPageRecords(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), &reason);
        EXPECT_EQ(fits, c.second) << narrow(c.first) << ": " << (reason ? reason : "");
    }
}

// What the same records hold when they are sound still plays: a block
// transfer without a source (offBmi 0), a spacing array that is there, a
// source whose bits are exactly what its header needs.
TEST(SpoolStream, SoundBitmapAndTextRecordsPass) {
    HDC reference = CreateCompatibleDC(nullptr);
    std::vector<BYTE> control = boxPage(reference, 2);
    DeleteDC(reference);
    for (auto crafted : craftedBitmapRecords()) {
        std::vector<DWORD>& r = crafted.second;
        std::string name = crafted.first;
        if (name.rfind("BITBLT", 0) == 0) r[21] = 0;                      // offBmi 0: no source
        else if (name.rfind("ALPHABLEND", 0) == 0) { r[24] = 4; r.resize(37 + 1); r[1] = 38 * 4; }  // one pixel's bits
        else if (name.rfind("POLYTEXTOUTW", 0) == 0) {                    // 1,000 spacings after the text
            r[19] = static_cast<DWORD>(r.size() * 4);
            r.resize(r.size() + 1000, 8);
            r[1] = static_cast<DWORD>(r.size() * 4);
        } else if (name.rfind("STRETCHBLT", 0) == 0) { r.insert(r.end(), {10, 10}); r[1] = static_cast<DWORD>(r.size() * 4); }
        else continue;
        std::vector<BYTE> page = withRecord(control, r);
        const char* reason = nullptr;
        EXPECT_TRUE(checkPageRecords(page.data(), page.size(), &reason)) << name << ": " << (reason ? reason : "");
    }
}

// A Windows pool file (64 KiB: its complete page, then a page-data record of
// size 0 and zeros) gives its page; each real page holds together, and a
// page header with huge counts is refused before any player sees it.
TEST(SpoolStream, PoolFilesAndPageHeaders) {
    std::string bytes = readFileBytes(samplesDir() + L"\\emfspool\\receipt-hd80-pooled-1p.spl");
    ASSERT_EQ(bytes.size(), 65536u);
    SpoolStream parsed;
    const char* reason = nullptr;
    auto data = reinterpret_cast<const BYTE*>(bytes.data());
    ASSERT_TRUE(parseSpoolStream(data, bytes.size(), &parsed, &reason)) << reason;
    ASSERT_EQ(parsed.pages.size(), 1u);
    std::vector<BYTE> page(data + parsed.pages[0].offset, data + parsed.pages[0].offset + parsed.pages[0].size);
    EXPECT_TRUE(checkPageRecords(page.data(), page.size(), &reason)) << reason;
    for (size_t at : {52u, 68u}) {  // nRecords, nPalEntries (nHandles is a WORD: any value plays)
        std::vector<BYTE> huge = page;
        memset(huge.data() + at, 0xFF, 4);
        EXPECT_FALSE(checkPageRecords(huge.data(), huge.size(), &reason)) << at;
    }
    std::vector<BYTE> cut(page.begin(), page.begin() + page.size() / 2);  // nBytes past the end
    EXPECT_FALSE(checkPageRecords(cut.data(), cut.size(), &reason));

    // The stock colour space every real page selects, and handle indices out of range.
    BYTE record[12] = {};
    auto* r = reinterpret_cast<ENHMETARECORD*>(record);
    r->nSize = 12;
    r->iType = EMR_SETCOLORSPACE;
    r->dParm[0] = 0x80000014;
    EXPECT_FALSE(isPlayableRecord(r, 4));
    r->iType = EMR_SELECTOBJECT;
    r->dParm[0] = 0x80000000 | BLACK_PEN;
    EXPECT_TRUE(isPlayableRecord(r, 4));  // a stock object the player selects itself
    r->dParm[0] = 0x80000100;
    EXPECT_FALSE(isPlayableRecord(r, 4));
    r->iType = EMR_DELETEOBJECT;
    r->dParm[0] = 4;
    EXPECT_FALSE(isPlayableRecord(r, 4));
    r->dParm[0] = 3;
    EXPECT_TRUE(isPlayableRecord(r, 4));
    r->iType = EMR_LINETO;
    r->dParm[0] = 0x80000014;
    EXPECT_TRUE(isPlayableRecord(r, 4));  // no handle in it
}

// The stream reader on its own: what it accepts and what it refuses.
TEST(SpoolStream, PagesRecordsAndDamage) {
    HDC dc = CreateCompatibleDC(nullptr);
    std::vector<BYTE> page = drawPage(dc, "x\n");
    DeleteDC(dc);
    ASSERT_FALSE(page.empty());
    DEVMODEW mode = {};
    mode.dmSize = sizeof(mode);
    std::vector<BYTE> stream = spoolStream(L"doc", &mode, {page, page});
    // A legacy whole-page record and an unknown one after the pages.
    auto record = [&](DWORD id, const std::vector<BYTE>& data) {
        DWORD head[2] = {id, static_cast<DWORD>(data.size())};
        stream.insert(stream.end(), reinterpret_cast<BYTE*>(head), reinterpret_cast<BYTE*>(head) + 8);
        stream.insert(stream.end(), data.begin(), data.end());
        stream.resize((stream.size() + 3) & ~size_t(3));
    };
    record(kRecordMetafile, page);
    record(99, {1, 2, 3});
    SpoolStream parsed;
    const char* reason = nullptr;
    ASSERT_TRUE(parseSpoolStream(stream.data(), stream.size(), &parsed, &reason)) << reason;
    ASSERT_EQ(parsed.pages.size(), 3u);
    EXPECT_EQ(parsed.pages[0].size, page.size());
    EXPECT_EQ(memcmp(stream.data() + parsed.pages[2].offset, page.data(), page.size()), 0);
    EXPECT_EQ(parsed.pages[1].devMode->dmSize, sizeof(DEVMODEW));

    std::vector<BYTE> good = spoolStream(L"doc", nullptr, {page});
    auto refused = [&](std::vector<BYTE> bytes) {
        SetLastError(0);
        return !parseSpoolStream(bytes.data(), bytes.size(), &parsed, &reason) && GetLastError() == ERROR_INVALID_DATA;
    };
    std::vector<BYTE> v = good;
    v[2] = 2;  // not the stream's version
    EXPECT_TRUE(refused(v));
    EXPECT_TRUE(refused(std::vector<BYTE>(good.begin(), good.end() - 4)));  // cut short
    v = good;
    v[v.size() - 8] ^= 1;  // the extension record points elsewhere
    EXPECT_TRUE(refused(v));
    v = good;
    v.resize(v.size() - 16);  // page data without its extension record
    EXPECT_TRUE(refused(v));
}

// Double-byte characters of code page 932 (the entry text_dbcs runs this
// under a Japanese locale): a pair never splits at a line's end, also when
// its lead byte ends one read of the job and its trail byte starts the next.
TEST(TextLayoutDbcs, PairsStayWhole) {
    if (GetACP() != 932) GTEST_SKIP() << "needs code page 932";
    HDC dc = CreateEnhMetaFileW(nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(dc, nullptr);
    CTextPrinter printer(dc, 10, 20, 10, 5, 8);  // cells of 10 x 20, 10 to a line
    printer.startCopy();
    const std::string reads[] = {"xxxxxxxxx\x82\x60y\r\nxxxxxxxx\x82\x60\r\nxxxxxxxxx\x82", "\x60z"};
    for (const std::string& read : reads) ASSERT_TRUE(printer.print(read.data(), read.size()));
    ASSERT_TRUE(printer.finishCopy());
    unique_hemf emf(CloseEnhMetaFile(dc));
    std::vector<std::wstring> drawn;  // "x,y:text" per text record
    EnumEnhMetaFile(
        nullptr, emf.get(),
        [](HDC, HANDLETABLE*, const ENHMETARECORD* record, int, LPARAM out) -> int {
            if (record->iType != EMR_EXTTEXTOUTW) return 1;
            auto* text = reinterpret_cast<const EMREXTTEXTOUTW*>(record);
            auto* chars = reinterpret_cast<const wchar_t*>(reinterpret_cast<const BYTE*>(record) + text->emrtext.offString);
            reinterpret_cast<std::vector<std::wstring>*>(out)->push_back(
                std::to_wstring(text->emrtext.ptlReference.x) + L"," + std::to_wstring(text->emrtext.ptlReference.y) + L":" +
                std::wstring(chars, text->emrtext.nChars));
            return 1;
        },
        &drawn, nullptr);
    const std::wstring wide = L"\xFF21";  // FULLWIDTH LATIN CAPITAL LETTER A: 0x82 0x60 in code page 932
    EXPECT_EQ(drawn, (std::vector<std::wstring>{L"0,0:xxxxxxxxx", L"0,20:" + wide + L"y", L"0,40:xxxxxxxx" + wide,
                                                L"0,60:xxxxxxxxx", L"0,80:" + wide + L"z"}));
}

TEST(EmfLayout, SideOrders) {
    EXPECT_EQ(bookletSides(4, true, false), (SideList{{1, 4}, {2, 3}}));
    EXPECT_EQ(bookletSides(5, false, true), (SideList{{8, 1}, {2, 7}, {6, 3}, {4, 5}}));
    EXPECT_EQ(reverseSides(5, 2, false, false), (SideList{{5, 6}, {3, 4}, {1, 2}}));
    // Duplex, sides of each sheet swapped: every sheet front first.
    EXPECT_EQ(reverseSides(3, 1, true, true), (SideList{{3}, {4}, {1}, {2}}));
    SheetMetrics sheet = {2329, 3358, 2479, 3508, 75, 75};
    PageCell cell = nupCell(3, 4, 0, sheet, false);  // right then down: bottom left
    EXPECT_LT(cell.cell.right, 2329 / 2 + 1);
    EXPECT_GT(cell.cell.top, 3358 / 2 - 1);
    EXPECT_FALSE(cell.turned);
    EXPECT_TRUE(nupCell(1, 2, 0, sheet, false).turned);
}
}  // namespace
