#include "emfspool/stream.h"
#include <cstring>
#include "base/devmode.h"

namespace {
constexpr size_t kHeaderSize = 16;  // dwVersion, cjSize, dpszDocName, dpszOutput
constexpr size_t kRecordHeader = 8;

bool refuse(const char* why, const char** reason) {
    SetLastError(ERROR_INVALID_DATA);
    return refuseInput(why, reason);
}

// Where the stream's trailing zeros begin (size when it ends in another byte):
// found once, from the end, so that the walk stays linear.
size_t zerosFrom(const BYTE* bytes, size_t size) {
    size_t start = size;
    while (start > 0 && bytes[start - 1] == 0) --start;
    return start;
}

bool isMetafile(const BYTE* bytes, size_t size) {
    // EMR_HEADER: iType 1, then nBytes, and the " EMF" signature at 40.
    return size >= 88 && readDword(bytes) == EMR_HEADER && readDword(bytes + 40) == ENHMETA_SIGNATURE &&
           readDword(bytes + 48) <= size;
}
}  // namespace

bool parseSpoolStream(const BYTE* bytes, size_t size, SpoolStream* stream, const char** reason) {
    stream->pages.clear();
    if (size < kHeaderSize || readDword(bytes) != kSpoolStreamVersion) return refuse("no EMF spool header", reason);
    size_t headerSize = readDword(bytes + 4);
    if (headerSize < kHeaderSize || headerSize > size) return refuse("header size out of range", reason);
    const DEVMODEW* devMode = nullptr;
    size_t pendingData = SIZE_MAX;  // start of a data record that waits for its extension record
    size_t offset = (headerSize + 3) & ~size_t(3);
    const size_t tail = zerosFrom(bytes, size);
    while (offset < size) {
        // A pool file's tail: zeros, or a page-data record of size 0 (the
        // next page, never finished). The complete pages before it play.
        if (pendingData == SIZE_MAX && offset >= tail) break;
        if (size - offset < kRecordHeader) return refuse("record header cut short", reason);
        DWORD id = readDword(bytes + offset);
        size_t length = readDword(bytes + offset + 4);
        const BYTE* data = bytes + offset + kRecordHeader;
        if (length > size - offset - kRecordHeader) return refuse("record runs past the end", reason);
        if (pendingData == SIZE_MAX && id == kRecordMetafileData && length == 0) break;
        switch (id) {
        case kRecordDevmode: {
            auto mode = reinterpret_cast<const DEVMODEW*>(data);
            if (length < kMinimumDevmodeSize || size_t(mode->dmSize) + mode->dmDriverExtra > length)
                return refuse("DEVMODE record damaged", reason);
            devMode = mode;
            break;
        }
        case kRecordMetafile:
        case kRecordBwMetafile:
            if (!isMetafile(data, length)) return refuse("page is no enhanced metafile", reason);
            stream->pages.push_back({size_t(data - bytes), length, devMode});
            break;
        case kRecordMetafileData:
            if (pendingData != SIZE_MAX) return refuse("page data without its extension record", reason);
            if (!isMetafile(data, length)) return refuse("page is no enhanced metafile", reason);
            pendingData = offset;
            break;
        case kRecordMetafileExt:
        case kRecordBwMetafileExt: {
            if (length < 8) return refuse("extension record cut short", reason);
            uint64_t back;
            memcpy(&back, data, sizeof(back));
            if (pendingData == SIZE_MAX || back != offset - pendingData)
                return refuse("extension record points at no page data", reason);
            size_t dataLength = readDword(bytes + pendingData + 4);
            stream->pages.push_back({pendingData + kRecordHeader, dataLength, devMode});
            pendingData = SIZE_MAX;
            break;
        }
        default:  // fonts and other records the page data does not need here
            break;
        }
        offset += kRecordHeader + ((length + 3) & ~size_t(3));
    }
    if (pendingData != SIZE_MAX) return refuse("page data without its extension record", reason);
    return true;
}
