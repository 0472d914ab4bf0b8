#include "emfspool/recordsizes.h"
#include <cstdint>
#include "base/spoolformat.h"

namespace {
using u64 = uint64_t;
// Not in every system header: EMR_SMALLTEXTOUT and its option bits.
constexpr DWORD kSmallTextOut = 108;
constexpr DWORD kNoRect = 0x100, kSmallChars = 0x200;

DWORD at(const BYTE* record, size_t offset) { return readDword(record + offset); }

// Fields up to end exist, and the block [offset, offset + length) is inside.
bool inside(size_t size, u64 offset, u64 length) { return offset <= size && length <= size - offset; }

// Region data: its header and nCount rectangles within cb bytes.
bool regionFits(const BYTE* record, size_t size, size_t dataAt, DWORD cb, bool emptyAllowed) {
    if (cb == 0) return emptyAllowed;
    if (!inside(size, dataAt, cb) || cb < sizeof(RGNDATAHEADER)) return false;
    u64 count = at(record, dataAt + 8);
    return at(record, dataAt) >= sizeof(RGNDATAHEADER) && sizeof(RGNDATAHEADER) + count * 16 <= cb;
}

// Whether a record may carry no bitmap: for block transfers Wine's player
// looks at offBmi alone (0: none); a pen's brush bitmap is none when cbBmi
// is 0; every other kind has its header read at offBmi, whatever cbBmi says.
enum class Source { Optional, OptionalBySize, Required };

// A bitmap's header, colour table and bits within the record and their own
// byte counts; the bits no more than the header's size and format need (the
// player copies cbBits bytes into a bitmap made from the header).
bool bitmapFits(const BYTE* record, size_t size, size_t fieldsAt, DWORD usage, Source source = Source::Required) {
    if (!inside(size, fieldsAt, 16)) return false;
    DWORD offBmi = at(record, fieldsAt), cbBmi = at(record, fieldsAt + 4);
    DWORD offBits = at(record, fieldsAt + 8), cbBits = at(record, fieldsAt + 12);
    if (offBmi == 0 && source == Source::Optional) return true;  // no source bitmap: nothing of it is read
    if (cbBmi == 0 && source == Source::OptionalBySize) return cbBits == 0 || inside(size, offBits, cbBits);
    if (!inside(size, offBmi, cbBmi) || !inside(size, offBits, cbBits)) return false;
    if (cbBmi < sizeof(BITMAPCOREHEADER)) return false;
    const BYTE* header = record + offBmi;
    DWORD headerSize = readDword(header);
    if (headerSize > cbBmi) return false;
    u64 width, height, bpp, compression = BI_RGB, used = 0, image = 0;
    if (headerSize == sizeof(BITMAPCOREHEADER)) {
        width = *reinterpret_cast<const WORD*>(header + 4);
        height = *reinterpret_cast<const WORD*>(header + 6);
        bpp = *reinterpret_cast<const WORD*>(header + 10);
    } else if (headerSize >= sizeof(BITMAPINFOHEADER)) {
        auto info = reinterpret_cast<const BITMAPINFOHEADER*>(header);
        if (info->biWidth < 0) return false;
        width = static_cast<u64>(info->biWidth);
        height = info->biHeight < 0 ? static_cast<u64>(-static_cast<int64_t>(info->biHeight)) : static_cast<u64>(info->biHeight);
        bpp = info->biBitCount;
        compression = info->biCompression;
        used = info->biClrUsed;
        image = info->biSizeImage;
    } else {
        return false;
    }
    if (bpp <= 8 && bpp != 0) {
        u64 colours = used ? used : (u64(1) << bpp);
        u64 entry = usage == DIB_PAL_COLORS ? 2 : (headerSize == sizeof(BITMAPCOREHEADER) ? 3 : 4);
        if (headerSize + colours * entry > cbBmi) return false;
    }
    if (compression == BI_RGB || compression == BI_BITFIELDS) {
        if (compression == BI_BITFIELDS && headerSize == sizeof(BITMAPINFOHEADER) && headerSize + 12 > cbBmi) return false;
        u64 stride = ((width * bpp + 31) / 32) * 4;
        return stride * height == cbBits;
    }
    return image != 0 && image == cbBits;  // a compressed image's size is known only from its header
}

bool textFits(const BYTE* record, size_t size, size_t textAt, bool wide, DWORD options, bool spacingRequired = false) {
    if (!inside(size, textAt, 40)) return false;
    u64 chars = at(record, textAt + 8), offString = at(record, textAt + 12), offDx = at(record, textAt + 36);
    if (chars == 0) return true;
    if (!inside(size, offString, chars * (wide ? 2 : 1))) return false;
    u64 perChar = (options & ETO_PDY) ? 8 : 4;
    // No spacing array is offDx 0, except where the player reads one always.
    if (offDx == 0) return !spacingRequired;
    return inside(size, offDx, chars * perChar);
}

bool polyCountsFit(const BYTE* record, size_t size, u64 pointSize) {
    if (size < 32) return false;
    u64 polys = at(record, 24), points = at(record, 28);
    if (!inside(size, 32, polys * 4 + points * pointSize)) return false;
    u64 total = 0;
    for (u64 i = 0; i < polys; ++i) total += at(record, 32 + i * 4);
    return total <= points;
}
}  // namespace

bool recordFitsItsCounts(const BYTE* record, size_t size) {
    switch (at(record, 0)) {
    case EMR_POLYBEZIER: case EMR_POLYGON: case EMR_POLYLINE: case EMR_POLYBEZIERTO: case EMR_POLYLINETO:
        return size >= 28 && inside(size, 28, u64(at(record, 24)) * 8);
    case EMR_POLYBEZIER16: case EMR_POLYGON16: case EMR_POLYLINE16: case EMR_POLYBEZIERTO16: case EMR_POLYLINETO16:
        return size >= 28 && inside(size, 28, u64(at(record, 24)) * 4);
    case EMR_POLYPOLYLINE: case EMR_POLYPOLYGON:
        return polyCountsFit(record, size, 8);
    case EMR_POLYPOLYLINE16: case EMR_POLYPOLYGON16:
        return polyCountsFit(record, size, 4);
    case EMR_POLYDRAW:
        return size >= 28 && inside(size, 28, u64(at(record, 24)) * 9);
    case EMR_POLYDRAW16:
        return size >= 28 && inside(size, 28, u64(at(record, 24)) * 5);
    case EMR_INVERTRGN: case EMR_PAINTRGN:
        return size >= 28 && regionFits(record, size, 28, at(record, 24), false);
    case EMR_FILLRGN:
        return size >= 32 && regionFits(record, size, 32, at(record, 24), false);
    case EMR_FRAMERGN:
        return size >= 40 && regionFits(record, size, 40, at(record, 24), false);
    case EMR_EXTSELECTCLIPRGN:
        return size >= 16 && regionFits(record, size, 16, at(record, 8), true);
    case EMR_EXTTEXTOUTA: case EMR_EXTTEXTOUTW:
        return size >= 76 && textFits(record, size, 36, at(record, 0) == EMR_EXTTEXTOUTW, at(record, 52));
    case EMR_POLYTEXTOUTA: case EMR_POLYTEXTOUTW: {
        if (size < 40) return false;
        u64 strings = at(record, 36);
        if (!inside(size, 40, strings * 40)) return false;
        for (u64 i = 0; i < strings; ++i)
            if (!textFits(record, size, 40 + i * 40, at(record, 0) == EMR_POLYTEXTOUTW, at(record, 40 + i * 40 + 16), true))
                return false;
        return true;
    }
    case kSmallTextOut: {
        if (size < 36) return false;
        DWORD chars = at(record, 16), options = at(record, 20);
        u64 textAt = (options & kNoRect) ? 36 : 52;
        return inside(size, textAt, u64(chars) * ((options & kSmallChars) ? 1 : 2));
    }
    case EMR_BITBLT:
        return size >= 100 && bitmapFits(record, size, 84, at(record, 80), Source::Optional);
    case EMR_STRETCHBLT:
        return size >= 108 && bitmapFits(record, size, 84, at(record, 80), Source::Optional);
    case EMR_ALPHABLEND: case EMR_TRANSPARENTBLT:
        return size >= 108 && bitmapFits(record, size, 84, at(record, 80));
    case EMR_MASKBLT:
        return size >= 128 && bitmapFits(record, size, 84, at(record, 80)) && bitmapFits(record, size, 112, at(record, 108));
    case EMR_PLGBLT:
        return size >= 140 && bitmapFits(record, size, 96, at(record, 92)) && bitmapFits(record, size, 124, at(record, 120));
    case EMR_SETDIBITSTODEVICE:
        return size >= 76 && bitmapFits(record, size, 48, at(record, 64));
    case EMR_STRETCHDIBITS:
        return size >= 80 && bitmapFits(record, size, 48, at(record, 64));
    case EMR_CREATEMONOBRUSH: case EMR_CREATEDIBPATTERNBRUSHPT:
        return size >= 32 && bitmapFits(record, size, 16, at(record, 12));
    case EMR_EXTCREATEPEN:
        return size >= 52 && bitmapFits(record, size, 12, DIB_RGB_COLORS, Source::OptionalBySize) &&
               inside(size, 52, u64(at(record, 48)) * 4);
    case EMR_GRADIENTFILL: {
        if (size < 36) return false;
        u64 vertices = at(record, 24), shapes = at(record, 28);
        bool triangles = at(record, 32) == GRADIENT_FILL_TRIANGLE;
        u64 shapeSize = triangles ? 12 : 8;
        if (!inside(size, 36, vertices * 16 + shapes * shapeSize)) return false;
        for (u64 i = 0; i < shapes * (shapeSize / 4); ++i)
            if (at(record, 36 + vertices * 16 + i * 4) >= vertices) return false;
        return true;
    }
    case EMR_CREATEPALETTE:
        return size >= 16 && inside(size, 16, u64(*reinterpret_cast<const WORD*>(record + 14)) * 4);
    case EMR_SETPALETTEENTRIES:
        return size >= 20 && inside(size, 20, u64(at(record, 16)) * 4);
    case EMR_CREATEPEN:
        return size >= 28;
    case EMR_CREATEBRUSHINDIRECT:
        return size >= 24;
    case EMR_EXTCREATEFONTINDIRECTW:
        return size >= 12 + sizeof(LOGFONTW);
    case EMR_GDICOMMENT:
        return size >= 12 && inside(size, 12, at(record, 8));
    case EMR_SETICMPROFILEA: case EMR_SETICMPROFILEW:
        return size >= 20 && inside(size, 20, u64(at(record, 12)) + at(record, 16));
    default:
        return true;
    }
}
