#include "config/serial.h"
#include "base/namedlock.h"
#include "base/printerkey.h"
#include "base/unique.h"
#include "diag/log.h"

bool getSerialNo(uint32_t* number, const wchar_t* printerName) {
    // Read, increment and write as one step: jobs of one printer never share
    // a serial number.
    CNamedLock lock(kSettingsLock, printerName);
    CLockScope held(lock);
    if (!held.held()) {
        logMessage(L_ERROR, "Could not take the lock for the serial number. Reason <%lu>", GetLastError());
        return false;
    }
    wchar_t path[MAX_PATH];
    unique_hkey key;
    if (!settingsKeyPath(printerName, path) ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) {
        logMessageW(L_ERROR, L"Could not set registry subkey: <%s>", path);
        return false;
    }
    DWORD stored = 0, size = sizeof(stored), type = 0;
    if (RegQueryValueExW(key.get(), L"MsgNo", nullptr, &type, reinterpret_cast<BYTE*>(&stored), &size) !=
            ERROR_SUCCESS ||
        size != sizeof(stored)) {
        logMessage(L_ERROR, "Could not get registry value: <%s>", "MsgNo");
        return false;
    }
    DWORD next = stored + 1;  // wraps from 4294967295 to 0
    if (RegSetValueExW(key.get(), L"MsgNo", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&next), sizeof(next)) !=
        ERROR_SUCCESS) {
        logMessage(L_ERROR, "Could not set registry value <%s> to default value <%d>", "MsgNo", static_cast<int>(next));
        return false;
    }
    *number = next;
    return true;
}
