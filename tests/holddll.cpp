// Holds a DLL loaded, as the spooler holds RPQ.dll, until told to let go:
//   holddll DLL READY_FILE
// writes READY_FILE once the DLL is loaded and frees it when its standard
// input ends (the test closes the pipe or fifo it reads).
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    HMODULE module = LoadLibraryW(argv[1]);
    if (!module) return 1;
    HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    char buffer[64];
    DWORD got = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    }
    FreeLibrary(module);
    return 0;
}
