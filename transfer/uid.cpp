#include "transfer/uid.h"
#include <bcrypt.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include "diag/log.h"


char uidCharForByte(BYTE b) { return rpqproto::uidCharForByte(b); }

bool generateUid(char* target, uint32_t n) {
    // The system's generator: a CryptoAPI context per identifier costs
    // milliseconds, and every exchange draws a boundary.
    std::unique_ptr<BYTE[]> random(new (std::nothrow) BYTE[n ? n : 1]);
    if (!random || !BCRYPT_SUCCESS(BCryptGenRandom(nullptr, random.get(), n, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        logMessage(L_ERROR, "Could not get random bytes!");
        return false;
    }
    for (uint32_t i = 0; i < n; ++i) target[i] = uidCharForByte(random[i]);
    target[n] = '\0';
    SecureZeroMemory(random.get(), n);
    return true;
}

bool convertToMultiByte(char* target, uint16_t targetSize, const wchar_t* source) {
    if (!target || !source || targetSize < wcslen(source) + 1) {
        logMessage(L_ERROR, "Target variable too small!");
        return false;
    }
    // The system's ANSI code page: no process-wide C locale is read or set.
    int n = WideCharToMultiByte(CP_ACP, 0, source, -1, target, targetSize, nullptr, nullptr);
    if (n <= 0) {
        target[0] = '\0';
        logMessage(L_ERROR, "Can't convert to multi byte string, returned error: %lu!", GetLastError());
        return false;
    }
    size_t converted = static_cast<size_t>(n);
    if (converted > 10) return true;
    logMessage(L_INFO, "Converted <%d> chars converted! Target <%s>", static_cast<int>(converted), target);
    return false;
}

bool convertUid(wchar_t* target, uint16_t targetSize, const char* uid) {
    if (!target || !uid || targetSize <= 8) {
        logMessage(L_ERROR, "Convert UID <buffer too small>!");
        return false;
    }
    int length = static_cast<int>(strnlen(uid, kUidLength));
    int n = length == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, uid, length, target, targetSize - 1);
    if (length > 0 && n <= 0) {
        target[0] = L'\0';
        logMessage(L_ERROR, "Convert UID <error %lu>!", GetLastError());
        return false;
    }
    target[n] = L'\0';
    size_t converted = static_cast<size_t>(n) + 1;  // with the terminator
    if (converted > kUidLength) return true;
    logMessageW(L_DEBUG, L"Convert UID <%d> chars converted! wUID <%s>", static_cast<int>(converted), target);
    return false;
}

void clearString(char* buffer, size_t size) {
    if (!buffer || size == 0 || strcpy_s(buffer, size, "") != 0)
        logMessage(L_ERROR, "clearString: Could clear the string: Contents remain <%s>", buffer ? buffer : "");
}

void wclearString(wchar_t* buffer, size_t size) {
    if (!buffer || size == 0 || wcscpy_s(buffer, size, L"") != 0)
        logMessageW(L_ERROR, L"ERROR: wclearString: Could clear the wstring: Contents remain <%s>",
                    buffer ? buffer : L"");
}
