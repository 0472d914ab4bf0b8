// Protocol exchanges as multipart/form-data POST requests through WinINet.
#pragma once
#include <windows.h>
#include <wininet.h>
#include <cstdint>
#include <string>
#include "transfer/protocol.h"

// A file sent as the request's second part.
struct HttpFilePart {
    const wchar_t* path;
    const wchar_t* name;  // the part's file name
    DWORD size;
};

// Each write to WinINet carries up to this much of the body (the first one
// the message part and the chunk's part headers first); the wire bytes do
// not depend on it, only how many calls carry them.
constexpr size_t kSendBufferSize = 1024 * 1024;
constexpr size_t kMessagePartCapacity = 256 + kMessageBufferSize;

// Send and receive time-outs: a server that takes a request and never
// answers ends the exchange instead of holding the job. The status line
// must come within this long, and then the whole body within this long
// (one deadline, however slowly its bytes come): a silent or dribbling
// server ends an exchange within the 120-second silence limit; a slow
// upload whose writes progress is not cut.
constexpr DWORD kExchangeTimeoutMs = 60000;
// Connect time-out off, send and receive time-outs as given; request handles
// opened later inherit them.
bool setTimeouts(HINTERNET handle, DWORD exchangeMs = kExchangeTimeoutMs);

bool getAnswer(HINTERNET connection, bool secure, bool acceptAllCert, const HttpFilePart* chunk, const BYTE* message,
               uint16_t length, ProtocolResponse& response, const wchar_t* objectName,
               CFDXSProtocol& status);
bool httpPost(HINTERNET connection, bool secure, bool acceptAllCert, const HttpFilePart* chunk, const BYTE* message,
              uint16_t length, BYTE* responseBuffer, DWORD* received, const wchar_t* objectName);
bool buildMessagePart(char* target, size_t capacity, const BYTE* message, uint16_t length, const char* boundaryLine,
                      size_t* partLength);
// Sends the message part, the chunk's part (when given) and the closing
// boundary of the multipart body framed by boundary.
bool sendBody(HINTERNET request, const char* messagePart, size_t partLength, const HttpFilePart* chunk,
              const std::string& boundary, bool acceptAllCert);
// Reads at most 1023 bytes and counts them; the buffer is zeroed first, so a
// failed read can never be decoded as an answer.
bool readResponse(HINTERNET request, BYTE* responseBuffer, DWORD* received);
// answer, when given, receives the last valid answer (its status value tells
// OK, Wait or Error); *lastError the last failure's code (0 when none).
bool validateServerConnection(const wchar_t* serverName, uint16_t port, const wchar_t* printerName, bool secure,
                              bool acceptAllCert, const wchar_t* objectName, ProtocolResponse* answer = nullptr,
                              DWORD* lastError = nullptr);
