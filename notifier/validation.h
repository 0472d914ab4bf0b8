// The settings dialog's checks of its two fields.
#pragma once
#include <string>

// 1 to 65535, digits only, no leading zero.
bool isValidPort(const std::wstring& text);
// 500 to 60000, digits only, no leading zero.
bool isValidDuration(const std::wstring& text);
// True when the pattern matches the whole text (multi-line and extended
// options as the dialog compiles them); false for a pattern that fails.
bool matchesWhole(const char* pattern, const std::wstring& text);
