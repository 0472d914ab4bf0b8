// The module handle of RPQ.dll, stored once by DllMain.
#pragma once
#include <windows.h>

HMODULE rpqModule();
void setRpqModule(HMODULE module);
