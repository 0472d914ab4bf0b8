// Folders and files the spooler's account makes, with access lists set when
// they are created and never re-applied through a path a user could have
// redirected.
#pragma once
#include <windows.h>

enum class FileAccess {
    Readable,  // the system and administrators change it, everyone reads it (logs)
    Private,   // the system and administrators only (users' documents)
};

// A security attributes block with the access list, inherited by what is
// created inside a folder made with it.
const SECURITY_ATTRIBUTES* securityFor(FileAccess access);

// A new file (CREATE_NEW) for the system and administrators only: what users
// print never becomes readable to others through the folder's list.
HANDLE createPrivateFile(const wchar_t* path, DWORD desiredAccess, DWORD share);

// Creates the folder with the access list, or takes the one that is there
// as it is. A reparse point (junction, symbolic link) or a file in its place
// is refused, with an event-log entry.
bool makeSecureFolder(const wchar_t* path, FileAccess access);

// Opens the file, creating it with the access list when it is missing, without
// following a reparse point. A reparse point, or a file with more than one
// link (a hard link to another file), is closed again and refused, with an
// event-log entry: INVALID_HANDLE_VALUE and ERROR_ACCESS_DENIED.
HANDLE openSecureFile(const wchar_t* path, DWORD desiredAccess, DWORD share, FileAccess access);
