// Requests numbered with the printer's next serial number.
#pragma once
#include <windows.h>
#include "transfer/protocol.h"

// Takes the printer's next serial number into the request, then encodes it.
bool createMessage(ProtocolRequest& request, BYTE* buffer, uint16_t* length, const wchar_t* printerName);
