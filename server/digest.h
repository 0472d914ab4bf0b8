#pragma once
#include <string>

// MD5 as 16 raw bytes.
std::string md5Of(const std::string& bytes);
// MD5 of a file, streamed; false when it cannot be read.
bool md5OfFile(const std::string& path, std::string* digest, unsigned long long* size);
