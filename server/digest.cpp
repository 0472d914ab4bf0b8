#include "digest.h"
#include <openssl/evp.h>
#include <fstream>
#include <memory>

namespace {
using Ctx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
std::string finish(EVP_MD_CTX* ctx) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx, out, &n);
    return std::string(reinterpret_cast<char*>(out), n);
}
}  // namespace

std::string md5Of(const std::string& bytes) {
    Ctx ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr);
    EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size());
    return finish(ctx.get());
}

bool md5OfFile(const std::string& path, std::string* digest, unsigned long long* size) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    Ctx ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr);
    std::unique_ptr<char[]> buffer(new char[1 << 16]);
    unsigned long long total = 0;
    while (in) {
        in.read(buffer.get(), 1 << 16);
        std::streamsize got = in.gcount();
        if (got <= 0) break;
        EVP_DigestUpdate(ctx.get(), buffer.get(), static_cast<size_t>(got));
        total += static_cast<unsigned long long>(got);
    }
    if (in.bad()) return false;
    *digest = finish(ctx.get());
    if (size) *size = total;
    return true;
}
