// MD5 of a file or of a range of it (OpenSSL).
#pragma once
#include <cstdint>
#include <string>

// MD5 of length bytes from offset (to the end when length is UINT64_MAX);
// *read receives the bytes hashed. False when the file cannot be read.
bool md5OfRange(const std::string& path, uint64_t offset, uint64_t length, uint8_t digest[16], uint64_t* read);
std::string digestHex(const uint8_t digest[16]);
