// RPQ.dll loaded, used and freed again and again in one process, as Wine's
// spooler does for every job: nothing of it stays behind.
#include <windows.h>
#include <gtest/gtest.h>
#include <winternl.h>
#include <winspool.h>
#include <winsplp.h>
#include <memory>
#include "tests/e2efixture.h"
#include "tests/spooledjob.h"

namespace {
// This process's open handles, counted in the system's handle table
// (GetProcessHandleCount answers 0 under Wine).
struct HandleEntry {
    ULONG ProcessId;
    BYTE ObjectTypeNumber;
    BYTE Flags;
    USHORT Handle;
    PVOID Object;
    ACCESS_MASK GrantedAccess;
};
struct HandleTable {
    ULONG Count;
    HandleEntry Handles[1];
};

// 0 when the table cannot be read (the test then fails: a count of 0 would
// prove nothing).
size_t handleCount() {
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation"));
    ULONG size = 1 << 20;
    for (int attempt = 0; attempt < 8; ++attempt, size *= 2) {
        std::unique_ptr<BYTE[]> buffer(new BYTE[size]);
        ULONG needed = 0;
        if (query(16 /* SystemHandleInformation */, buffer.get(), size, &needed) != 0) continue;
        auto* table = reinterpret_cast<HandleTable*>(buffer.get());
        size_t mine = 0;
        for (ULONG i = 0; i < table->Count; ++i)
            if (table->Handles[i].ProcessId == GetCurrentProcessId()) ++mine;
        return mine;
    }
    return 0;
}

// Committed private memory, walked with VirtualQuery (PrivateUsage answers 0 under Wine).
size_t committedPrivate() {
    size_t total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (BYTE* at = nullptr; VirtualQuery(at, &info, sizeof(info)) == sizeof(info); at = static_cast<BYTE*>(info.BaseAddress) + info.RegionSize)
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
    return total;
}

// One load, one TEXT job played (to a held printer's port), one RAW job to the server, one free.
void cycle(CPrintSetup& s, CTestPrinter& text) {
    CRpqDll dll;
    ASSERT_NE(dll.module, nullptr);
    for (bool raw : {true, false}) {
        CSpooledJob job(raw ? s.printer->name() : text.name(), raw ? "raw" : "text");
        ASSERT_TRUE(job.ok());
        PRINTPROCESSOROPENDATA data = job.openData();
        wchar_t output[MAX_PATH];
        GetTempPathW(MAX_PATH, output);
        wcscat(output, L"rpq-unload.ps");
        if (!raw) {
            data.pDatatype = const_cast<LPWSTR>(L"TEXT");
            data.pOutputFile = output;
            DeleteFileW(output);
        }
        HANDLE h = dll.open(&job.printer()[0], &data);
        ASSERT_NE(h, nullptr);
        std::wstring document = job.documentName();
        EXPECT_TRUE(dll.print(h, &document[0]));
        EXPECT_TRUE(dll.close(h));
    }
}

TEST(Unload, LoadPrintFreeLeavesNothing) {
    // Ports of their own: the port FILE: would write "FILE:" into the current folder.
    CPrintSetup s({}, uniqueName(L"Unload"), L"", L"--processor winprint --port C:\\rpq-unload-raw.prn");
    ASSERT_TRUE(s.ok());
    CTestPrinter text(uniqueName(L"Unload text"), L"--processor winprint --port C:\\rpq-unload-text.prn");
    ASSERT_TRUE(text.ok());
    for (int i = 0; i < 10; ++i) cycle(s, text);  // warm: the system's own caches fill first
    size_t handles = handleCount(), memory = committedPrivate();
    ASSERT_GT(handles, 0u) << "the handle table could not be read";
    constexpr int kCycles = 100;
    for (int i = 0; i < kCycles; ++i) cycle(s, text);
    size_t handlesAfter = handleCount(), memoryAfter = committedPrivate();
    ASSERT_GT(handlesAfter, 0u) << "the handle table could not be read";
    // Flat: less than one handle and under 4 KiB per cycle on average.
    EXPECT_LT(handlesAfter, handles + kCycles / 4) << handles << " -> " << handlesAfter;
    EXPECT_LT(memoryAfter, memory + kCycles * 4096) << memory << " -> " << memoryAfter;
    printf("handles %zu -> %zu, committed private %zu -> %zu\n", handles, handlesAfter, memory, memoryAfter);
}
}  // namespace
