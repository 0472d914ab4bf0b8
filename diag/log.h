// Log per printer and day. Each job owns one CLog (through its CJobState);
// the free functions below write to the log of the job bound to the calling
// thread and write nothing when no job is bound.
#pragma once
#include <windows.h>
#include <atomic>
#include "diag/levels.h"
#include "printproc/unique.h"

class CLog {
public:
    CLog() = default;
    ~CLog() { closeLogFile(); }
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    // Escapes printerName (260 characters) in place and opens the day's file.
    bool openLogFile(wchar_t* printerName);
    void setLogLevel(const wchar_t* printerName);
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
    unique_handle m_mutex;
};

bool openLogFile(wchar_t* printerName);
void setLogLevel(const wchar_t* printerName);
void closeLogFile();
void logMessage(int level, const char* format, ...);
void logMessageW(int level, const wchar_t* format, ...);
void writeLogLine(int level, const char* text);
bool logSystemError(const char* format, DWORD code);
void logElapsed(ULONGLONG startTick);
// The level of the calling thread's job; WARN when no job is bound.
int currentLogLevel();

bool composeLogPath(wchar_t* target, wchar_t* printerName);
void escapePathName(wchar_t* name);
// The folder "<common app data>\Halvane\RPQ" (260 characters).
bool productDataPath(wchar_t* target);
