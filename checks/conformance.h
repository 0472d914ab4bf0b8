// rpqcheck's work, inside RPQ.dll so that what it sends is byte for byte
// what jobs send: a workflow server driven through the protocol, one line
// per expectation.
#pragma once
#include <windows.h>

// Receives each line of the report as it is made (progress included).
using RpqCheckOutput = void(WINAPI*)(void* context, LPCWSTR line);

constexpr DWORD kCheckInsecure = 0x1;  // any server certificate is accepted
constexpr DWORD kCheckQuick = 0x2;     // without the job of several chunks (16 MiB and more)

// url: http(s)://host:port/transfer-path. interactionPath: the server's
// interaction action path (null for "FDXS_Interaction"). timeoutSeconds:
// the exchanges' send and receive time-out (0 for the jobs' 60 s). Returns
// the number of failed expectations, or -1 when the URL cannot be used.
extern "C" int WINAPI RpqCheckServerW(LPCWSTR url, LPCWSTR interactionPath, DWORD flags, DWORD timeoutSeconds,
                                      RpqCheckOutput output, void* context);
