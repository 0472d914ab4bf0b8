// Where a printer's settings live, and the values its FDXS key starts with.
#pragma once
#include <windows.h>

constexpr wchar_t kSettingsKeyFormat[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\%s\\FDXS";
// The bundled workflow server listens here by default.
constexpr wchar_t kDefaultServerName[] = L"127.0.0.1";
constexpr DWORD kDefaultServerPort = 8080;
constexpr wchar_t kDefaultTransferAction[] = L"FDXS_Transfer";
constexpr wchar_t kDefaultInteractionAction[] = L"FDXS_Interaction";

// Writers of a printer's key (defaults, the serial counter) hold the named
// lock of this prefix and the printer name.
constexpr wchar_t kSettingsLock[] = L"RPQSettings";
// The event source "RPQ": its message file and the kinds of entries it writes.
constexpr wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\RPQ";

// Escapes % \ / : * ? " < > | in a printer name (260 characters) in place,
// and what would not name a folder of its own: trailing dots and spaces
// (".." becomes "%2e%2e") and the first letter of a device name ("CON",
// "lpt1.x" become "%43ON", "%6cpt1.x"); keeps only whole escapes.
void escapePathName(wchar_t* name);
// The key path for a printer: false when it does not fit 260 characters.
bool settingsKeyPath(const wchar_t* printerName, wchar_t* path);
