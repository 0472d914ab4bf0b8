#include "tools/jobfolder.h"
#include <windows.h>
#include <aclapi.h>
#include "base/finalpath.h"
#include "base/jobfiles.h"
#include "base/trust.h"
#include "base/unique.h"

namespace {
bool markDeleted(HANDLE object) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(object, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// The folder at path itself, trusted, held so that it cannot be renamed or
// replaced while it is worked on; why not in *why.
HANDLE openTrustedFolder(const std::wstring& path, std::wstring* why) {
    unique_hfile folder(CreateFileW(path.c_str(), DELETE | READ_CONTROL | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!folder || !GetFileInformationByHandle(folder.get(), &info)) {
        *why = L"cannot be opened (error " + std::to_wstring(GetLastError()) + L")";
        return INVALID_HANDLE_VALUE;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !isAtPath(folder.get(), path.c_str())) {
        *why = L"is a link or no folder: not followed";
        return INVALID_HANDLE_VALUE;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        *why = L"its access list cannot be read";
        return INVALID_HANDLE_VALUE;
    }
    unique_hlocal owned(descriptor);
    if (!isTrustedFolderSecurity(descriptor)) {
        *why = L"others made it or may write to it: not RPQ's";
        return INVALID_HANDLE_VALUE;
    }
    return folder.release();
}

// A job file, deleted through a handle that is at its path (a link there, or
// a folder on the way swapped for one, leads elsewhere and is left). A file
// with more than one name is a hard link to something that is not only the
// job's: left as well.
bool deleteJobFile(const std::wstring& path) {
    unique_hfile file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!file || !GetFileInformationByHandle(file.get(), &info)) return false;
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks > 1 || !isAtPath(file.get(), path.c_str()))
        return false;
    return markDeleted(file.get());
}

// Empties one trusted folder of job files (one level of printer folders
// below the job folder), then removes it through its handle.
bool emptyAndRemove(const std::wstring& folder, bool hasPrinterFolders, std::vector<std::wstring>* kept) {
    std::wstring why;
    unique_hfile held(openTrustedFolder(folder, &why));
    if (!held) {
        kept->push_back(folder + L": " + why);
        return false;
    }
    bool whole = true;
    // Listed through the held handle itself: what is listed is this folder's.
    std::vector<std::pair<std::wstring, DWORD>> entries;
    alignas(8) BYTE block[64 * 1024];
    for (FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
         GetFileInformationByHandleEx(held.get(), kind, block, sizeof(block)); kind = FileFullDirectoryInfo) {
        for (auto* entry = reinterpret_cast<FILE_FULL_DIR_INFO*>(block);;
             entry = reinterpret_cast<FILE_FULL_DIR_INFO*>(reinterpret_cast<BYTE*>(entry) + entry->NextEntryOffset)) {
            entries.emplace_back(std::wstring(entry->FileName, entry->FileNameLength / sizeof(wchar_t)),
                                 entry->FileAttributes);
            if (entry->NextEntryOffset == 0) break;
        }
    }
    for (const auto& [name, attributes] : entries) {
        if (name == L"." || name == L"..") continue;
        std::wstring path = folder + L"\\" + name;
        bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0, directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (directory && !link && hasPrinterFolders) {
            whole = emptyAndRemove(path, false, kept) && whole;
        } else if (!link && !directory && !hasPrinterFolders && isJobFileName(name.c_str())) {
            if (!deleteJobFile(path)) {
                kept->push_back(path + L": not at its own path, or cannot be deleted");
                whole = false;
            }
        } else {
            kept->push_back(path + L": not one of RPQ's job files");
            whole = false;
        }
    }
    if (whole && !markDeleted(held.get())) {
        kept->push_back(folder + L": cannot be removed (error " + std::to_wstring(GetLastError()) + L")");
        whole = false;
    }
    return whole;
}
}  // namespace

bool removeJobFolder(const std::wstring& temp, std::vector<std::wstring>* kept) {
    DWORD attributes = GetFileAttributesW(temp.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    return emptyAndRemove(temp, true, kept);
}
