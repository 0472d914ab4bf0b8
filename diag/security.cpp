#include "diag/security.h"
#include <aclapi.h>
#include "base/unique.h"

namespace {
void freeSid(PSID sid) { FreeSid(sid); }
using unique_sid = CUniqueAny<PSID, freeSid>;
}  // namespace

void grantEveryoneAccess(const wchar_t* path) {
    if (!path) return;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    unique_sid everyone;
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, everyone.put()))
        return;
    EXPLICIT_ACCESSW access = {};
    access.grfAccessPermissions = 0xFFFFFFFF;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(everyone.get());
    PACL acl = nullptr;
    if (SetEntriesInAclW(1, &access, nullptr, &acl) != ERROR_SUCCESS) return;
    unique_hlocal aclOwner(acl);
    SetNamedSecurityInfoW(const_cast<LPWSTR>(path), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                          nullptr, nullptr, acl, nullptr);
}
