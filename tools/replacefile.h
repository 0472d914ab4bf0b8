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
// loads the new RPQ.dll; services that depend on it (fax, say) are stopped
// first and started again after it. False when it runs and could not be
// restarted.
bool restartSpoolerIfRunning(bool* restarted);

// The files one installation set aside, so that its rollback can put them
// back ("SetAside" under HKLM\SOFTWARE\Halvane\RPQ: target and aside, in
// pairs). An installation starts a new list.
void clearSetAsideRecord();
void recordSetAside(const std::wstring& target, const std::wstring& aside);
// Puts every recorded file back where it was set aside from (a newer file
// there, held loaded, is set aside in its turn and deleted at the next
// restart), cancels the older file's pending delete, and clears the list.
// False when a file could not be put back.
bool restoreSetAside();

// Deletes a file now, or, while it is in use, sets it aside and deletes it
// at the next restart (*delayed true).
bool deleteNowOrAtRestart(const std::wstring& path, bool* delayed);
