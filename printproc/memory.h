// Zero-initialised local-heap blocks and wide-string copies.
#pragma once
#include <windows.h>

void* allocZeroed(SIZE_T bytes);
void freeBlock(void* block);
// A copy of source in its own block; null in, null out.
LPWSTR duplicateString(LPCWSTR source);
// As duplicateString, with room for at least minChars characters.
LPWSTR duplicateStringWithRoom(LPCWSTR source, SIZE_T minChars);
