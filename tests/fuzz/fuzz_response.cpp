// A server's answer (any server's): the response decoder over the receive
// buffer, as the transport hands it over.
#include <cstring>
#include "transfer/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    BYTE buffer[kResponseBufferSize] = {};  // zeroed and sized as the transport's
    size = size < kResponseBufferSize - 1 ? size : kResponseBufferSize - 1;
    memcpy(buffer, data, size);
    ProtocolResponse response;
    if (decodeResponse(response, buffer, size)) {
        if (strlen(response.UID) > 10) __builtin_trap();
    } else {
        dumpBytes(buffer);  // what the transport logs of an answer it cannot decode
    }
    return 0;
}
