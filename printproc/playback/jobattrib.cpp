#include "printproc/playback/jobattrib.h"
#include <atomic>
#include <cstring>
#include "base/platform.h"
#include "base/unique.h"

namespace {
using LoadDriverFn = HMODULE(WINAPI*)(HANDLE);
using UnloadDriverFn = BOOL(WINAPI*)(HANDLE, BOOL);
using QueryJobAttributesFn = BOOL(WINAPI*)(HANDLE, PDEVMODEW, DWORD, LPBYTE);

// winspool.drv's driver loader and its release, looked up once per process.
std::atomic<LoadDriverFn> g_loadDriver{nullptr};
std::atomic<UnloadDriverFn> g_unloadDriver{nullptr};

bool resolveWinspool() {
    if (g_loadDriver.load() && g_unloadDriver.load()) return true;
    HMODULE winspool = GetModuleHandleW(L"winspool.drv");
    if (!winspool) return false;
    auto load = reinterpret_cast<LoadDriverFn>(GetProcAddress(winspool, MAKEINTRESOURCEA(212)));
    auto unload = reinterpret_cast<UnloadDriverFn>(GetProcAddress(winspool, MAKEINTRESOURCEA(214)));
    if (!load || !unload) return false;
    g_loadDriver.store(load);
    g_unloadDriver.store(unload);
    return true;
}

void fillLayoutDefaults(const DEVMODEW* devMode, ATTRIBUTE_INFO_4* info) {
    info->dmPrintQuality = devMode ? devMode->dmPrintQuality : 0;
    info->dmYResolution = devMode ? devMode->dmYResolution : 0;
    info->dwDuplexFlags = 0;
    info->dwNupDirection = 1;
    info->dwBookletFlags = 0;
    info->dwScalingPercentX = 100;
    info->dwScalingPercentY = 100;
}

void fillDefaults(const DEVMODEW* devMode, ATTRIBUTE_INFO_4* info) {
    info->dwJobNumberOfPagesPerSide = 1;
    info->dwDrvNumberOfPagesPerSide = 1;
    info->dwNupBorderFlags = 0;
    info->dwJobPageOrderFlags = 0;
    info->dwDrvPageOrderFlags = 0;
    info->dwJobNumberOfCopies = devMode ? devMode->dmCopies : 1;
    info->dwDrvNumberOfCopies = info->dwJobNumberOfCopies;
    info->dwColorOptimization = 0;
    fillLayoutDefaults(devMode, info);
}
}  // namespace

bool queryJobAttributes(LPWSTR printerName, const DEVMODEW* devMode, ATTRIBUTE_INFO_4* info) {
    if (!info) return false;
    // Wine's driver loader (ordinal 212) is a stub that aborts the process,
    // and its PostScript driver answers no attribute query.
    if (runningUnderWine()) {
        fillDefaults(devMode, info);
        return true;
    }
    if (!resolveWinspool()) return false;
    unique_printer printer;
    if (!OpenPrinterW(printerName, printer.put(), nullptr)) return false;
    HMODULE driver = g_loadDriver.load()(printer.get());
    if (!driver) return false;
    auto mode = const_cast<PDEVMODEW>(devMode);
    auto buffer = reinterpret_cast<LPBYTE>(info);
    bool done = false;
    auto query = reinterpret_cast<QueryJobAttributesFn>(GetProcAddress(driver, "DrvQueryJobAttributes"));
    if (query) {
        if (query(printer.get(), mode, 4, buffer)) {
            done = true;
        } else if (query(printer.get(), mode, 3, buffer)) {
            info->dwDuplexFlags = 0;
            info->dwNupDirection = 1;
            info->dwBookletFlags = 0;
            info->dwScalingPercentX = 100;
            info->dwScalingPercentY = 100;
            done = true;
        } else if (query(printer.get(), mode, 2, buffer)) {
            fillLayoutDefaults(devMode, info);
            done = true;
        } else if (query(printer.get(), mode, 1, buffer)) {
            info->dwColorOptimization = 0;
            fillLayoutDefaults(devMode, info);
            done = true;
        }
    }
    if (!done) fillDefaults(devMode, info);
    printer.reset();
    g_unloadDriver.load()(driver, TRUE);
    return true;
}
