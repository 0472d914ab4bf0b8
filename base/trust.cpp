#include "base/trust.h"
#include <aclapi.h>
#include "base/unique.h"

namespace {
bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(known);
    return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

// The calling process's user or default owner.
bool isOwnAccount(PSID sid) {
    unique_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    alignas(8) BYTE buffer[SECURITY_MAX_SID_SIZE + 64];
    DWORD size = 0;
    if (GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size) &&
        EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid))
        return true;
    return GetTokenInformation(token.get(), TokenOwner, buffer, sizeof(buffer), &size) &&
           EqualSid(sid, reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner);
}
}  // namespace

bool isTrustedOwner(PSID owner) {
    if (!owner || !IsValidSid(owner)) return false;
    return isWellKnown(owner, WinLocalSystemSid) || isWellKnown(owner, WinBuiltinAdministratorsSid) ||
           isOwnAccount(owner);
}

bool hasTrustedOwner(HANDLE object, SE_OBJECT_TYPE type) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, type, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &descriptor) !=
        ERROR_SUCCESS)
        return false;
    unique_hlocal held(descriptor);
    return isTrustedOwner(owner);
}
