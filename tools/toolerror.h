// Error reporting shared by the administration tools.
#pragma once
#include <windows.h>

// Prints "rpq...: <what> failed: error <code>: <system text>" to stderr and
// returns 1, the tools' failure exit code.
int failWith(const wchar_t* what, DWORD code);
