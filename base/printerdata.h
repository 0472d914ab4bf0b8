// A printer's default DEVMODE and its 4-byte printer data values.
#pragma once
#include <windows.h>
#include <vector>

// The printer's default DEVMODE (dmSize plus dmDriverExtra bytes); empty
// when the printer cannot be opened or has none.
std::vector<BYTE> printerDefaultMode(LPWSTR printerName);
// A REG_DWORD-sized printer data value; false when it is not there.
bool readPrinterDword(HANDLE printer, const wchar_t* name, DWORD* value);
