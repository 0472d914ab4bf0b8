#include "transfer/message.h"
#include "config/serial.h"
#include "diag/log.h"

bool createMessage(ProtocolRequest& request, BYTE* buffer, uint16_t* length, const wchar_t* printerName) {
    uint32_t serial = 0;
    if (!getSerialNo(&serial, printerName)) {
        logMessage(L_ERROR, "Could not get SerNo!");
        return false;
    }
    request.sequenceNo = serial;
    logMessage(L_TRACE, "Got new SerialNo <%u> for message", serial);
    return encodeMessage(request, buffer, length);
}
