// Where EMF pages go: the order of sheet sides for reverse and booklet
// printing, and the n-up cell of a page on its side.
#pragma once
#include <windows.h>
#include <vector>

using SideList = std::vector<std::vector<DWORD>>;  // per side, its page numbers (1-based)

bool validPagesPerSide(DWORD pagesPerSide);

// Booklet sides for pageCount pages, two pages per side.
SideList bookletSides(DWORD pageCount, bool bindRight, bool shortEdge);
// Sides from the last to the first; with swapSheetSides the two sides of
// each duplex sheet change places so that each sheet plays front first.
SideList reverseSides(DWORD pageCount, DWORD pagesPerSide, bool duplex, bool swapSheetSides);

struct SheetMetrics {
    int width, height;                  // printable area, device units
    int physicalWidth, physicalHeight;  // the whole sheet
    int offsetX, offsetY;               // unprintable margins
};

struct PageCell {
    RECT cell;    // where the page is drawn (in page space when turned)
    RECT clip;    // cell less one unit at right and bottom
    bool turned;  // played with a 90-degree world transform
    XFORM transform;  // page space to device space when turned
};

// The cell of page (1-based) among pagesPerSide on a side. pageLandscape:
// the page's own shape is wider than high.
PageCell nupCell(DWORD page, DWORD pagesPerSide, int direction, const SheetMetrics& sheet, bool pageLandscape);
