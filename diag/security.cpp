#include "diag/security.h"
#include <sddl.h>
#include <strsafe.h>
#include "base/unique.h"
#include "diag/eventlog.h"

namespace {
// Protected: nothing is inherited from the folders above.
constexpr wchar_t kReadableSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)";
constexpr wchar_t kPrivateSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

struct CSecurity {
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    explicit CSecurity(const wchar_t* sddl) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
            attributes.lpSecurityDescriptor = descriptor;  // kept for the process's life
    }
};

void refuse(const wchar_t* what, const wchar_t* path) {
    wchar_t text[MAX_PATH + 128];
    StringCchPrintfW(text, ARRAYSIZE(text), L"ERROR: %s, left alone: %s", what, path);
    reportEvent(text);
}

// The object at path itself, never what a reparse point leads to.
HANDLE openUnfollowed(const wchar_t* path, DWORD desiredAccess, DWORD share, DWORD disposition,
                      const SECURITY_ATTRIBUTES* security, DWORD flags) {
    return CreateFileW(path, desiredAccess, share, const_cast<SECURITY_ATTRIBUTES*>(security), disposition,
                       flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}
}  // namespace

const SECURITY_ATTRIBUTES* securityFor(FileAccess access) {
    static const CSecurity readable(kReadableSddl), privateOnly(kPrivateSddl);
    const CSecurity& chosen = access == FileAccess::Readable ? readable : privateOnly;
    return chosen.attributes.lpSecurityDescriptor ? &chosen.attributes : nullptr;
}

HANDLE createPrivateFile(const wchar_t* path, DWORD desiredAccess, DWORD share) {
    const SECURITY_ATTRIBUTES* security = securityFor(FileAccess::Private);
    if (!security) return INVALID_HANDLE_VALUE;
    return CreateFileW(path, desiredAccess, share, const_cast<SECURITY_ATTRIBUTES*>(security), CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool makeSecureFolder(const wchar_t* path, FileAccess access) {
    const SECURITY_ATTRIBUTES* security = securityFor(access);
    if (!security) return false;  // never create a folder open to anyone by default
    if (CreateDirectoryW(path, const_cast<SECURITY_ATTRIBUTES*>(security))) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    unique_hfile folder(openUnfollowed(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                                   FILE_SHARE_DELETE,
                                       OPEN_EXISTING, nullptr, FILE_FLAG_BACKUP_SEMANTICS));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!folder || !GetFileInformationByHandle(folder.get(), &info)) return false;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        refuse(L"A reparse point stands where RPQ keeps a folder", path);
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        refuse(L"A file stands where RPQ keeps a folder", path);
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

HANDLE openSecureFile(const wchar_t* path, DWORD desiredAccess, DWORD share, FileAccess access) {
    const SECURITY_ATTRIBUTES* security = securityFor(access);
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
