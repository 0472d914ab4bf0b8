// A job written to a printer and left open, as the spooler holds it before
// the print processor runs: its bytes can be read as "<printer>, Job N".
#pragma once
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>
#include <string>

class CSpooledJob {
public:
    CSpooledJob(const std::wstring& printer, const std::string& data) : m_printer(printer) {
        if (!OpenPrinterW(&m_printer[0], &m_handle, nullptr)) return;
        // No output file here: Wine keeps one open in this process for every job so started.
        DOC_INFO_1W doc = {const_cast<LPWSTR>(L"C:\\Docs\\harness.txt"), nullptr, const_cast<LPWSTR>(L"RAW")};
        m_jobId = StartDocPrinterW(m_handle, 1, reinterpret_cast<BYTE*>(&doc));
        DWORD written = 0;
        if (m_jobId && !data.empty()) WritePrinter(m_handle, const_cast<char*>(data.data()), static_cast<DWORD>(data.size()), &written);
    }
    ~CSpooledJob() {
        if (m_handle) {
            AbortPrinter(m_handle);
            ClosePrinter(m_handle);
        }
    }
    bool ok() const { return m_jobId != 0; }
    std::wstring documentName() const { return m_printer + L", Job " + std::to_wstring(m_jobId); }
    PRINTPROCESSOROPENDATA openData() {
        PRINTPROCESSOROPENDATA data = {};
        data.pDatatype = const_cast<LPWSTR>(L"RAW");
        data.pDocumentName = const_cast<LPWSTR>(L"C:\\Docs\\harness.txt");
        data.pPrinterName = &m_printer[0];
        data.JobId = m_jobId;
        return data;  // no output file: the printer's port takes the empty document (Wine keeps a named one open)
    }
    std::wstring& printer() { return m_printer; }

private:
    std::wstring m_printer;
    HANDLE m_handle = nullptr;
    DWORD m_jobId = 0;
};

