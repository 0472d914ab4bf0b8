#include "base/hex.h"

void digestToHex(const BYTE* digest, char* text) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < kDigestSize; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 0xF];
    }
    text[2 * kDigestSize] = '\0';
}
