// Folders and files the spooler's account makes, with access lists set when
// they are created and never re-applied through a path a user could have
// redirected.
#pragma once
#include <windows.h>
#include "base/trust.h"
#include "base/unique.h"

enum class FileAccess {
    Readable,  // the system and administrators change it, everyone reads it (the product's folders)
    Private,   // the system and administrators only (users' documents, logs)
};

// A security attributes block with the access list, inherited by what is
// created inside a folder made with it; null from get() when it could not be
// made (nothing is then created open to anyone by default).
class CSecurityAttributes {
public:
    explicit CSecurityAttributes(FileAccess access);
    SECURITY_ATTRIBUTES* get() { return m_attributes.lpSecurityDescriptor ? &m_attributes : nullptr; }

private:
    SECURITY_ATTRIBUTES m_attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    unique_hlocal m_descriptor;
};

// A new file (CREATE_NEW) for the system and administrators only: what users
// print never becomes readable to others through the folder's list. A file
// that ends up anywhere but at path (a folder on the way redirected) is
// deleted again and refused, with an event-log entry.
HANDLE createPrivateFile(const wchar_t* path, DWORD desiredAccess, DWORD share);

// Creates the folder with the access list, or takes the one that is there
// when the system, the administrators or RPQ's own account own it and no one
// else may write or create in it. A reparse point (junction, symbolic link),
// a file, or a folder someone else made or may write to is refused, with an
// event-log entry. With held, the folder stays open (it cannot be renamed,
// replaced or deleted) until held is released.
bool makeSecureFolder(const wchar_t* path, FileAccess access, unique_hfile* held = nullptr);


// Deletes the file at path through a handle to it, only when that handle's
// final path is path itself (no link or redirected folder on the way).
bool deleteSecureFile(const wchar_t* path);

// Opens the file, creating it with the access list when it is missing, without
// following a reparse point. A reparse point, or a file with more than one
// link (a hard link to another file), is closed again and refused, with an
// event-log entry: INVALID_HANDLE_VALUE and ERROR_ACCESS_DENIED.
HANDLE openSecureFile(const wchar_t* path, DWORD desiredAccess, DWORD share, FileAccess access);
