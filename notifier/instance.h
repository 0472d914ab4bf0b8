// The single-instance guard: a mutex named "PREVINST:" + the executable's
// file name up to its first dot, upper-cased, + its file version's major
// number (PREVINST:TRAYHERALD1).
#pragma once
#include <windows.h>
#include <string>

std::wstring instanceMutexName();
