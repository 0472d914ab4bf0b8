// The names of a job's files in its printer's folder.
#pragma once
#include <windows.h>

// Whether a file name is one of a job's: its 10-character UID, then ".dat",
// ".7z", ".psf" or a chunk number of three or more digits.
bool isJobFileName(const wchar_t* name);
