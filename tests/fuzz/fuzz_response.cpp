// A server's answer (any server's): the shared response decoder over the
// bytes a transport hands over (the print processor's and the gateway's).
#include <cstring>
#include "protocol/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rpqproto::Response response;
    if (rpqproto::decodeResponse(response, data, size) == rpqproto::DecodeResult::Ok) {
        if (strlen(response.uid) > rpqproto::kUidLength) __builtin_trap();
        if (size < rpqproto::layoutLength(response.type, response.uidLength)) __builtin_trap();
    }
    return 0;
}
