// Who may have made an object that RPQ finds already there: the system, the
// administrators, or the account RPQ itself runs as.
#pragma once
#include <windows.h>
#include <accctrl.h>

bool isTrustedOwner(PSID owner);
// The owner of a kernel object or file, through its handle.
bool hasTrustedOwner(HANDLE object, SE_OBJECT_TYPE type);
// A folder RPQ may use as it finds it: a trusted owner, and no right to put,
// replace or remove anything in it for anyone else.
bool isTrustedFolderSecurity(PSECURITY_DESCRIPTOR descriptor);
// Whether the access list of current lets anyone but the system, the
// administrators and RPQ's account do more than wanted's list lets them
// (an older, more open list); false when it grants no more than wanted.
bool grantsMoreThan(PSECURITY_DESCRIPTOR current, PSECURITY_DESCRIPTOR wanted);
