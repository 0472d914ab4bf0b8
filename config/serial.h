// The printer's message serial counter ("MsgNo" under its FDXS key).
#pragma once
#include <windows.h>
#include <cstdint>

// Increments the stored counter (wrapping to 0) and gives the new value.
bool getSerialNo(uint32_t* number, const wchar_t* printerName);
