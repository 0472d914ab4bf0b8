// Datagrams to the user's tray notifier.
#pragma once
#include <windows.h>

struct JobOwner;

constexpr char kNotifierMarker[] = "7D3F19A4-5C2E-4B8A-9E61-0F4C2B7A93D5";
constexpr size_t kDatagramSize = 500;
constexpr USHORT kDefaultNotifierPort = 8090;
constexpr wchar_t kNotifierKey[] = L"SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify";
// Volatile: a value per session, named by its number, holding the UDP port
// that the user's notifier in that session listens on.
constexpr wchar_t kNotifierSessionsKey[] = L"SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify\\Sessions";

void sendNotification(int level, const char* uid, const wchar_t* format, ...);
int UDPClient(int level, const char* uid, const char* text);
void notifyJobFailed(const wchar_t* printerName, const wchar_t* documentName, const char* uid);
bool isProcessRunning(const wchar_t* executableName);

// Pieces of a datagram, exposed for tests.
bool wantsTimePrefix(int logLevel, int messageLevel);
// Assembles marker, colon, prefix and text (cut so that CR LF and NUL fit)
// into a zero-filled buffer of 500 bytes; returns the length without NUL.
size_t buildDatagram(char* buffer, const char* prefix, const char* text);
// The port the owner's notifier listens on: the one their notifier published
// for the owner's session, else their "UDPPort" (low 16 bits), else 8090.
USHORT notifierPort(const JobOwner& owner, wchar_t* portText, size_t capacity);
