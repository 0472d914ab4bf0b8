#include "base/udpowner.h"
#include <winsock2.h>
#include <iphlpapi.h>
#include "base/tokenaccount.h"
#include "base/unique.h"

namespace {
bool tableHolders(USHORT port, std::vector<DWORD>* pids) {
    GetExtendedUdpTableFn query = extendedUdpTable();
    if (!query) return false;
    ULONG size = 0;
    query(nullptr, &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
    std::vector<BYTE> table(size ? size : 1);
    if (!size || query(table.data(), &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0) != NO_ERROR) return false;
    auto rows = reinterpret_cast<const MIB_UDPTABLE_OWNER_PID*>(table.data());
    for (DWORD i = 0; i < rows->dwNumEntries; ++i)
        if (ntohs(static_cast<u_short>(rows->table[i].dwLocalPort)) == port) pids->push_back(rows->table[i].dwOwningPid);
    return true;
}

bool processAccount(DWORD pid, BYTE* sid, DWORD sidSize, DWORD* session) {
    unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    unique_handle token;
    if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return false;
    return tokenAccount(token.get(), sid, sidSize) && ProcessIdToSessionId(pid, session);
}

const UdpTablePlatform kSystemUdpTable = {tableHolders, processAccount};
}  // namespace

const UdpTablePlatform& systemUdpTable() { return kSystemUdpTable; }

namespace {
INIT_ONCE g_udpTableOnce = INIT_ONCE_STATIC_INIT;  // no handles of its own, unlike a guarded static

BOOL CALLBACK findUdpTable(PINIT_ONCE, PVOID, PVOID* found) {
    HMODULE library = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library) library = LoadLibraryW(L"iphlpapi.dll");
    FARPROC query = library ? GetProcAddress(library, "GetExtendedUdpTable") : nullptr;
    HMODULE pinned = nullptr;  // kept for the process's life
    if (query) GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                  reinterpret_cast<LPCWSTR>(query), &pinned);
    *found = reinterpret_cast<PVOID>(query);
    return TRUE;
}
}  // namespace

GetExtendedUdpTableFn extendedUdpTable() {
    PVOID query = nullptr;
    if (!InitOnceExecuteOnce(&g_udpTableOnce, findUdpTable, nullptr, &query)) return nullptr;
    return reinterpret_cast<GetExtendedUdpTableFn>(query);
}

PortHolder portHolder(USHORT port, AccountRule accepted, const void* context, const UdpTablePlatform& platform) {
    std::vector<DWORD> pids;
    if (!platform.holders(port, &pids)) return PortHolder::Unknown;
    if (pids.empty()) return PortHolder::Nobody;
    for (DWORD pid : pids) {
        if (pid == 0) return PortHolder::Unknown;
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD session = 0;
        if (!platform.processAccount(pid, sid, sizeof(sid), &session) || !accepted(sid, session, context))
            return PortHolder::Other;
    }
    return PortHolder::Accepted;
}
