// rpqcheck: drives a workflow server through RPQ's protocol, with RPQ.dll's
// own encoder and transport, and says expectation by expectation whether
// RPQ's clients will work with it. Run "rpqcheck" for its options.
#include <windows.h>
#include <winspool.h>
#include <cstdio>
#include <cwchar>
#include <string>
#include "base/unique.h"
#include "tools/registration.h"

namespace {
using CheckOutput = void(WINAPI*)(void*, LPCWSTR);
using CheckServer = int(WINAPI*)(LPCWSTR, LPCWSTR, DWORD, DWORD, CheckOutput, void*);
constexpr DWORD kInsecure = 0x1, kQuick = 0x2;

int usage() {
    fwprintf(stderr,
             L"usage: rpqcheck [--insecure] [--quick] [--interaction PATH] [--timeout SECONDS] URL\n"
             L"  URL          http:// or https://, the server's host, port and transfer action path,\n"
             L"               e.g. http://server:8080/FDXS_Transfer\n"
             L"  --insecure   accept any server certificate (as \"AcceptAllCertificates\" 1)\n"
             L"  --quick      leave out the job of several chunks (more than 16 MiB)\n"
             L"  --interaction PATH  the interaction action path (default FDXS_Interaction)\n"
             L"  --timeout SECONDS   send and receive time-out of each exchange (default 60, as jobs)\n"
             L"One line per expectation (ok or FAIL, with what was sent and what came back and the\n"
             L"section of docs/protocol.md it checks); exit code 0 only when every one holds.\n");
    return 2;
}

void WINAPI printLine(void*, LPCWSTR line) {
    wprintf(L"%ls\n", line);
    fflush(stdout);
}

std::wstring folderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    DWORD flags = 0, timeout = 0;
    std::wstring url, interaction;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--insecure") flags |= kInsecure;
        else if (arg == L"--quick") flags |= kQuick;
        else if (arg == L"--interaction" && i + 1 < argc) interaction = argv[++i];
        else if (arg == L"--timeout" && i + 1 < argc) timeout = wcstoul(argv[++i], nullptr, 10);
        else if (url.empty() && arg.compare(0, 2, L"--") != 0) url = arg;
        else return usage();
    }
    if (url.empty()) return usage();
    // RPQ.dll beside rpqcheck (the package's folder, the build), else the spooler's.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dll = folderOf(self) + L"\\" + kProcessorFile;
    unique_hmodule module(LoadLibraryW(dll.c_str()));
    std::wstring spooler;
    if (!module && processorDir(spooler)) module.reset(LoadLibraryW((spooler + L"\\" + kProcessorFile).c_str()));
    if (!module) {
        fwprintf(stderr, L"rpqcheck: RPQ.dll cannot be loaded (error %lu): it belongs beside rpqcheck.exe\n", GetLastError());
        return 3;
    }
    auto check = reinterpret_cast<CheckServer>(GetProcAddress(module.get(), "RpqCheckServerW"));
    if (!check) {
        fwprintf(stderr, L"rpqcheck: this RPQ.dll is older than rpqcheck: it cannot check servers\n");
        return 3;
    }
    int failed = check(url.c_str(), interaction.empty() ? nullptr : interaction.c_str(), flags, timeout, printLine, nullptr);
    if (failed < 0) {
        fwprintf(stderr, L"rpqcheck: \"%ls\" is no http:// or https:// address with a host\n", url.c_str());
        return 2;
    }
    return failed == 0 ? 0 : 1;
}
