// Installing over files a running process holds: the spooler keeps RPQ.dll
// (and, during a job, 7z.dll) loaded for as long as it runs.
#pragma once
#include <string>

// Puts a copy of source at target. A target that cannot be written because
// it is in use is renamed aside in its folder ("<name>.old-<n>"), the copy
// takes its place, and the old file is deleted at the next restart (or by a
// later install, once nothing holds it). *wasInUse tells whether that
// happened. False, with the last error, when the copy could not be made;
// the old file is then back in place.
bool replaceFile(const std::wstring& source, const std::wstring& target, bool* wasInUse);

// Renames path to "<path><tag><n>" with the first n from start that is not
// taken, into *aside; false (with the rename's error) when it cannot.
bool moveAside(const std::wstring& path, const wchar_t* tag, unsigned start, std::wstring* aside);

// Deletes the files that earlier replacements of target set aside and that
// nothing holds any more.
void sweepSetAside(const std::wstring& target);

// Stops and starts the Spooler service when it runs, so that its next job
// loads the new RPQ.dll. False when it runs and could not be restarted.
bool restartSpoolerIfRunning(bool* restarted);
