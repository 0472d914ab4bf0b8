// Text pages drawn into enhanced metafiles and wrapped in an EMF spool
// stream, the data of a job of datatype "NT EMF 1.008".
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// Splits text into pages at form feeds and after linesPerPage lines.
std::vector<std::string> splitPages(const std::string& text, size_t linesPerPage);
// One page's lines drawn into an EMF made for the printer's DC; empty on failure.
std::vector<BYTE> drawPage(HDC printerDC, const std::string& page);
// The spool stream: header with the document name, the DEVMODE (may be
// null), then each page as a data record followed by its extension record;
// a non-null pageModes[i] stands before page i as that page's own DEVMODE.
std::vector<BYTE> spoolStream(const std::wstring& documentName, const DEVMODEW* devMode,
                              const std::vector<std::vector<BYTE>>& pages,
                              const std::vector<const DEVMODEW*>& pageModes = {});
