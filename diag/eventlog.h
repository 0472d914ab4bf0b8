#pragma once
#include <windows.h>

// The event identifier of every entry: RPQ.dll's message table holds its
// text ("%1", the reported text itself).
constexpr DWORD kEventTextId = 0x60000000;

// One information entry from the event source "RPQ".
void reportEvent(const wchar_t* text);
// The system's text for the code, or "Could not compose Error message".
void reportSystemError(DWORD code);
