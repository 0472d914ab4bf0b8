// Removing the job folder ("Temp\") as the system, without ever following a
// link: every folder is opened without following reparse points, held
// without delete sharing, checked at its own path and trusted before
// anything in it is touched, and only RPQ's own job-file names are deleted,
// each through a handle at its own path. Anything else stays.
#pragma once
#include <string>
#include <vector>

// Empties and removes the job folder and its printer folders; what it left
// (and why) goes into *kept. True when nothing was left; a folder that is not
// there counts as removed.
bool removeJobFolder(const std::wstring& temp, std::vector<std::wstring>* kept);
