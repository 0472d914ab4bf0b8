// Which account holds a local UDP port: the processes bound to it, as the
// system's UDP table names them, and their accounts and sessions. Under
// Wine the table names no process (PID 0): that is told apart.
#pragma once
#include <windows.h>
#include <vector>

struct UdpTablePlatform {
    // The processes bound to the local port (any address); false when the
    // table cannot be read.
    bool (*holders)(USHORT port, std::vector<DWORD>* pids);
    // A process's account and session.
    bool (*processAccount)(DWORD pid, BYTE* sid, DWORD sidSize, DWORD* session);
};
const UdpTablePlatform& systemUdpTable();

// iphlpapi's GetExtendedUdpTable, looked up at first use in the library
// loaded once and kept for the process's life: a print processor that the
// spooler loads and frees per job (Wine's) would otherwise load and free it
// each time, and Wine's leaves a handle behind at every unload.
using GetExtendedUdpTableFn = DWORD(WINAPI*)(PVOID table, PDWORD size, BOOL order, ULONG family, int tableClass,
                                             ULONG reserved);
GetExtendedUdpTableFn extendedUdpTable();

enum class PortHolder {
    Nobody,    // no socket is bound to it
    Unknown,   // bound, but the table names no process (Wine), or it cannot be read
    Accepted,  // every process bound to it is one the caller accepts
    Other,     // a process the caller does not accept holds it
};

using AccountRule = bool (*)(PSID sid, DWORD session, const void* context);
PortHolder portHolder(USHORT port, AccountRule accepted, const void* context,
                      const UdpTablePlatform& platform = systemUdpTable());
