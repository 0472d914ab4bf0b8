// rpqprint PRINTER FILE [DOCUMENT-NAME]
// Prints a file unchanged to a printer as one RAW job through winspool.
#include <windows.h>
#include <winspool.h>
#include <cstdio>
#include <vector>
#include "base/unique.h"
#include "tools/toolerror.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3 || argc > 4) {
        fwprintf(stderr, L"usage: rpqprint PRINTER FILE [DOCUMENT-NAME]\n");
        return 2;
    }
    const wchar_t* printerName = argv[1];
    const wchar_t* path = argv[2];
    const wchar_t* docName = argc == 4 ? argv[3] : path;

    unique_hfile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return failWith(L"Opening the file to print", GetLastError());
    unique_printer printer;
    if (!OpenPrinterW(const_cast<LPWSTR>(printerName), printer.put(), nullptr))
        return failWith(L"OpenPrinter", GetLastError());

    DOC_INFO_1W doc = {};
    doc.pDocName = const_cast<LPWSTR>(docName);
    doc.pDatatype = const_cast<LPWSTR>(L"RAW");
    DWORD jobId = StartDocPrinterW(printer.get(), 1, reinterpret_cast<BYTE*>(&doc));
    if (jobId == 0) return failWith(L"StartDocPrinter", GetLastError());

    std::vector<BYTE> buffer(1 << 16);
    unsigned long long total = 0;
    int rc = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            rc = failWith(L"Reading the file", GetLastError());
            break;
        }
        if (got == 0) break;
        DWORD written = 0;
        if (!WritePrinter(printer.get(), buffer.data(), got, &written) || written != got) {
            rc = failWith(L"WritePrinter", GetLastError());
            break;
        }
        total += got;
    }
    // A document cut short by a failure is aborted, never submitted as a job.
    if (rc != 0) AbortPrinter(printer.get());
    else if (!EndDocPrinter(printer.get())) rc = failWith(L"EndDocPrinter", GetLastError());
    if (rc == 0) wprintf(L"printed %llu bytes to \"%ls\" as job %lu \"%ls\"\n", total, printerName, jobId, docName);
    return rc;
}
