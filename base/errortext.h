// The system's words for an error code.
#pragma once
#include <windows.h>
#include <string>

// FormatMessage's text for a system error code, or for a WinINet one (from
// wininet.dll, when the process has it loaded); line break included, empty
// when there is none.
std::wstring systemErrorText(DWORD code, DWORD language = 0);
// The same without trailing line breaks and spaces, for one-line reports.
std::wstring systemErrorLine(DWORD code);
