#include "base/tokenaccount.h"

bool tokenAccount(HANDLE token, BYTE* sid, DWORD sidSize) {
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) &&
           CopySid(sidSize, sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}
