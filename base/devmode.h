// What a DEVMODE from a job (any user's) must hold before it is read.
#pragma once
#include <windows.h>

// The public fields up to dmFormName, dmLogPixels and dmBitsPerPel (bytes 0-97).
constexpr WORD kMinimumDevmodeSize = 98;
// dmCollate (bytes 100-101) is part of the DEVMODE from this size on.
constexpr WORD kCollateDevmodeSize = 102;

// At least the minimum size and no larger than the system's DEVMODEW.
inline bool isUsableDevmode(const DEVMODEW* mode) {
    return mode && mode->dmSize >= kMinimumDevmodeSize && mode->dmSize <= sizeof(DEVMODEW);
}
// The DEVMODE's bytes with its driver's extra part.
inline DWORD devmodeBytes(const DEVMODEW* mode) {
    return static_cast<DWORD>(mode->dmSize) + mode->dmDriverExtra;
}
// Whether the DEVMODE carries a collation setting that may be read.
inline bool hasCollate(const DEVMODEW* mode) {
    return mode->dmSize >= kCollateDevmodeSize && (mode->dmFields & DM_COLLATE);
}
