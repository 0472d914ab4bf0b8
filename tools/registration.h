// The print processor's registration with the spooler, undone: shared by
// rpqadmin and the package's rollback (which cannot count on rpqadmin.exe
// still being there).
#pragma once
#include <string>

constexpr wchar_t kProcessorName[] = L"RPQ";
constexpr wchar_t kProcessorFile[] = L"RPQ.dll";

// Deletes the registration (Wine's DeletePrintProcessorW answers success and
// keeps it: there, and only there, the spooler's key goes too).
bool unregisterProcessor();
// The spooler's print-processor folder.
bool processorDir(std::wstring& dir);
