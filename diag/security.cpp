#include "diag/security.h"
#include <aclapi.h>
#include <sddl.h>
#include <strsafe.h>
#include <cwchar>
#include "base/finalpath.h"
#include "base/folderaccess.h"
#include "base/trust.h"
#include "diag/eventlog.h"

namespace {

void refuse(const wchar_t* what, const wchar_t* path) {
    wchar_t text[MAX_PATH + 128];
    StringCchPrintfW(text, ARRAYSIZE(text), L"ERROR: %s, left alone: %s", what, path);
    reportEvent(text);
}

bool refuseFolder(const wchar_t* what, const wchar_t* path) {
    refuse(what, path);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

bool markForDeletion(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// The object at path itself, never what a reparse point leads to.
HANDLE openUnfollowed(const wchar_t* path, DWORD desiredAccess, DWORD share, DWORD disposition,
                      const SECURITY_ATTRIBUTES* security, DWORD flags) {
    return CreateFileW(path, desiredAccess, share, const_cast<SECURITY_ATTRIBUTES*>(security), disposition,
                       flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}
// Whether anyone but the system, the administrators and RPQ's own account
// is allowed anything on the object.
bool grantsOthers(PSECURITY_DESCRIPTOR descriptor) {
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl) return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) return true;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE && !(header->AceFlags & INHERIT_ONLY_ACE) &&
            !isTrustedOwner(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart))
            return true;
    }
    return false;
}

// A trusted folder that an older version made readable for everyone is
// closed to them, through a handle to the folder itself.
void makePrivate(const wchar_t* path, CSecurityAttributes& attributes) {
    unique_hfile folder(openUnfollowed(path, WRITE_DAC | READ_CONTROL | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, nullptr,
                                       FILE_FLAG_BACKUP_SEMANTICS));
    if (!folder || !isAtPath(folder.get(), path)) return;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    if (!GetSecurityDescriptorDacl(attributes.get()->lpSecurityDescriptor, &present, &dacl, &defaulted) || !present) return;
    SetSecurityInfo(folder.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                    nullptr, dacl, nullptr);
}
}  // namespace

CSecurityAttributes::CSecurityAttributes(FileAccess access) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(access == FileAccess::Readable ? kReadableSddl : kPrivateSddl,
                                                             SDDL_REVISION_1, &descriptor, nullptr)) {
        m_descriptor.reset(descriptor);
        m_attributes.lpSecurityDescriptor = descriptor;
    }
}

HANDLE createPrivateFile(const wchar_t* path, DWORD desiredAccess, DWORD share) {
    CSecurityAttributes attributes(FileAccess::Private);
    SECURITY_ATTRIBUTES* security = attributes.get();
    if (!security) return INVALID_HANDLE_VALUE;
    unique_hfile file(CreateFileW(path, desiredAccess | DELETE, share, security,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return INVALID_HANDLE_VALUE;
    if (!isAtPath(file.get(), path)) {
        bool deleted = markForDeletion(file.get());
        file.reset();
        refuse(deleted ? L"A job file was made outside RPQ's folder (a folder on the way was redirected) and deleted"
                       : L"A job file was made outside RPQ's folder (a folder on the way was redirected) and could not "
                         L"be deleted",
               path);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return file.release();
}

bool makeSecureFolder(const wchar_t* path, FileAccess access, unique_hfile* held) {
    CSecurityAttributes attributes(access);
    SECURITY_ATTRIBUTES* security = attributes.get();
    if (!security) return false;  // never create a folder open to anyone by default
    bool created = CreateDirectoryW(path, security) != FALSE;
    if (!created && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    // Opened without delete sharing: while held, nobody renames or replaces it.
    unique_hfile folder(openUnfollowed(path, FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       OPEN_EXISTING, nullptr, FILE_FLAG_BACKUP_SEMANTICS));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!folder || !GetFileInformationByHandle(folder.get(), &info)) return false;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return refuseFolder(L"A reparse point stands where RPQ keeps a folder", path);
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return refuseFolder(L"A file stands where RPQ keeps a folder", path);
    // Wine opens what a Unix link leads to even when asked not to: the
    // folder's own final path tells.
    if (!isAtPath(folder.get(), path)) return refuseFolder(L"A link stands where RPQ keeps a folder", path);
    if (!created) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
            return refuseFolder(L"The access list of a folder RPQ keeps cannot be read", path);
        unique_hlocal owned(descriptor);
        if (!isTrustedFolderSecurity(descriptor))
            return refuseFolder(L"A folder that others made or may write to stands where RPQ keeps a folder", path);
        if (access == FileAccess::Private && grantsOthers(descriptor)) makePrivate(path, attributes);
    }
    if (held) *held = std::move(folder);
    return true;
}

bool deleteSecureFile(const wchar_t* path) {
    unique_hfile file(openUnfollowed(path, DELETE | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, nullptr, 0));
    if (!file) return false;
    if (!isAtPath(file.get(), path)) {
        refuse(L"A job file to delete is not where RPQ keeps it", path);
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return markForDeletion(file.get());
}

HANDLE openSecureFile(const wchar_t* path, DWORD desiredAccess, DWORD share, FileAccess access) {
    CSecurityAttributes attributes(access);
    SECURITY_ATTRIBUTES* security = attributes.get();
    if (!security) return INVALID_HANDLE_VALUE;
    unique_hfile file(openUnfollowed(path, desiredAccess, share, OPEN_ALWAYS, security, FILE_ATTRIBUTE_NORMAL));
    if (!file) return INVALID_HANDLE_VALUE;
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file.get(), &info)) return INVALID_HANDLE_VALUE;
    const wchar_t* why = nullptr;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) why = L"A reparse point stands where RPQ keeps a file";
    else if (info.nNumberOfLinks > 1) why = L"A file with more than one link stands where RPQ keeps a file";
    if (why) {
        refuse(why, path);
        file.reset();
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return file.release();
}
