#include "base/platform.h"
#include <windows.h>

bool runningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool setupAllowsWineDefaults() {
    return runningUnderWine() && GetEnvironmentVariableW(L"RPQ_SETUP_AS_WINDOWS", nullptr, 0) == 0;
}

bool nativeMachineIsArm64() {
    if (GetEnvironmentVariableW(L"RPQ_SETUP_AS_ARM64", nullptr, 0) != 0) return true;
    // IsWow64Process2 (Windows 10 1709 on) names the machine under emulation too.
    using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    auto query = reinterpret_cast<IsWow64Process2Fn>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2"));
    USHORT process = 0, native = 0;
    if (query && query(GetCurrentProcess(), &process, &native)) return native == IMAGE_FILE_MACHINE_ARM64;
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64;
}
