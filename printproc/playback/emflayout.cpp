#include "printproc/playback/emflayout.h"
#include <utility>

bool validPagesPerSide(DWORD n) { return n == 1 || n == 2 || n == 4 || n == 6 || n == 9 || n == 16; }

SideList bookletSides(DWORD pageCount, bool bindRight, bool shortEdge) {
    DWORD total = (pageCount + 3) / 4 * 4;
    SideList sides;
    for (DWORD i = 0; i < total / 2; ++i) {
        DWORD high = total - i, low = i + 1;
        std::vector<DWORD> side = bindRight ? std::vector<DWORD>{low, high} : std::vector<DWORD>{high, low};
        if (shortEdge && i % 2 == 1) std::swap(side[0], side[1]);
        sides.push_back(side);
    }
    return sides;
}

SideList reverseSides(DWORD pageCount, DWORD pagesPerSide, bool duplex, bool swapSheetSides) {
    DWORD sidesPerSheet = duplex ? 2 : 1;
    DWORD perSheet = pagesPerSide * sidesPerSheet;
    DWORD sideCount = (pageCount + perSheet - 1) / perSheet * sidesPerSheet;
    SideList sides;
    for (DWORD s = sideCount; s-- > 0;) {
        std::vector<DWORD> side;
        for (DWORD k = 1; k <= pagesPerSide; ++k) side.push_back(s * pagesPerSide + k);
        sides.push_back(side);
    }
    if (duplex && swapSheetSides)
        for (size_t i = 0; i + 1 < sides.size(); i += 2) std::swap(sides[i], sides[i + 1]);
    return sides;
}

namespace {
int baseCount(DWORD n) {
    switch (n) {
    case 2: case 4: return 2;
    case 6: case 9: return 3;
    case 16: return 4;
    default: return 1;
    }
}
}  // namespace

PageCell nupCell(DWORD page, DWORD n, int direction, const SheetMetrics& sheet, bool pageLandscape) {
    PageCell result = {};
    int base = baseCount(n);
    int rows = sheet.height > sheet.width ? base : static_cast<int>(n) / base;
    int cols = static_cast<int>(n) / rows;
    int k = static_cast<int>((page - 1) % static_cast<DWORD>(rows * cols));
    int row = 0, col = 0;
    switch (direction) {
    case 1: col = k / rows; row = k % rows; break;
    case 2: row = k / cols; col = cols - 1 - k % cols; break;
    case 3: col = cols - 1 - k / rows; row = k % rows; break;
    default: row = k / cols; col = k % cols; break;
    }
    LONGLONG w = sheet.width - 1, h = sheet.height - 1;
    RECT cell = {static_cast<LONG>(w * col / cols), static_cast<LONG>(h * row / rows),
                 static_cast<LONG>(w * (col + 1) / cols), static_cast<LONG>(h * (row + 1) / rows)};
    double cellW = cell.right - cell.left, cellH = cell.bottom - cell.top;
    // The page's shape: the sheet's, or turned when the page is the other way round.
    double pageW = sheet.width, pageH = sheet.height;
    if (pageLandscape != (sheet.width > sheet.height)) std::swap(pageW, pageH);
    result.turned = (cellW > cellH) != (pageW > pageH) && n > 1;
    if (result.turned) std::swap(pageW, pageH);
    // Keep the page's aspect: shrink one axis, centred.
    if (cellW * pageH > cellH * pageW) {
        double fit = cellH * pageW / pageH;
        cell.left += static_cast<LONG>((cellW - fit) / 2);
        cell.right = cell.left + static_cast<LONG>(fit);
    } else {
        double fit = cellW * pageH / pageW;
        cell.top += static_cast<LONG>((cellH - fit) / 2);
        cell.bottom = cell.top + static_cast<LONG>(fit);
    }
    // Inward by the unprintable margins, in proportion to the cell.
    if (n > 1 && sheet.physicalWidth > 0 && sheet.physicalHeight > 0) {
        LONG dx = static_cast<LONG>(LONGLONG(cell.right - cell.left) * sheet.offsetX / sheet.physicalWidth);
        LONG dy = static_cast<LONG>(LONGLONG(cell.bottom - cell.top) * sheet.offsetY / sheet.physicalHeight);
        InflateRect(&cell, -dx, -dy);
    }
    if (result.turned) {
        // Page space is the cell turned by 90 degrees clockwise.
        LONG width = cell.right - cell.left, height = cell.bottom - cell.top;
        result.transform = {0.0f, 1.0f, -1.0f, 0.0f, static_cast<FLOAT>(cell.right), static_cast<FLOAT>(cell.top)};
        cell = {0, 0, height, width};
    }
    result.cell = cell;
    result.clip = {cell.left, cell.top, cell.right - 1, cell.bottom - 1};
    return result;
}
