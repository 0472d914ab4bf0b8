// The notifier's stored settings and its start at logon.
#pragma once
#include <windows.h>
#include <string>

constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"FerrydocNotify";
constexpr wchar_t kDefaultPort[] = L"8090";
constexpr wchar_t kDefaultDuration[] = L"5000";

// The registry rules: a string up to its first NUL, a 1-byte flag; any
// failure (or a flag longer than one byte) gives the default.
std::wstring readString(HKEY root, const wchar_t* key, const wchar_t* name, const wchar_t* fallback);
bool readFlag(HKEY root, const wchar_t* key, const wchar_t* name, bool fallback);
void writeString(HKEY root, const wchar_t* key, const wchar_t* name, const std::wstring& value);
void writeFlag(HKEY root, const wchar_t* key, const wchar_t* name, bool value);
bool valueExists(HKEY root, const wchar_t* key, const wchar_t* name);
void deleteValue(HKEY root, const wchar_t* key, const wchar_t* name);

struct NotifierSettings {
    std::wstring port;
    std::wstring duration;
    bool autoDelete;
};
NotifierSettings readSettings();
// A validated Save: port and duration under HKLM, the port also under HKCU
// (where the print processor reads it), and the Run value.
void saveSettings(const std::wstring& port, const std::wstring& duration, bool autoStart);
void storeAutoDelete(bool value);
bool autoStartEnabled();
// Starts this program at the user's logon (the HKCU Run value). The package
// has each user's first logon run "Trayherald.exe /autostart" for it (Active
// Setup), so that the user's own box in the dialog is the one truth.
void enableAutoStart();
constexpr wchar_t kAutoStartSwitch[] = L"/autostart";

// Volatile (gone at logoff): per session, the port this user's notifier
// listens on, which the print processor reads from the user's own hive.
constexpr wchar_t kSessionsKey[] = L"SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify\\Sessions";
void publishListeningPort(int port);
// Removes this session's value while it still names port.
void withdrawListeningPort(int port);
