#include "transfer/http.h"
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <strsafe.h>
#include "base/unique.h"
#include "diag/log.h"
#include "transfer/answerwatch.h"
#include "transfer/message.h"
#include "transfer/uid.h"
#include "protocol/multipart.h"
#include "protocol/decisions.h"

namespace {
constexpr DWORD kNoTimeout = 0xFFFFFFFF;


// Serves a file's bytes from blocks of 1 MiB, so that the send rounds do
// not each cost a read of their own.
class CReadAhead {
public:
    explicit CReadAhead(HANDLE file) : m_file(file) {}
    bool read(char* target, DWORD want, DWORD* got) {
        *got = 0;
        while (*got < want) {
            if (m_pos == m_length) {
                if (!m_block) m_block.reset(new (std::nothrow) char[kBlock]);
                if (!m_block) {
                    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                    return false;
                }
                DWORD length = 0;
                if (!ReadFile(m_file, m_block.get(), kBlock, &length, nullptr)) return false;
                m_pos = 0;
                m_length = length;
                if (length == 0) break;  // end of file
            }
            DWORD take = std::min<DWORD>(want - *got, m_length - m_pos);
            memcpy(target + *got, m_block.get() + m_pos, take);
            m_pos += take;
            *got += take;
        }
        return true;
    }

private:
    static constexpr DWORD kBlock = 1 << 20;
    HANDLE m_file;
    std::unique_ptr<char[]> m_block;
    DWORD m_pos = 0;
    DWORD m_length = 0;
};

// Loops until WinINet has taken every byte; a write that takes none fails.
// The request keeps the send and receive time-outs it inherited.
bool setRequestConnectTimeout(HINTERNET request) {
    DWORD none = kNoTimeout;
    return InternetSetOptionW(request, INTERNET_OPTION_CONNECT_TIMEOUT, &none, sizeof(none)) != FALSE;
}

bool writeAll(HINTERNET request, const char* data, DWORD size, DWORD* sent) {
    *sent = 0;
    while (*sent < size) {
        DWORD written = 0;
        if (!InternetWriteFile(request, data + *sent, size - *sent, &written)) return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        *sent += written;
    }
    return true;
}
}  // namespace

bool setTimeouts(HINTERNET handle, DWORD exchangeMs) {
    DWORD none = kNoTimeout;
    return InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &none, sizeof(none)) &&
           InternetSetOptionW(handle, INTERNET_OPTION_SEND_TIMEOUT, &exchangeMs, sizeof(exchangeMs)) &&
           InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &exchangeMs, sizeof(exchangeMs));
}

bool getAnswer(HINTERNET connection, bool secure, bool acceptAllCert, const HttpFilePart* chunk, const BYTE* message,
               uint16_t length, ProtocolResponse& response, const wchar_t* objectName,
               CFDXSProtocol& status) {
    BYTE buffer[kResponseBufferSize] = {};
    DWORD received = 0;
    if (!httpPost(connection, secure, acceptAllCert, chunk, message, length, buffer, &received, objectName)) {
        logMessage(L_ERROR, "Failed to communicate via HTTP POST");
        return false;
    }
    if (!decodeResponse(response, buffer, received)) {
        logMessage(L_ERROR, "Unable to decode response!");
        dumpBytes(buffer);
        return false;
    }
    status.set(response.value);
    const char* statusText = CFDXSProtocol::statusNameOf(response.value);
    const char* reason = status.reasonName();
    if (strcmp(reason, "Undefined") != 0)
        logMessage(L_DEBUG, "Response <%s,%s>, Reason <%s>", typeName(response.type), statusText, reason);
    else
        logMessage(L_DEBUG, "Response <%s,%s>", typeName(response.type), statusText);
    return true;
}

bool buildMessagePart(char* target, size_t capacity, const BYTE* message, uint16_t length, const char* boundaryLine,
                      size_t* partLength) {
    if (FAILED(StringCchCopyA(target, capacity, boundaryLine))) {
        logMessage(L_ERROR, "Failed to write the boundary line!");
        return false;
    }
    if (FAILED(StringCchCatA(target, capacity, rpqproto::kMessageDisposition))) {
        logMessage(L_ERROR, "Failed to add Content-Disposition line!");
        return false;
    }
    if (FAILED(StringCchCatA(target, capacity, rpqproto::kPartContentType))) {
        logMessage(L_ERROR, "Failed to add Content-Type line!");
        return false;
    }
    size_t textLength = strlen(target);
    logMessage(L_TRACE, "Buffer4: <%s>", target);
    logMessage(L_TRACE, "Buffer4: length <%lu>", static_cast<unsigned long>(textLength));
    if (textLength + length > capacity) {
        logMessage(L_ERROR, "Failed to add the message to its part!");
        return false;
    }
    memcpy(target + textLength, message, length);
    *partLength = textLength + length;
    return true;
}

bool sendBody(HINTERNET request, const char* messagePart, size_t partLength, const HttpFilePart* chunk,
              const std::string& boundary, bool acceptAllCert) {
    const std::string closing = rpqproto::closingBoundary(boundary);
    const char* closingBoundary = closing.c_str();
    size_t closingLength = closing.size();
    logMessage(L_TRACE, "Message size: %d bytes, boundary size: %d bytes.", static_cast<int>(partLength),
               static_cast<int>(closingLength));
    DWORD total = static_cast<DWORD>(partLength + closingLength);
    std::string chunkHead;  // CRLF, boundary line and the chunk part's headers
    if (chunk) {
        logMessage(L_TRACE, "File size: %d bytes.", static_cast<int>(chunk->size));
        logMessage(L_TRACE, "Boundary size: %lu bytes.",
                   static_cast<unsigned long>(rpqproto::boundaryLine(boundary).size()));
        char name[259] = {};
        if (!convertToMultiByte(name, sizeof(name), chunk->name)) logMessage(L_ERROR, "Could not convert short filename!");
        if (strlen(name) >= MAX_PATH - 60 || !rpqproto::chunkPartHead(boundary, name, &chunkHead)) {
            logMessage(L_ERROR, "Chunk name too long for its Content-Disposition line!");
            return false;
        }
        logMessage(L_TRACE, "Chunk part headers size %lu bytes.", static_cast<unsigned long>(chunkHead.size()));
        total += static_cast<DWORD>(chunkHead.size()) + chunk->size;
    }
    logMessage(L_TRACE, "Total size of the request is %lu bytes.", static_cast<unsigned long>(total));

    unique_hfile file;
    if (chunk) {
        logMessage(L_TRACE, "Opening file..");
        file.reset(CreateFileW(chunk->path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            logSystemError("Could not open the chunk file. Reason <%lu>", GetLastError());
            return false;
        }
    }

    logMessage(L_DEBUG, "Send binary data %lu bytes.", static_cast<unsigned long>(total));
    // The first round holds the message part and the chunk's part headers
    // whole; every round fills at most kSendBufferSize bytes (more in the
    // first when the message part is longer). The chunk file is read ahead
    // in large blocks behind the rounds.
    CReadAhead reader(file.get());
    std::unique_ptr<char[]> held(new (std::nothrow) char[kMessagePartCapacity + kSendBufferSize]);
    if (!held) {
        logMessage(L_ERROR, "No memory for the send buffer!");
        return false;
    }
    char* buffer = held.get();
    bool closingSent = false;
    bool fileExhausted = !chunk;
    DWORD fileRead = 0;
    // Fills the next round into buffer; false when the chunk file fails.
    auto composeRound = [&](bool first, size_t* roundFill) {
        size_t fill = 0;
        size_t capacity = kSendBufferSize;
        if (first) {
            memcpy(buffer, messagePart, partLength);
            fill = partLength;
            logMessage(L_TRACE, "Message: %d bytes moved to buffer.", static_cast<int>(fill));
            if (chunk) {
                memcpy(buffer + fill, chunkHead.data(), chunkHead.size());
                fill += chunkHead.size();
                logMessage(L_TRACE, "Added chunk headers: Now (including message) %d bytes moved to buffer.",
                           static_cast<int>(fill));
            }
            if (fill > capacity) capacity = fill;
        }
        bool bufferFull = false;
        if (!fileExhausted) {
            DWORD got = 0;
            DWORD room = static_cast<DWORD>(capacity - fill);
            if (!reader.read(buffer + fill, room, &got)) {
                // A body shorter than its Content-Length would hold the exchange.
                logSystemError("Could not read the chunk file. Reason <%lu>", GetLastError());
                return false;
            }
            fileRead += got;
            if (room > 0 && got < room && fileRead < chunk->size) {
                logMessage(L_ERROR, "The chunk file ends after <%lu> of <%lu> bytes!", fileRead, chunk->size);
                return false;
            }
            fill += got;
            logMessage(L_TRACE, "ReadFile: %lu bytes moved to buffer.", static_cast<unsigned long>(got));
            logMessage(L_TRACE, "ReadFile: Filled buffer to position <%lu>", static_cast<unsigned long>(fill));
            if (got > 0 && fill == capacity) {
                bufferFull = true;
            } else {
                logMessage(L_TRACE, "ReadFile: Buffer still has space");
                if (got == 0) logMessage(L_TRACE, "ReadFile: FileBytesRead is zero");
                fileExhausted = true;
            }
        }
        if (fileExhausted && !bufferFull) {
            if (capacity - fill > closingLength) {
                logMessage(L_TRACE, "Adding closing boundary");
                memcpy(buffer + fill, closingBoundary, closingLength);
                fill += closingLength;
                closingSent = true;
            } else {
                logMessage(L_TRACE, "Need to add closing boundary to next buffer");
            }
        }
        *roundFill = fill;
        return true;
    };

    // The first round travels with the request's headers, in one write: a
    // small request sent as two small segments would wait for a delayed ACK.
    size_t fill = 0;
    if (!composeRound(true, &fill)) return false;
    INTERNET_BUFFERSW buffers = {};
    buffers.dwStructSize = sizeof(buffers);
    buffers.lpvBuffer = buffer;
    buffers.dwBufferLength = static_cast<DWORD>(fill);
    buffers.dwBufferTotal = total;
    if (!HttpSendRequestExW(request, &buffers, nullptr, 0, 0)) {
        DWORD error = GetLastError();
        bool retried = false;
        if (error == ERROR_INTERNET_INVALID_CA && acceptAllCert) {
            DWORD flags = 0, size = sizeof(flags);
            InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
            logMessage(L_DEBUG, "Set flag SECURITY_FLAG_IGNORE_UNKNOWN_CA");
            flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
            InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
            retried = HttpSendRequestExW(request, &buffers, nullptr, 0, 0) != FALSE;
            if (!retried) error = GetLastError();
        }
        if (!retried) {
            logSystemError("Could not open request. Reason <%lu>", error);
            return false;
        }
    }
    bool result = true;
    DWORD due = total;
    DWORD sentTotal = static_cast<DWORD>(fill);
    logMessage(L_TRACE, "%d bytes sent.", static_cast<int>(sentTotal));
    due = sentTotal >= due ? 0 : due - sentTotal;
    while (due > 0) {
        if (closingSent) {
            logMessage(L_TRACE, "Done!");
            break;
        }
        if (!composeRound(false, &fill)) return false;
        DWORD written = 0;
        if (fill > 0 && !writeAll(request, buffer, static_cast<DWORD>(fill), &written)) {
            logSystemError("Could not send bytes : Reason <%lu>", GetLastError());
            return false;  // not ended: the request is dropped, never answered short
        }
        sentTotal += written;
        logMessage(L_TRACE, "%d bytes sent.", static_cast<int>(sentTotal));
        due = written >= due ? 0 : due - written;
    }
    logMessage(L_DEBUG, "Body sent: <%lu> bytes.", static_cast<unsigned long>(sentTotal));
    if (!HttpEndRequestW(request, nullptr, 0, 0)) {
        DWORD error = GetLastError();
        if (error == ERROR_INTERNET_TIMEOUT) {
            logMessage(L_DEBUG, "Hint: HttpEndRequest failed due to TIMEOUT, but ignored.");
        } else {
            logSystemError("HttpEndRequest failed. Reason <%lu>", error);
            result = false;
        }
    }
    return result;
}

bool readResponse(HINTERNET request, BYTE* responseBuffer, DWORD* received) {
    memset(responseBuffer, 0, kResponseBufferSize);
    *received = 0;
    DWORD got = 0;
    do {
        if (!InternetReadFile(request, responseBuffer + *received, kResponseBufferSize - 1 - *received, &got)) {
            DWORD error = GetLastError();
            memset(responseBuffer, 0, kResponseBufferSize);
            *received = 0;
            logMessage(L_ERROR, "Internet ReadFile failed!");
            SetLastError(error);
            return false;
        }
        *received += got;
    } while (got > 0 && *received < kResponseBufferSize - 1);
    responseBuffer[*received] = 0;
    logMessage(L_DEBUG, "Read response - <%lu> bytes received", *received);
    return true;
}

bool httpPost(HINTERNET connection, bool secure, bool acceptAllCert, const HttpFilePart* chunk, const BYTE* message,
              uint16_t length, BYTE* responseBuffer, DWORD* received, const wchar_t* objectName) {
    memset(responseBuffer, 0, kResponseBufferSize);
    *received = 0;
    if (length > 0 && message[0] == MSG_CHUNK && chunk) {
        logMessage(L_INFO, "Sending <%s> message plus chunk", "CHUNK");
    } else {
        logMessage(L_INFO, "Sending <%s> message", typeName(length > 0 ? message[0] : 0));
        chunk = nullptr;
    }
    // A redirect would post the job's bytes to a server nobody configured.
    DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (secure) {
        flags |= INTERNET_FLAG_SECURE;
        logMessage(L_DEBUG, "using internet flags: INTERNET_FLAG_SECURE");
        if (acceptAllCert) {
            flags |= INTERNET_FLAG_IGNORE_CERT_CN_INVALID;
            logMessage(L_DEBUG, "using internet flag: INTERNET_FLAG_IGNORE_CERT_CN_INVALID");
        }
    }
    unique_hinternet request(HttpOpenRequestW(connection, L"POST", objectName, nullptr, nullptr, nullptr, flags, 0));
    if (!request) {
        logSystemError("Failed to open request handle. Reason <%lu>", GetLastError());
        return false;
    }
    // The connection's receive time-out is the body's whole time (requests
    // inherit it; Wine's do not report it); 0 or none: WinINet's own.
    DWORD budgetMs = kExchangeTimeoutMs, budgetSize = sizeof(budgetMs);
    InternetQueryOptionW(connection, INTERNET_OPTION_RECEIVE_TIMEOUT, &budgetMs, &budgetSize);
    CAnswerWatch watch(request.get(), budgetMs);
    bool setUp = [&]() {
        if (!setRequestConnectTimeout(request.get())) {
            logSystemError("Failed to set internet request options: Reason: %lu", GetLastError());
            return false;
        }
        char boundary[22] = {};
        if (!generateUid(boundary, 21)) {
            logMessage(L_ERROR, "Failed to create a boundary!");
            return false;
        }
        logMessage(L_TRACE, "Format boundary UID <%s>!", boundary);
        wchar_t wideBoundary[22] = {};
        size_t converted = 0;
        errno_t error = mbstowcs_s(&converted, wideBoundary, 22, boundary, _TRUNCATE);
        if (error != 0 || converted < 22) {
            if (error != 0)
                logMessage(L_ERROR, "Can't convert boundary to wide string, returned error: %lu!",
                           static_cast<unsigned long>(error));
            else
                logMessageW(L_WARN, L"Conversion exceeds boundary size (%d): <%d> chars converted! wUID <%s>", 22,
                            static_cast<int>(converted), wideBoundary);
            logMessage(L_ERROR, "Failed to create WCHAR boundary from CHAR UID!");
            return false;
        }
        char boundaryLine[MAX_PATH];
        if (FAILED(StringCchCopyA(boundaryLine, sizeof(boundaryLine), rpqproto::boundaryLine(boundary).c_str()))) {
            logMessage(L_ERROR, "Failed to create boundary line!");
            return false;
        }
        logMessage(L_TRACE, "Boundary line now <%s>", boundaryLine);
        wchar_t header[MAX_PATH];
        StringCchPrintfW(header, MAX_PATH, L"Content-Type: %hs\r\n\r\n", rpqproto::bodyContentType(boundary).c_str());
        logMessageW(L_TRACE, L"Multipart line now <%s>", header);
        if (!HttpAddRequestHeadersW(request.get(), header, static_cast<DWORD>(-1),
                                    HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
            logSystemError("Failed to add request header Content-Type. Reason <%lu>", GetLastError());
            return false;
        }
        // Every exchange on a connection of its own: a kept-alive connection
        // that the server closed while idle would swallow the next request.
        if (!HttpAddRequestHeadersW(request.get(), L"Connection: close\r\n", static_cast<DWORD>(-1),
                                    HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
            logSystemError("Failed to add request header Connection. Reason <%lu>", GetLastError());
            return false;
        }
        char part[kMessagePartCapacity];
        size_t partLength = 0;
        if (!buildMessagePart(part, sizeof(part), message, length, boundaryLine, &partLength)) return false;
        logMessage(L_TRACE, "Added message part");
        logMessage(L_TRACE, "Boundary end <%s>", rpqproto::closingBoundary(boundary).c_str());
        bool sent = sendBody(request.get(), part, partLength, chunk, boundary, acceptAllCert);
        // The body's time starts with the status line: however slowly its
        // bytes come, it is whole within the receive time-out or not at all.
        if (sent && budgetMs != 0 && budgetMs != kNoTimeout) {
            logMessage(L_TRACE, "The answer's body is due within <%lu> ms.", budgetMs);
            if (!watch.start()) logSystemError("The answer's deadline could not be kept. Reason <%lu>", GetLastError());
        }
        // A failed or late read is a failed exchange, never an answer of zeros.
        bool answered = sent && readResponse(request.get(), responseBuffer, received);
        watch.stop();
        if (watch.fired()) {
            memset(responseBuffer, 0, kResponseBufferSize);
            *received = 0;
            logMessage(L_ERROR, "Internet ReadFile failed: the answer did not come whole in time!");
            SetLastError(ERROR_INTERNET_TIMEOUT);
            return false;
        }
        if (!sent) {
            // Nothing to wait for: a request that did not go out whole is never answered.
            logMessage(L_ERROR, chunk ? "Failed to send binary contents & chunk file!" : "Failed to send binary contents!");
            return false;
        }
        return answered;
    }();
    // Closed by the watch already: stopped before the handle is let go.
    if (watch.fired()) {
        request.release();
        return setUp;
    }
    HINTERNET handle = request.release();
    if (!InternetCloseHandle(handle)) logSystemError("Failed to close Request handle. Reason <%lu>", GetLastError());
    return setUp;
}

bool validateServerConnection(const wchar_t* serverName, uint16_t port, const wchar_t* printerName, bool secure,
                              bool acceptAllCert, const wchar_t* objectName, ProtocolResponse* answer,
                              DWORD* lastError) {
    if (lastError) *lastError = 0;
    ULONGLONG start = GetTickCount64();
    logMessage(L_DEBUG, "Validate server connection");
    bool alive = false;
    unique_hinternet session(InternetOpenW(L"RpqHttpPOST", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (session) {
        logMessage(L_TRACE, "got a session");
        setTimeouts(session.get());
        unique_hinternet connection(InternetConnectW(session.get(), serverName, port, nullptr, nullptr,
                                                     INTERNET_SERVICE_HTTP, 0, 0));
        if (connection) {
            logMessage(L_TRACE, "got a connection");
            setTimeouts(connection.get());
            char uid[11] = {};
            CFDXSProtocol status;
            ProtocolRequest request;
            BYTE message[kMessageBufferSize] = {};
            uint16_t length = 0;
            if (generateUid(uid, 10)) {
                prepareRequest(request, uid, MSG_PING);
                if (createMessage(request, message, &length, printerName)) {
                    dumpRequest(request);
                    for (int attempt = 0; attempt < rpqproto::kProbeAttempts && !alive; ++attempt) {
                        ProtocolResponse response;
                        if (!getAnswer(connection.get(), secure, acceptAllCert, nullptr, message, length, response,
                                       objectName, status)) {
                            if (lastError) *lastError = GetLastError();
                            continue;
                        }
                        dumpResponse(response);
                        if (answersRequest(request, response)) {
                            logMessage(L_DEBUG, "Server is ALIVE, workflow running ...");
                            alive = true;
                            if (answer) *answer = response;
                        }
                    }
                    if (!alive) logMessage(L_ERROR, "PING response timed out!");
                }
            }
            logMessage(L_TRACE, "Close internet connection.");
        }
        logMessage(L_TRACE, "Close internet session.");
    }
    logElapsed(start);
    return alive;
}
