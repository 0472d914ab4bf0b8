#pragma once
#include <windows.h>

// Replaces the DACL of a file or folder by one entry granting Everyone all
// rights, not inherited. Failures are not reported.
void grantEveryoneAccess(const wchar_t* path);
