// A link in the pop-up, clicked.
#pragma once
#include <windows.h>

// Opens a web link through the shell; anything else is refused (false):
// the click checks again what the parser let through.
bool openWebLink(HWND owner, const wchar_t* target);
