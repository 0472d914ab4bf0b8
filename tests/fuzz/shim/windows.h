// The few Windows types, constants and calls the byte readers under fuzzing
// use, for a native build with clang. Values are the system headers' own;
// structures keep Windows' layout (WCHAR is 16 bits there).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <strings.h>

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int BOOL;
typedef char16_t WCHAR;
typedef const wchar_t* LPCWSTR;
typedef wchar_t* LPWSTR;
typedef void* HANDLE;
typedef uint32_t UINT;
#define TRUE 1
#define FALSE 0
#define WINAPI
#define CALLBACK

constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_NO_DATA = 232;
constexpr DWORD ERROR_INVALID_DATA = 13;

inline thread_local DWORD g_lastError = 0;
inline void SetLastError(DWORD error) { g_lastError = error; }
inline DWORD GetLastError() { return g_lastError; }

inline int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t n) { return wcsncasecmp(a, b, n); }
inline int _wcsicmp(const wchar_t* a, const wchar_t* b) { return wcscasecmp(a, b); }

// The ANSI code page taken as Latin-1: one wide character per byte.
constexpr UINT CP_ACP = 0;
inline int MultiByteToWideChar(UINT, DWORD, const char* text, int length, wchar_t* out, int capacity) {
    if (length < 0) length = static_cast<int>(strlen(text)) + 1;
    if (!out || capacity == 0) return length;
    if (capacity < length) return 0;
    for (int i = 0; i < length; ++i) out[i] = static_cast<unsigned char>(text[i]);
    return length;
}

// DEVMODEW as Windows lays it out (220 bytes).
typedef struct _devicemodeW {
    WCHAR dmDeviceName[32];
    WORD dmSpecVersion, dmDriverVersion, dmSize, dmDriverExtra;
    DWORD dmFields;
    short dmOrientation, dmPaperSize, dmPaperLength, dmPaperWidth, dmScale, dmCopies, dmDefaultSource, dmPrintQuality;
    short dmColor, dmDuplex, dmYResolution, dmTTOption, dmCollate;
    WCHAR dmFormName[32];
    WORD dmLogPixels;
    DWORD dmBitsPerPel, dmPelsWidth, dmPelsHeight, dmDisplayFlags, dmDisplayFrequency, dmICMMethod, dmICMIntent,
        dmMediaType, dmDitherType, dmReserved1, dmReserved2, dmPanningWidth, dmPanningHeight;
} DEVMODEW, *PDEVMODEW, *LPDEVMODEW;
static_assert(sizeof(DEVMODEW) == 220, "Windows' DEVMODEW layout");
constexpr DWORD DM_COLLATE = 0x00008000;

typedef struct tagENHMETARECORD {
    DWORD iType;
    DWORD nSize;
    DWORD dParm[1];
} ENHMETARECORD;
constexpr DWORD ENHMETA_SIGNATURE = 0x464D4520;
constexpr DWORD STOCK_LAST = 19;
constexpr DWORD DEFAULT_PALETTE = 15;
enum : DWORD {
    EMR_HEADER = 1, EMR_EOF = 14, EMR_SELECTOBJECT = 37, EMR_CREATEPEN = 38, EMR_CREATEBRUSHINDIRECT = 39,
    EMR_DELETEOBJECT = 40, EMR_SELECTPALETTE = 48, EMR_CREATEPALETTE = 49, EMR_SETPALETTEENTRIES = 50,
    EMR_RESIZEPALETTE = 51, EMR_EXTCREATEFONTINDIRECTW = 82, EMR_CREATEMONOBRUSH = 93, EMR_CREATEDIBPATTERNBRUSHPT = 94,
    EMR_EXTCREATEPEN = 95, EMR_CREATECOLORSPACE = 99, EMR_SETCOLORSPACE = 100, EMR_DELETECOLORSPACE = 101,
    EMR_COLORCORRECTPALETTE = 111, EMR_CREATECOLORSPACEW = 122,
    EMR_POLYBEZIER = 2, EMR_POLYGON = 3, EMR_POLYLINE = 4, EMR_POLYBEZIERTO = 5, EMR_POLYLINETO = 6,
    EMR_POLYPOLYLINE = 7, EMR_POLYPOLYGON = 8, EMR_POLYDRAW = 56,
    EMR_GDICOMMENT = 70, EMR_FILLRGN = 71, EMR_FRAMERGN = 72, EMR_INVERTRGN = 73, EMR_PAINTRGN = 74,
    EMR_EXTSELECTCLIPRGN = 75, EMR_BITBLT = 76, EMR_STRETCHBLT = 77, EMR_MASKBLT = 78, EMR_PLGBLT = 79,
    EMR_SETDIBITSTODEVICE = 80, EMR_STRETCHDIBITS = 81, EMR_EXTTEXTOUTA = 83, EMR_EXTTEXTOUTW = 84,
    EMR_POLYBEZIER16 = 85, EMR_POLYGON16 = 86, EMR_POLYLINE16 = 87, EMR_POLYBEZIERTO16 = 88, EMR_POLYLINETO16 = 89,
    EMR_POLYPOLYLINE16 = 90, EMR_POLYPOLYGON16 = 91, EMR_POLYDRAW16 = 92, EMR_POLYTEXTOUTA = 96,
    EMR_POLYTEXTOUTW = 97, EMR_SETICMPROFILEA = 112, EMR_SETICMPROFILEW = 113,
    EMR_ALPHABLEND = 114, EMR_TRANSPARENTBLT = 116, EMR_GRADIENTFILL = 118,
};
constexpr DWORD ETO_PDY = 0x2000;
constexpr DWORD BI_RGB = 0, BI_BITFIELDS = 3, DIB_RGB_COLORS = 0, DIB_PAL_COLORS = 1, GRADIENT_FILL_TRIANGLE = 2;
typedef struct { DWORD dwSize, iType, nCount, nRgnSize; LONG left, top, right, bottom; } RGNDATAHEADER;
typedef struct { DWORD bcSize; WORD bcWidth, bcHeight, bcPlanes, bcBitCount; } BITMAPCOREHEADER;
typedef struct {
    DWORD biSize;
    LONG biWidth, biHeight;
    WORD biPlanes, biBitCount;
    DWORD biCompression, biSizeImage;
    LONG biXPelsPerMeter, biYPelsPerMeter;
    DWORD biClrUsed, biClrImportant;
} BITMAPINFOHEADER;
typedef struct { BYTE bytes[92]; } LOGFONTW;  // only its size is read
static_assert(sizeof(RGNDATAHEADER) == 32 && sizeof(BITMAPCOREHEADER) == 12 && sizeof(BITMAPINFOHEADER) == 40,
              "Windows' layouts");

constexpr size_t MAX_PATH = 260;

// GDI as the TEXT layout draws: the fuzz target checks each call it receives.
typedef struct HDC__* HDC;
bool fuzzTextOut(int x, int y, const char* text, int count);  // defined by the target
inline BOOL TextOutA(HDC, int x, int y, const char* text, int count) { return fuzzTextOut(x, y, text, count); }
inline int StartPage(HDC) { return 1; }
inline int EndPage(HDC) { return 1; }
// Lead bytes as in a double-byte code page (932's ranges).
inline BOOL IsDBCSLeadByte(BYTE c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
