// Log per printer and day. Each job owns one CLog and binds it to the
// threads that work for it with CLogScope; the free functions below write to
// the log bound to the calling thread and write nothing when none is bound.
#pragma once
#include <windows.h>
#include <atomic>
#include <optional>
#include "base/namedlock.h"
#include "base/unique.h"
#include "diag/levels.h"

class CLog {
public:
    CLog() = default;
    ~CLog() { closeLogFile(); }
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    // Escapes printerName (260 characters) in place and opens the day's file.
    bool openLogFile(wchar_t* printerName);
    // Where the printer's "Logger" value came from, and the value itself.
    enum class LevelSource { NoKey, NoValue, Value };
    void setLogLevel(LevelSource source, const wchar_t* value);
    void closeLogFile();
    void writeLogLine(int level, const char* text);
    void writeMessage(int level, char* text);  // replaces CR and LF, then writes
    int level() const { return m_level.load(); }
    void setLevel(int level) { m_level.store(level); }
    bool isOpen() const { return static_cast<bool>(m_file); }
    const wchar_t* path() const { return m_path; }

private:
    void applyLevelSetting(const wchar_t* value);
    void writeBanner();

    std::atomic<int> m_level{L_WARN};
    wchar_t m_path[MAX_PATH] = {};
    unique_hfile m_file;
    std::optional<CNamedLock> m_lock;
};

// Binds a log to the calling thread for the scope's lifetime.
class CLogScope {
public:
    explicit CLogScope(CLog* log);
    ~CLogScope();
    CLogScope(const CLogScope&) = delete;
    CLogScope& operator=(const CLogScope&) = delete;

private:
    CLog* m_previous;
};

// The log bound to the calling thread, or null.
CLog* currentLog();

void logMessage(int level, const char* format, ...) __attribute__((format(ms_printf, 2, 3)));
void logMessageW(int level, const wchar_t* format, ...);
void writeLogLine(int level, const char* text);
// Logs the format with one DWORD, the system error code, then the system's
// text for that code.
bool logSystemError(const char* format, ...) __attribute__((format(ms_printf, 1, 2)));
void logElapsed(ULONGLONG startTick);
// The level of the log bound to the calling thread; WARN when none is.
int currentLogLevel();

bool composeLogPath(wchar_t* target, wchar_t* printerName);
// The folder "<common app data>\Halvane\RPQ" (260 characters).
bool productDataPath(wchar_t* target);
