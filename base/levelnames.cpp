#include "base/levelnames.h"
#include <cwchar>

namespace {
const char* const kNames[kLevelNameCount] = {"ON", "TRACE", "DEBUG", "INFO", "WARN",
                                             "ERROR", "FATAL", "START", "STOP", "OFF"};
}

const char* levelNameAt(int level) { return level < 0 || level >= kLevelNameCount ? nullptr : kNames[level]; }

bool isLevelName(const wchar_t* text) {
    if (!text) return false;
    for (const char* name : kNames) {
        size_t i = 0;
        for (; name[i] && text[i]; ++i)
            if (towupper(text[i]) != static_cast<wchar_t>(name[i])) break;
        if (!name[i] && !text[i]) return true;
    }
    return false;
}
