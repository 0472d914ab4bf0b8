#include <windows.h>
#include "base/module.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        setRpqModule(instance);
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
