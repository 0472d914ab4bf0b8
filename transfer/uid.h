// Random identifiers and checked text conversions.
#pragma once
#include <windows.h>
#include <cstdint>
#include "protocol/chunkplan.h"

using rpqproto::kUidAlphabet;
constexpr uint32_t kUidLength = 10;

// The alphabet character for one random byte: index floor(b * 31 / 128).
char uidCharForByte(BYTE b);
// n random characters of the alphabet and a NUL into target (n + 1 bytes).
bool generateUid(char* target, uint32_t n);
bool convertToMultiByte(char* target, uint16_t targetSize, const wchar_t* source);
bool convertUid(wchar_t* target, uint16_t targetSize, const char* uid);
void clearString(char* buffer, size_t size);
void wclearString(wchar_t* buffer, size_t size);
