#include "diag/log.h"
#include <shlobj.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strsafe.h>
#include "base/errortext.h"
#include "base/module.h"
#include "base/threadslot.h"
#include "base/printerkey.h"
#include "diag/eventlog.h"
#include "diag/security.h"

namespace {

void replaceLineBreaks(char* text) {
    for (char* p = text; *p; ++p) {
        if (*p == '\r') *p = '.';
        else if (*p == '\n') *p = '|';
    }
}


const CThreadSlot t_log;  // the log bound to each thread
}  // namespace

CLogScope::CLogScope(CLog* log) : m_previous(currentLog()) { t_log.set(log); }
CLogScope::~CLogScope() { t_log.set(m_previous); }
CLog* currentLog() { return static_cast<CLog*>(t_log.get()); }

bool productDataPath(wchar_t* target) {
    wchar_t base[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base)))
        return false;
    if (FAILED(StringCchCopyW(target, MAX_PATH, base)) || FAILED(StringCchCatW(target, MAX_PATH, L"\\Halvane"))) return false;
    if (!makeSecureFolder(target, FileAccess::Readable)) return false;
    if (FAILED(StringCchCatW(target, MAX_PATH, L"\\RPQ"))) return false;
    return makeSecureFolder(target, FileAccess::Readable);
}

bool composeLogPath(wchar_t* target, wchar_t* printerName) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t date[32];
    StringCchPrintfW(date, 32, L"%d-%02d-%02d", now.wYear, now.wMonth, now.wDay);
    if (!productDataPath(target)) return false;
    // Logs name users' documents: the system and administrators only.
    if (FAILED(StringCchCatW(target, MAX_PATH, L"\\Log")) || !makeSecureFolder(target, FileAccess::Private)) return false;
    escapePathName(printerName);
    if (FAILED(StringCchCatW(target, MAX_PATH, L"\\")) || FAILED(StringCchCatW(target, MAX_PATH, printerName))) return false;
    if (!makeSecureFolder(target, FileAccess::Private)) return false;
    return SUCCEEDED(StringCchCatW(target, MAX_PATH, L"\\RPQ-")) && SUCCEEDED(StringCchCatW(target, MAX_PATH, date)) &&
           SUCCEEDED(StringCchCatW(target, MAX_PATH, L".log"));
}

bool CLog::openLogFile(wchar_t* printerName) {
    closeLogFile();
    m_level.store(L_INFO);
    if (!composeLogPath(m_path, printerName)) {
        reportEvent(L"ERROR: Could not set logfile string");
        return false;
    }
    // Jobs of the same printer share the file; a lock named after it keeps
    // their lines whole, across threads and processes.
    m_lock.emplace(L"RPQLog", m_path);
    if (!m_lock->valid()) {
        reportEvent(L"ERROR: Could not create mutex for logfile");
        m_lock.reset();
        return false;
    }
    m_file.reset(openSecureFile(m_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                FileAccess::Private));
    if (!m_file) {
        DWORD error = GetLastError();
        reportEvent(L"ERROR: Could not open logfile");
        reportSystemError(error);
        m_lock.reset();
        return false;
    }
    CLockScope lock(*m_lock);
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(m_file.get(), &size) && size.QuadPart > 0) {
        DWORD written = 0;
        SetFilePointer(m_file.get(), 0, nullptr, FILE_END);
        WriteFile(m_file.get(), "\r\n", 2, &written, nullptr);
        FlushFileBuffers(m_file.get());
    }
    return true;
}

void CLog::closeLogFile() {
    m_file.reset();
    m_lock.reset();
}

void CLog::applyLevelSetting(const wchar_t* value) {
    char narrow[MAX_PATH + 1] = {};
    if (!WideCharToMultiByte(CP_ACP, 0, value, -1, narrow, sizeof(narrow) - 1, nullptr, nullptr)) return;
    for (int level = 0; level < kLevelCount; ++level) {
        if (_stricmp(narrow, levelName(level)) == 0) {
            m_level.store(level);
            logMessage(L_INFO, "Set log level to %s (from registry)", levelName(level));
            return;
        }
    }
}

void CLog::setLogLevel(LevelSource source, const wchar_t* value) {
    if (source == LevelSource::NoKey)
        logMessage(L_INFO, "Set log level to %s (default - registry key not found)", levelName(level()));
    else if (source == LevelSource::NoValue)
        logMessage(L_INFO, "Set log level to %s (default - registry value not found)", levelName(level()));
    else
        applyLevelSetting(value);
    writeBanner();
}

void CLog::writeBanner() {
    HMODULE module = rpqModule();
    if (!module) return;
    wchar_t file[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(module, file, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(file, &handle);
    if (size == 0) return;
    unique_hlocal block(LocalAlloc(LPTR, size));
    if (!block || !GetFileVersionInfoW(file, 0, size, block.get())) return;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!VerQueryValueW(block.get(), L"\\", reinterpret_cast<void**>(&info), &infoSize) || !info) return;
    logMessage(L_INFO, "PrintProcessor v%u.%u.%u.%u", HIWORD(info->dwProductVersionMS),
               LOWORD(info->dwProductVersionMS), HIWORD(info->dwProductVersionLS),
               LOWORD(info->dwProductVersionLS));
}

void CLog::writeLogLine(int level, const char* text) {
    if (!m_file) return;
    CLockScope lock(*m_lock);
    SYSTEMTIME now;
    GetLocalTime(&now);
    char prefix[32];
    StringCchPrintfA(prefix, sizeof(prefix), "%02d:%02d:%02d.%03d [%-5s] ", now.wHour, now.wMinute, now.wSecond,
            now.wMilliseconds, levelName(level));
    DWORD written = 0;
    HANDLE file = m_file.get();
    SetFilePointer(file, 0, nullptr, FILE_END);
    WriteFile(file, prefix, static_cast<DWORD>(strlen(prefix)), &written, nullptr);
    WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    WriteFile(file, "\r\n", 2, &written, nullptr);
    FlushFileBuffers(file);
}

void CLog::writeMessage(int level, char* text) {
    replaceLineBreaks(text);
    writeLogLine(level, text);
}

int currentLogLevel() {
    CLog* log = currentLog();
    return log ? log->level() : L_WARN;
}

void logMessage(int level, const char* format, ...) {
    CLog* log = currentLog();
    if (!log || !log->isOpen() || level < log->level() || level >= L_OFF) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    StringCchVPrintfA(text, sizeof(text), format, args);
    va_end(args);
    log->writeMessage(level, text);
}

void logMessageW(int level, const wchar_t* format, ...) {
    CLog* log = currentLog();
    if (!log || !log->isOpen() || level < log->level() || level >= L_OFF) return;
    wchar_t wide[2048];
    va_list args;
    va_start(args, format);
    StringCchVPrintfW(wide, 2048, format, args);
    va_end(args);
    // Convert into ample room, then keep what the 1024-byte line allows.
    static constexpr int kRoom = 2048 * 4;
    char converted[kRoom];
    // UTF-8: every name is kept as it is (the ANSI code page turned most into '?').
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, converted, kRoom, nullptr, nullptr);
    if (n <= 0) converted[0] = '\0';
    char text[1024];
    size_t full = strlen(converted), keep = strnlen(converted, sizeof(text) - 1);
    while (keep > 0 && keep < full && (static_cast<unsigned char>(converted[keep]) & 0xC0) == 0x80)
        --keep;  // never half a character
    memcpy(text, converted, keep);
    text[keep] = '\0';
    log->writeMessage(level, text);
}

void writeLogLine(int level, const char* text) {
    if (CLog* log = currentLog()) log->writeLogLine(level, text);
}

bool logSystemError(const char* format, ...) {
    const DWORD lastError = GetLastError();  // the caller's, kept: a failed text lookup sets its own
    va_list args;
    va_start(args, format);
    DWORD code = va_arg(args, DWORD);
    va_end(args);
    char line[4096];
    StringCchPrintfA(line, sizeof(line), format, code);
    replaceLineBreaks(line);
    writeLogLine(L_ERROR, line);

    std::wstring text = systemErrorText(code, 0x400);
    if (text.empty()) logMessage(L_ERROR, "(no text exists for error %lu)", code);
    else logMessageW(L_ERROR, L"%s", text.c_str());
    SetLastError(lastError);
    return !text.empty();
}

void logElapsed(ULONGLONG startTick) {
    double seconds = static_cast<double>(GetTickCount64() - startTick) / 1000.0;
    logMessage(L_INFO, "Done in <%0.1lf> seconds.", seconds);
}
