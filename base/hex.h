// MD5 digests in their text form.
#pragma once
#include <windows.h>
#include <cstddef>

constexpr size_t kDigestSize = 16;

// 32 lower-case hex digits and a NUL into text (33 characters).
void digestToHex(const BYTE* digest, char* text);
