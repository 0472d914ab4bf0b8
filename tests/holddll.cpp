// Holds a DLL loaded, as the spooler holds RPQ.dll, until told to let go:
//   holddll DLL READY_FILE RELEASE_FILE
// writes READY_FILE once the DLL is loaded and frees it when RELEASE_FILE
// appears (or after two minutes).
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    HMODULE module = LoadLibraryW(argv[1]);
    if (!module) return 1;
    HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    for (int i = 0; i < 2400 && GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
    FreeLibrary(module);
    return 0;
}
