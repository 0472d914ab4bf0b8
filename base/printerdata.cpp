#include "base/printerdata.h"
#include "base/unique.h"

std::vector<BYTE> printerDefaultMode(LPWSTR printerName) {
    std::vector<BYTE> mode;
    unique_printer printer;
    if (!OpenPrinterW(printerName, printer.put(), nullptr)) return mode;
    LONG size = DocumentPropertiesW(nullptr, printer.get(), printerName, nullptr, nullptr, 0);
    if (size <= 0) return mode;
    mode.assign(static_cast<size_t>(size), 0);
    if (DocumentPropertiesW(nullptr, printer.get(), printerName, reinterpret_cast<DEVMODEW*>(mode.data()), nullptr,
                            DM_OUT_BUFFER) != IDOK)
        mode.clear();
    return mode;
}

bool readPrinterDword(HANDLE printer, const wchar_t* name, DWORD* value) {
    DWORD type = 0, needed = 0;
    *value = 0;
    return GetPrinterDataW(printer, const_cast<LPWSTR>(name), &type, reinterpret_cast<BYTE*>(value), sizeof(*value),
                           &needed) == ERROR_SUCCESS;
}
