#include "base/trust.h"
#include <aclapi.h>
#include "base/tokenaccount.h"
#include "base/unique.h"

namespace {
// Rights that let their holder put, replace or remove something in a folder.
constexpr ACCESS_MASK kChangingRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE |
                                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(known);
    return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

// The calling process's user or default owner.
bool isOwnAccount(PSID sid) {
    unique_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    BYTE user[SECURITY_MAX_SID_SIZE];
    if (tokenAccount(token.get(), user, sizeof(user)) && EqualSid(sid, user)) return true;
    alignas(8) BYTE buffer[SECURITY_MAX_SID_SIZE + 64];
    DWORD size = 0;
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

bool isTrustedFolderSecurity(PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    if (!descriptor || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !isTrustedOwner(owner) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl)
        return false;  // no access list at all lets everyone in
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) return false;
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for what is made inside, not for the folder
        switch (header->AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case SYSTEM_AUDIT_ACE_TYPE:
        case SYSTEM_ALARM_ACE_TYPE:
            continue;
        case ACCESS_ALLOWED_ACE_TYPE: {
            auto ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
            if ((ace->Mask & kChangingRights) && !isTrustedOwner(&ace->SidStart)) return false;
            continue;
        }
        default:
            return false;  // a kind of grant not looked into
        }
    }
    return true;
}

bool grantsMoreThan(PSECURITY_DESCRIPTOR current, PSECURITY_DESCRIPTOR wanted) {
    PACL have = nullptr, want = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    if (!current || !GetSecurityDescriptorDacl(current, &present, &have, &defaulted) || !present || !have) return true;
    if (!wanted || !GetSecurityDescriptorDacl(wanted, &present, &want, &defaulted) || !present || !want) return true;
    auto allowedIn = [](PACL list, PSID sid) {
        ACCESS_MASK mask = 0;
        for (DWORD i = 0; i < list->AceCount; ++i) {
            ACE_HEADER* header = nullptr;
            if (!GetAce(list, i, reinterpret_cast<void**>(&header))) continue;
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
            auto ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
            if (EqualSid(&ace->SidStart, sid)) mask |= ace->Mask;
        }
        return mask;
    };
    for (DWORD i = 0; i < have->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(have, i, reinterpret_cast<void**>(&header))) return true;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        auto ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        if (isTrustedOwner(&ace->SidStart)) continue;
        if (ace->Mask & ~allowedIn(want, &ace->SidStart)) return true;
    }
    return false;
}
