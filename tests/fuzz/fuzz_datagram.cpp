// A notifier datagram (from anyone who can reach the port): the receiving
// rule, the message's lines and the anchors in them.
#include <string>
#include "notifier/receiving.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::wstring message;
    if (!acceptDatagram(reinterpret_cast<const char*>(data), size, &message)) return 0;
    for (const std::wstring& line : splitLines(message))
        for (const TextPiece& piece : splitAnchors(line))
            if (!piece.target.empty() && !isWebLink(piece.target)) __builtin_trap();  // only web links open
    return 0;
}
