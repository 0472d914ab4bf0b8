#include "gateway/digest.h"
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <memory>
#include <vector>

bool md5OfRange(const std::string& path, uint64_t offset, uint64_t length, uint8_t digest[16], uint64_t* read) {
    *read = 0;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { close(*f); });
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return false;
    std::vector<unsigned char> block(1 << 20);
    uint64_t left = length;
    off_t at = static_cast<off_t>(offset);
    while (left > 0) {
        size_t want = left < block.size() ? static_cast<size_t>(left) : block.size();
        ssize_t got = pread(fd, block.data(), want, at);
        if (got < 0) return false;
        if (got == 0) break;
        EVP_DigestUpdate(ctx.get(), block.data(), static_cast<size_t>(got));
        at += got;
        *read += static_cast<uint64_t>(got);
        left -= static_cast<uint64_t>(got);
    }
    unsigned int size = 0;
    return EVP_DigestFinal_ex(ctx.get(), digest, &size) == 1 && size == 16;
}

std::string digestHex(const uint8_t digest[16]) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}
