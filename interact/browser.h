// Opening the printing user's browser at the job's interaction page.
#pragma once
#include <windows.h>

constexpr size_t kCommandChars = 264;

// Opens the user's browser at the job's interaction page.
void openInteractionPage(bool secure, const wchar_t* serverName, unsigned port, const wchar_t* interactionActionPath,
                         const char* uid, const wchar_t* userName, PSID userSid, DWORD sessionId);
bool makeWebAddress(wchar_t* target, bool secure, const wchar_t* serverName, unsigned port,
                    const wchar_t* interactionActionPath);
// The account (SID) and logon session of the calling thread's token, or of
// the process's when the thread is not impersonating.
bool currentUserIdentity(BYTE* sid, DWORD sidSize, DWORD* sessionId);
int openBrowserAsUser(const wchar_t* address, const char* uid, const wchar_t* userName, PSID userSid,
                      DWORD sessionId);
// A primary token of a process of that account; in that logon session
// unless sessionId is 0 (the services' session).
HANDLE get_token_for_user(const wchar_t* userName, PSID userSid, DWORD sessionId);
// The full rundll32 command; false when a piece does not fit 263 characters.
bool buildBrowserCommand(wchar_t* command, HANDLE writeEnd, const wchar_t* address, const wchar_t* uid);
// The answer text for a ShellExecute result.
const wchar_t* shellExecuteAnswer(INT_PTR result);
// Splits the rundll32 tail into the handle value and the address.
void parseBrowserTail(const wchar_t* tail, ULONG_PTR* handle, wchar_t* address, size_t capacity);

extern "C" void CALLBACK OpenBrowserW(HWND window, HINSTANCE instance, LPWSTR commandLine, int show);
