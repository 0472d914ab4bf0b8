// The reference server's reading of a request body from anyone: the
// multipart splitter, then the message part's decoder.
#include <string>
#include <vector>
#include "multipart.h"
#include "wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string body(reinterpret_cast<const char*>(data), size);
    std::string why;
    wire::decodeRequest(body, &why);  // a message part on its own
    std::vector<Part> parts;
    if (!parseMultipart(body, "AbCdEfGhIjKlMnOpQrStU", &parts, &why)) return 0;
    for (const Part& part : parts) {
        if (part.offset > body.size() || part.size > body.size() - part.offset) __builtin_trap();
        wire::decodeRequest(body.substr(part.offset, part.size), &why);
    }
    return 0;
}
