// The account (user SID) a token runs as.
#pragma once
#include <windows.h>

// Copies the token's user SID into sid; false when it cannot be read.
bool tokenAccount(HANDLE token, BYTE* sid, DWORD sidSize);
