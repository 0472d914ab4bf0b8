// How a job's archive is cut into chunks, and the identifiers' alphabet.
#pragma once
#include <cstdint>
#include <string>

namespace rpqproto {

constexpr uint64_t kChunkSize = 0x1000000;  // 16 MiB
constexpr char kUidAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// Chunks for an archive of size bytes: at least one (an empty archive is
// one empty chunk).
uint32_t chunkCount(uint64_t size);
// Size of chunk number (1-based) of an archive of size bytes.
uint64_t chunkLength(uint64_t size, uint32_t number);
// "<base>.NNN": at least three digits.
std::string chunkName(const std::string& base, uint32_t number);
// The archive's single item: "<UID>.dat".
std::string archiveItemName(const std::string& uid);
// The alphabet character for one random byte: index floor(b * 31 / 128).
char uidCharForByte(uint8_t b);

}  // namespace rpqproto
