// The access lists of RPQ's data folders, shared by the print processor and
// the administrator's tools that make the folders ahead of it.
#pragma once

// The system and administrators change it, everyone reads it (logs).
constexpr wchar_t kReadableSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)";
// The system and administrators only (users' documents).
constexpr wchar_t kPrivateSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
