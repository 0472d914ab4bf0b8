// Where an opened file or folder really is.
#pragma once
#include <windows.h>

// Whether the handle's object is at path itself: its final path (without
// "\\?\") equals path's full form, case aside. False when a link or a
// redirected folder on the way led elsewhere.
bool isAtPath(HANDLE object, const wchar_t* path);
