#include <windows.h>
#include "base/module.h"

// libstdc++ (linked in statically) allocates its emergency exception pool
// when the module loads and frees it only here: without it, every unload
// (Wine's spooler unloads the print processor after each job) leaves ~73 KB.
namespace __gnu_cxx {
void __freeres() noexcept;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        setRpqModule(instance);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && !reserved) {
        __gnu_cxx::__freeres();  // FreeLibrary, not the process's end: nothing of ours runs after this
    }
    return TRUE;
}
