#include "protocol/chunkplan.h"
#include <cstdio>

namespace rpqproto {

uint32_t chunkCount(uint64_t size) {
    uint64_t n = size == 0 ? 1 : (size + kChunkSize - 1) / kChunkSize;
    return static_cast<uint32_t>(n);
}

uint64_t chunkLength(uint64_t size, uint32_t number) {
    if (number == 0 || number > chunkCount(size)) return 0;
    uint64_t start = static_cast<uint64_t>(number - 1) * kChunkSize;
    uint64_t left = size - start;
    return left < kChunkSize ? left : kChunkSize;
}

std::string chunkName(const std::string& base, uint32_t number) {
    char digits[16];
    snprintf(digits, sizeof(digits), ".%03u", number);
    return base + digits;
}

std::string archiveItemName(const std::string& uid) { return uid + ".dat"; }

char uidCharForByte(uint8_t b) { return kUidAlphabet[(static_cast<unsigned>(b) * 31u) / 128u]; }

}  // namespace rpqproto
