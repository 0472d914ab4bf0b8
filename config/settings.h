// A printer's transfer settings under its FDXS key.
#pragma once
#include <windows.h>
#include "base/printerkey.h"
#include "diag/log.h"

struct PrinterSettingsDefaults {
    const wchar_t* serverName;
    const wchar_t* transferAction;
    const wchar_t* interactionAction;
    DWORD port;
    bool secure;
};

// Reads (or, for a new key, creates) the settings; false when the key
// cannot be opened or a required value is missing. The three out buffers
// hold 260 characters each.
bool readPrinterSettings(const wchar_t* printerName, wchar_t* serverName, wchar_t* transferActionPath,
                         wchar_t* interactionActionPath, USHORT* port, bool* secure, bool* acceptAllCertificates,
                         bool* interaction, const PrinterSettingsDefaults& defaults);
// The DEBUG lines that show the settings a job runs with.
void logPrinterSettings(const wchar_t* serverName, const wchar_t* transferActionPath,
                        const wchar_t* interactionActionPath, USHORT port, bool secure, bool acceptAllCertificates,
                        bool interaction);
// The printer's "Logger" value (260 characters), and whether key and value
// were there.
CLog::LevelSource readLogLevelSetting(const wchar_t* printerName, wchar_t* value);
