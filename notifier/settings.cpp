#include "notifier/settings.h"
#include <memory>
#include "base/unique.h"

std::wstring readString(HKEY root, const wchar_t* key, const wchar_t* name, const wchar_t* fallback) {
    unique_hkey k;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, k.put()) != ERROR_SUCCESS) return fallback;
    DWORD size = 0;
    if (RegQueryValueExW(k.get(), name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return fallback;
    std::unique_ptr<BYTE[]> data(new BYTE[size + sizeof(wchar_t)]());
    if (RegQueryValueExW(k.get(), name, nullptr, nullptr, data.get(), &size) != ERROR_SUCCESS) return fallback;
    const wchar_t* text = reinterpret_cast<const wchar_t*>(data.get());
    return std::wstring(text, wcsnlen(text, size / sizeof(wchar_t)));
}

bool readFlag(HKEY root, const wchar_t* key, const wchar_t* name, bool fallback) {
    unique_hkey k;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, k.put()) != ERROR_SUCCESS) return fallback;
    BYTE value = 0;
    DWORD size = 1;
    if (RegQueryValueExW(k.get(), name, nullptr, nullptr, &value, &size) != ERROR_SUCCESS || size != 1) return fallback;
    return value != 0;
}

void writeString(HKEY root, const wchar_t* key, const wchar_t* name, const std::wstring& value) {
    unique_hkey k;
    if (RegCreateKeyExW(root, key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, k.put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void writeFlag(HKEY root, const wchar_t* key, const wchar_t* name, bool value) {
    unique_hkey k;
    if (RegCreateKeyExW(root, key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, k.put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    BYTE byte = value ? 1 : 0;
    RegSetValueExW(k.get(), name, 0, REG_BINARY, &byte, 1);
}

bool valueExists(HKEY root, const wchar_t* key, const wchar_t* name) {
    unique_hkey k;
    return RegOpenKeyExW(root, key, 0, KEY_READ, k.put()) == ERROR_SUCCESS &&
           RegQueryValueExW(k.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

void deleteValue(HKEY root, const wchar_t* key, const wchar_t* name) {
    unique_hkey reader;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, reader.put()) != ERROR_SUCCESS) return;
    unique_hkey writer;
    if (RegOpenKeyExW(root, key, 0, KEY_WRITE, writer.put()) != ERROR_SUCCESS) return;
    RegDeleteValueW(writer.get(), name);
}

NotifierSettings readSettings() {
    return {readString(HKEY_LOCAL_MACHINE, kSettingsKey, L"UDPPort", kDefaultPort),
            readString(HKEY_LOCAL_MACHINE, kSettingsKey, L"DisplayDuration", kDefaultDuration),
            readFlag(HKEY_LOCAL_MACHINE, kSettingsKey, L"AutoDelete", true)};
}

void saveSettings(const std::wstring& port, const std::wstring& duration, bool autoStart) {
    writeString(HKEY_LOCAL_MACHINE, kSettingsKey, L"UDPPort", port);
    writeString(HKEY_LOCAL_MACHINE, kSettingsKey, L"DisplayDuration", duration);
    writeString(HKEY_CURRENT_USER, kSettingsKey, L"UDPPort", port);  // the print processor's copy
    if (autoStart) enableAutoStart();
    else deleteValue(HKEY_CURRENT_USER, kRunKey, kRunValue);
}

void enableAutoStart() {
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    // Quoted: the program's folder has a space in it.
    if (n > 0 && n < MAX_PATH) writeString(HKEY_CURRENT_USER, kRunKey, kRunValue, L"\"" + std::wstring(path) + L"\"");
}

void storeAutoDelete(bool value) { writeFlag(HKEY_LOCAL_MACHINE, kSettingsKey, L"AutoDelete", value); }

bool autoStartEnabled() { return valueExists(HKEY_CURRENT_USER, kRunKey, kRunValue); }

namespace {
std::wstring sessionValueName() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return std::to_wstring(session);
}
}  // namespace

void publishListeningPort(int port) {
    // The settings key first, as a lasting one: REG_OPTION_VOLATILE makes every
    // key the call creates volatile, and the user's "UDPPort" beside it would
    // go at logoff.
    unique_hkey settings, k;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_CREATE_SUB_KEY, nullptr,
                        settings.put(), nullptr) != ERROR_SUCCESS ||
        RegCreateKeyExW(settings.get(), L"Sessions", 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, k.put(),
                        nullptr) != ERROR_SUCCESS)
        return;
    DWORD value = static_cast<DWORD>(port);
    RegSetValueExW(k.get(), sessionValueName().c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

void withdrawListeningPort(int port) {
    unique_hkey k;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSessionsKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, k.put()) != ERROR_SUCCESS)
        return;
    std::wstring name = sessionValueName();
    DWORD value = 0, size = sizeof(value);
    if (RegQueryValueExW(k.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
        value == static_cast<DWORD>(port))
        RegDeleteValueW(k.get(), name.c_str());
}
