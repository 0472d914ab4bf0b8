#include "config/settings.h"
#include <cstring>
#include <cwchar>
#include <strsafe.h>
#include "base/namedlock.h"
#include "base/printerkey.h"
#include "base/unique.h"
#include "diag/log.h"

namespace {
LONG writeString(HKEY key, const wchar_t* name, const wchar_t* value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
}

LONG writeDword(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

// Reads a string value into 520 bytes, always terminated.
bool readString(HKEY key, const wchar_t* name, wchar_t (&value)[MAX_PATH]) {
    memset(value, 0, sizeof(value));
    DWORD size = sizeof(value) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS)
        return false;
    value[MAX_PATH - 1] = L'\0';
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

bool readDword(HKEY key, const wchar_t* name, DWORD* value) {
    DWORD size = sizeof(*value);
    DWORD type = 0;
    return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
           size == sizeof(*value);
}

// Replaces every occurrence of from by to, in place, within 260 characters.
void replaceAll(wchar_t* text, const wchar_t* from, const wchar_t* to) {
    wchar_t result[MAX_PATH] = {};
    size_t fromLen = wcslen(from), toLen = wcslen(to), out = 0;
    for (const wchar_t* p = text; *p;) {
        if (wcsncmp(p, from, fromLen) == 0) {
            if (out + toLen >= MAX_PATH) break;
            wmemcpy(result + out, to, toLen);
            out += toLen;
            p += fromLen;
        } else {
            if (out + 1 >= MAX_PATH) break;
            result[out++] = *p++;
        }
    }
    result[out] = L'\0';
    wmemcpy(text, result, out + 1);
}

// Writes one default of a new key; a failed write is logged and the default
// used all the same.
void writeDefault(HKEY key, const wchar_t* name, const wchar_t* value) {
    if (writeString(key, name, value) != ERROR_SUCCESS)
        logMessageW(L_ERROR, L"Could not set registry value <%s> to default value <%s>", name, value);
}

void writeDefault(HKEY key, const wchar_t* name, DWORD value) {
    if (writeDword(key, name, value) != ERROR_SUCCESS)
        logMessageW(L_ERROR, L"Could not set registry value <%s> to default value <%d>", name, static_cast<int>(value));
}

const char* flag(bool value) { return value ? "true" : "false"; }
}  // namespace

bool readPrinterSettings(const wchar_t* printerName, wchar_t* serverName, wchar_t* transferActionPath,
                         wchar_t* interactionActionPath, USHORT* port, bool* secure, bool* acceptAllCertificates,
                         bool* interaction, const PrinterSettingsDefaults& defaults) {
    // A key another job is creating is read only once its defaults are in.
    CNamedLock lock(kSettingsLock, printerName);
    CLockScope held(lock);
    if (!held.held()) {
        logMessage(L_ERROR, "Could not take the lock for the printer settings. Reason <%lu>", GetLastError());
        return false;
    }
    wchar_t path[MAX_PATH];
    unique_hkey key;
    DWORD disposition = 0;
    if (!settingsKeyPath(printerName, path) ||
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        key.put(), &disposition) != ERROR_SUCCESS) {
        logMessageW(L_ERROR, L"Could not access registry subkey: <%s>", path);
        return false;
    }

    if (disposition == REG_CREATED_NEW_KEY) {
        logMessageW(L_DEBUG, L"Created new registry subkey: <%s>", path);
        HKEY k = key.get();
        writeDefault(k, L"ServerName", defaults.serverName);
        StringCchCopyW(serverName, MAX_PATH, defaults.serverName);
        writeDefault(k, L"ServerPort", defaults.port);
        writeDefault(k, L"JobTransferAction", defaults.transferAction);
        StringCchCopyW(transferActionPath, MAX_PATH, defaults.transferAction);
        writeDefault(k, L"JobInteractionAction", defaults.interactionAction);
        StringCchCopyW(interactionActionPath, MAX_PATH, defaults.interactionAction);
        writeDefault(k, L"ServerPort", defaults.port);
        *port = static_cast<USHORT>(defaults.port);
        writeDefault(k, L"MsgNo", static_cast<DWORD>(0));
        if (writeDword(k, L"SecureTransfer", defaults.secure ? 1 : 0) != ERROR_SUCCESS)
            logMessageW(L_WARN, L"Could not set registry value: <%s>, assuming <false>", L"SecureTransfer");
        *secure = defaults.secure;
        if (writeDword(k, L"AcceptAllCertificates", 0) != ERROR_SUCCESS)
            logMessageW(L_WARN, L"Could not set registry value: <%s> to default value <%d>", L"AcceptAllCertificates", 0);
        *acceptAllCertificates = false;
        *interaction = true;
        return true;
    }

    logMessageW(L_TRACE, L"Opened existing registry subkey: <%s>", path);
    bool ok = true;
    wchar_t prefix[MAX_PATH] = {};
    wchar_t value[MAX_PATH];
    if (!readString(key.get(), L"ServerName", value)) {
        logMessageW(L_ERROR, L"Could not get registry value: <%s>", L"ServerName");
        ok = false;
    } else {
        replaceAll(value, L"localhost", L"127.0.0.1");
        replaceAll(value, L"http://", L"");
        replaceAll(value, L"https://", L"");
        StringCchCopyW(serverName, MAX_PATH, value);
        if (wchar_t* slash = wcschr(serverName, L'/')) {
            *slash = L'\0';
            StringCchCopyW(prefix, MAX_PATH, slash + 1);
        }
    }
    DWORD portValue = 0;
    if (!readDword(key.get(), L"ServerPort", &portValue)) {
        logMessageW(L_ERROR, L"Could not get registry value: <%s>", L"ServerPort");
        ok = false;
    } else {
        *port = static_cast<USHORT>(portValue & 0xFFFF);
    }
    struct Action {
        const wchar_t* name;
        wchar_t* out;
    } actions[] = {{L"JobTransferAction", transferActionPath}, {L"JobInteractionAction", interactionActionPath}};
    for (const Action& action : actions) {
        if (!readString(key.get(), action.name, value)) {
            logMessageW(L_ERROR, L"Could not get registry value: <%s>", action.name);
            ok = false;
        } else if (prefix[0]) {
            if (FAILED(StringCchPrintfW(action.out, MAX_PATH, L"%s/%s", prefix, value))) ok = false;
        } else {
            StringCchCopyW(action.out, MAX_PATH, value);
        }
    }
    *secure = false;
    *acceptAllCertificates = false;
    *interaction = true;
    DWORD flagValue = 0;
    if (!readDword(key.get(), L"SecureTransfer", &flagValue))
        logMessageW(L_WARN, L"Could not get registry value: <%s>, assuming <false>", L"SecureTransfer");
    else
        *secure = flagValue != 0;
    if (*secure) {
        if (!readDword(key.get(), L"AcceptAllCertificates", &flagValue))
            logMessageW(L_WARN, L"Could not get registry value: <%s> to default value <false>", L"AcceptAllCertificates");
        else
            *acceptAllCertificates = flagValue != 0;
    }
    if (!readDword(key.get(), L"Interaction", &flagValue))
        logMessageW(L_WARN, L"Could not get registry value: <%s> to default value <true>", L"Interaction");
    else
        *interaction = flagValue != 0;
    return ok;
}

void logPrinterSettings(const wchar_t* serverName, const wchar_t* transferActionPath,
                        const wchar_t* interactionActionPath, USHORT port, bool secure, bool acceptAllCertificates,
                        bool interaction) {
    logMessage(L_DEBUG, "Get registry settings");
    logMessageW(L_DEBUG, L"ServerName               <%s>", serverName);
    logMessageW(L_DEBUG, L"JobTransferActionName    <%s>", transferActionPath);
    logMessageW(L_DEBUG, L"JobInteractionActionName <%s>", interactionActionPath);
    logMessage(L_DEBUG, "ServerPort               <%d>", static_cast<int>(port));
    logMessage(L_DEBUG, "Secure                   <%s>", flag(secure));
    logMessage(L_DEBUG, "AcceptAllCert            <%s>", flag(acceptAllCertificates));
    logMessage(L_DEBUG, "InterAction              <%s>", flag(interaction));
}

CLog::LevelSource readLogLevelSetting(const wchar_t* printerName, wchar_t* value) {
    wchar_t keyPath[MAX_PATH];
    unique_hkey key;
    if (!settingsKeyPath(printerName, keyPath) ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return CLog::LevelSource::NoKey;
    wchar_t text[MAX_PATH] = {};
    return readString(key.get(), L"Logger", text) && SUCCEEDED(StringCchCopyW(value, MAX_PATH, text))
               ? CLog::LevelSource::Value
               : CLog::LevelSource::NoValue;
}
