// Opening the printing user's browser at the job's interaction page.
#pragma once
#include <windows.h>
#include "interact/owner.h"

constexpr size_t kCommandChars = 264;

// Opens the owner's browser at the job's interaction page.
void openInteractionPage(bool secure, const wchar_t* serverName, unsigned port, const wchar_t* interactionActionPath,
                         const char* uid, const JobOwner& owner);
bool makeWebAddress(wchar_t* target, bool secure, const wchar_t* serverName, unsigned port,
                    const wchar_t* interactionActionPath);
// Starts rundll32 with RPQ.dll's OpenBrowserW in the owner's session, under
// the owner's token, inheriting nothing; waits up to 10 s for its exit code
// (the shell's answer) and logs what it means.
int openBrowserAsUser(const wchar_t* address, const char* uid, const JobOwner& owner,
                      const SessionPlatform& platform = systemSessions());
// A primary token for the owner's session: the session's user token, else
// that of a medium-integrity, unsandboxed program of the owner there.
HANDLE get_token_for_user(const JobOwner& owner, const SessionPlatform& platform = systemSessions());
// The token is the account's, in that session; with checkLevel also of
// medium integrity and outside any app container.
bool isUsableUserToken(HANDLE token, PSID sid, DWORD session, bool checkLevel);
// The full rundll32 command; false when a piece does not fit 263 characters.
bool buildBrowserCommand(wchar_t* command, HANDLE writeEnd, const wchar_t* address, const wchar_t* uid);
// The answer text for a ShellExecute result.
const wchar_t* shellExecuteAnswer(INT_PTR result);
// ShellExecuteEx's answer for the address, inside a COM apartment.
INT_PTR openWithShell(const wchar_t* address);
// Splits the rundll32 tail into the handle value and the address.
void parseBrowserTail(const wchar_t* tail, ULONG_PTR* handle, wchar_t* address, size_t capacity);

extern "C" void CALLBACK OpenBrowserW(HWND window, HINSTANCE instance, LPWSTR commandLine, int show);
