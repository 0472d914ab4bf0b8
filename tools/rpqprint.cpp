// rpqprint [--text | --emf | --datatype NAME] [--output FILE] PRINTER FILE [DOCUMENT-NAME]
// Prints a file to a printer as one job through winspool: unchanged as RAW
// (the default), as TEXT, or as pages of text drawn into an EMF job.
#include <windows.h>
#include <winspool.h>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>
#include "base/printerdata.h"
#include "base/unique.h"
#include "tools/emfstream.h"
#include "tools/toolerror.h"

namespace {
constexpr size_t kLinesPerPage = 60;

int usage() {
    fwprintf(stderr,
             L"usage: rpqprint [--text | --emf | --datatype NAME] [--output FILE] PRINTER FILE [DOCUMENT-NAME]\n"
             L"  RAW by default: the file's bytes unchanged.\n"
             L"  --text    the file as a TEXT job\n"
             L"  --emf     the file's text drawn into pages (form feeds and every %zu lines\n"
             L"            start a page), sent as an EMF job (\"NT EMF 1.008\")\n"
             L"  --datatype NAME  the file's bytes unchanged as a job of that datatype (a spool\n"
             L"            file saved from a Windows spooler: --datatype \"NT EMF 1.008\")\n"
             L"  --output  the file the printer's port writes the job to; without it a\n"
             L"            printer on the port FILE: writes to a temporary file, deleted after\n"
             L"Exit code 0: the job was spooled and its print processor did not report a\n"
             L"failure. Whether RPQ delivered it is told by the notifier and written in the\n"
             L"printer's log (see the administrators' document for what the code shows).\n",
             kLinesPerPage);
    return 2;
}

bool readWhole(HANDLE file, std::string* bytes) {
    std::vector<char> buffer(1 << 16);
    for (DWORD got = 0;;) {
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return false;
        if (got == 0) return true;
        bytes->append(buffer.data(), got);
    }
}

// The text's pages as an EMF spool stream.
int emfStream(LPWSTR printerName, const std::wstring& docName, const std::string& text,
              std::vector<BYTE>* stream, size_t* pageCount) {
    std::vector<BYTE> mode = printerDefaultMode(printerName);
    auto devMode = mode.empty() ? nullptr : reinterpret_cast<DEVMODEW*>(mode.data());
    unique_hdc dc(CreateDCW(L"", printerName, nullptr, devMode));
    if (!dc) return failWith(L"CreateDC on the printer", GetLastError());
    std::vector<std::vector<BYTE>> pages;
    for (const std::string& page : splitPages(text, kLinesPerPage)) {
        pages.push_back(drawPage(dc.get(), page));
        if (pages.back().empty()) return failWith(L"Drawing a page", GetLastError());
    }
    *pageCount = pages.size();
    *stream = spoolStream(docName, devMode, pages);
    return 0;
}
// Whether the printer prints to the port FILE:, which would otherwise write
// a file named "FILE:" into the current folder.
bool printsToFilePort(HANDLE printer) {
    DWORD needed = 0;
    GetPrinterW(printer, 2, nullptr, 0, &needed);
    if (needed == 0) return false;
    std::vector<BYTE> info(needed);
    if (!GetPrinterW(printer, 2, info.data(), needed, &needed)) return false;
    const wchar_t* port = reinterpret_cast<PRINTER_INFO_2W*>(info.data())->pPortName;
    return port && _wcsicmp(port, L"FILE:") == 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring datatype = L"RAW", output;
    int i = 1;
    for (; i < argc && argv[i][0] == L'-' && argv[i][1] == L'-'; ++i) {
        if (!wcscmp(argv[i], L"--text")) datatype = L"TEXT";
        else if (!wcscmp(argv[i], L"--emf")) datatype = L"NT EMF 1.008";
        else if (!wcscmp(argv[i], L"--datatype") && i + 1 < argc) datatype = std::wstring(L"=") + argv[++i];
        else if (!wcscmp(argv[i], L"--output") && i + 1 < argc) output = argv[++i];
        else return usage();
    }
    if (argc - i < 2 || argc - i > 3) return usage();
    LPWSTR printerName = argv[i];
    const wchar_t* path = argv[i + 1];
    std::wstring docName = argc - i == 3 ? argv[i + 2] : path;

    unique_hfile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return failWith(L"Opening the file to print", GetLastError());
    unique_printer printer;
    if (!OpenPrinterW(printerName, printer.put(), nullptr)) return failWith(L"OpenPrinter", GetLastError());

    std::vector<BYTE> stream;
    size_t pages = 0;
    // "=" marks a datatype given by --datatype: the file's bytes go as they are.
    bool asIs = datatype[0] == L'=';
    if (asIs) datatype.erase(0, 1);
    if (datatype == L"NT EMF 1.008" && !asIs) {
        std::string text;
        if (!readWhole(file.get(), &text)) return failWith(L"Reading the file", GetLastError());
        if (int rc = emfStream(printerName, docName, text, &stream, &pages)) return rc;
    }

    // Under Wine the port FILE: writes a file named "FILE:" into the current folder.
    std::wstring scratch;
    if (output.empty() && printsToFilePort(printer.get())) {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        scratch = std::wstring(temp) + L"rpqprint-" + std::to_wstring(GetCurrentProcessId()) + L".prn";
        output = scratch;
    }
    struct CScratch {
        const std::wstring& path;
        ~CScratch() {
            if (!path.empty()) DeleteFileW(path.c_str());
        }
    } deleteScratch{scratch};
    DOC_INFO_1W doc = {};
    doc.pDocName = const_cast<LPWSTR>(docName.c_str());
    doc.pOutputFile = output.empty() ? nullptr : const_cast<LPWSTR>(output.c_str());
    doc.pDatatype = const_cast<LPWSTR>(datatype.c_str());
    DWORD jobId = StartDocPrinterW(printer.get(), 1, reinterpret_cast<BYTE*>(&doc));
    if (jobId == 0) return failWith(L"StartDocPrinter", GetLastError());

    int rc = 0;
    unsigned long long total = 0;
    auto send = [&](const BYTE* data, DWORD size) {
        DWORD written = 0;
        if (!WritePrinter(printer.get(), const_cast<BYTE*>(data), size, &written) || written != size)
            return failWith(L"WritePrinter", GetLastError());
        total += size;
        return 0;
    };
    if (!stream.empty()) {
        rc = send(stream.data(), static_cast<DWORD>(stream.size()));
    } else {
        std::vector<BYTE> buffer(1 << 16);
        for (DWORD got = 0; rc == 0;) {
            if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
                rc = failWith(L"Reading the file", GetLastError());
                break;
            }
            if (got == 0) break;
            rc = send(buffer.data(), got);
        }
    }
    // A document cut short by a failure is aborted, never submitted as a job.
    if (rc != 0) AbortPrinter(printer.get());
    else if (!EndDocPrinter(printer.get())) rc = failWith(L"EndDocPrinter", GetLastError());
    if (rc == 0) {
        wprintf(L"spooled %llu bytes to \"%ls\" as %ls job %lu \"%ls\"", total, printerName, datatype.c_str(), jobId,
                docName.c_str());
        if (pages) wprintf(L" (%zu pages)", pages);
        wprintf(L"\n(whether it was delivered is in the printer's RPQ log and the notifier's messages)\n");
    }
    return rc;
}
