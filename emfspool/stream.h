// The EMF spool stream a job of datatype "NT EMF 1.00x" carries: a header,
// then records {ulID, cjSize, data} padded to 4 bytes. Pages are whole
// enhanced metafiles; a DEVMODE record applies to the pages after it.
#pragma once
#include <windows.h>
#include <cstdint>
#include <vector>
#include "base/spoolformat.h"

struct SpoolPage {
    size_t offset;  // of the enhanced metafile's bytes in the stream
    size_t size;
    const DEVMODEW* devMode;  // in force for this page, or null
};

struct SpoolStream {
    std::vector<SpoolPage> pages;
};

// Lists the pages of a stream. False, with ERROR_INVALID_DATA as the last
// error and the reason in *reason, when the stream is damaged.
bool parseSpoolStream(const BYTE* bytes, size_t size, SpoolStream* stream, const char** reason);
