#pragma once
#include <windows.h>

// One information entry from the event source "RPQ".
void reportEvent(const wchar_t* text);
// The system's text for the code, or "Could not compose Error message".
void reportSystemError(DWORD code);
