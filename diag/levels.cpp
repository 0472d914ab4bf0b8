#include "diag/levels.h"

namespace {
const char* const kLevelNames[kLevelCount] = {"ON",    "TRACE", "DEBUG", "INFO",  "WARN",
                                              "ERROR", "FATAL", "START", "STOP",  "OFF"};
}

const char* levelName(int level) {
    if (level < 0 || level >= kLevelCount) return "?";
    return kLevelNames[level];
}
