// Log and notification levels.
#pragma once

enum LogLevel : int {
    L_ON = 0,
    L_TRACE = 1,
    L_DEBUG = 2,
    L_INFO = 3,
    L_WARN = 4,
    L_ERROR = 5,
    L_FATAL = 6,
    L_START = 7,
    L_STOP = 8,
    L_OFF = 9,
};

constexpr int kLevelCount = 10;

// "ON" ... "OFF"; "?" outside the table.
const char* levelName(int level);
