// The ten level names, in level order: the one rule for a "Logger" value.
#pragma once

constexpr int kLevelNameCount = 10;

// "ON" ... "OFF"; nullptr outside the table.
const char* levelNameAt(int level);

// Whether text names a level (case ignored): only names set a level.
bool isLevelName(const wchar_t* text);
