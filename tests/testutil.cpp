#include "tests/testutil.h"
#include <cstdio>
#include "printproc/unique.h"

std::wstring uniqueName(const wchar_t* prefix) {
    static LONG counter = 0;
    wchar_t buffer[128];
    _snwprintf(buffer, 128, L"%ls %lx%lx%lx", prefix, GetCurrentProcessId(), GetTickCount(),
               InterlockedIncrement(&counter));
    return buffer;
}

std::string readFileBytes(const std::wstring& path) {
    unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return {};
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

bool writeFileBytes(const std::wstring& path, const std::string& bytes) {
    unique_hfile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

int runCommand(const std::wstring& commandLine, std::string* output) {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    unique_handle readEnd, writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &sa, 0)) return -1;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {sizeof(si)};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return -1;
    unique_handle process(pi.hProcess), thread(pi.hThread);
    writeEnd.reset();
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    if (output) *output = text;
    else if (code != 0) fprintf(stderr, "%s", text.c_str());
    return static_cast<int>(code);
}

std::wstring binDir() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self);
    return dir.substr(0, dir.find_last_of(L"\\/"));
}

std::wstring toolPath(const wchar_t* exe) { return L"\"" + binDir() + L"\\" + exe + L"\""; }

std::string narrow(const std::wstring& wide) {
    int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &text[0], n, nullptr, nullptr);
    return text;
}

std::wstring widen(const std::string& text) {
    int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], n);
    return wide;
}

bool installProcessor() { return runCommand(toolPath(L"rpqadmin.exe") + L" install") == 0; }

CTestPrinter::CTestPrinter(const std::wstring& name, const std::wstring& extraArgs) : m_name(name) {
    m_ok = installProcessor() &&
           runCommand(toolPath(L"rpqadmin.exe") + L" add-printer \"" + name + L"\" " + extraArgs) == 0;
}

CTestPrinter::~CTestPrinter() {
    if (m_ok) runCommand(toolPath(L"rpqadmin.exe") + L" remove-printer \"" + m_name + L"\"");
}

CRpqDll::CRpqDll() {
    module = LoadLibraryW((binDir() + L"\\RPQ.dll").c_str());
    if (!module) return;
    open = reinterpret_cast<decltype(open)>(GetProcAddress(module, "OpenPrintProcessor"));
    print = reinterpret_cast<decltype(print)>(GetProcAddress(module, "PrintDocumentOnPrintProcessor"));
    close = reinterpret_cast<decltype(close)>(GetProcAddress(module, "ClosePrintProcessor"));
    control = reinterpret_cast<decltype(control)>(GetProcAddress(module, "ControlPrintProcessor"));
    enumDatatypes = reinterpret_cast<decltype(enumDatatypes)>(GetProcAddress(module, "EnumPrintProcessorDatatypesW"));
    caps = reinterpret_cast<decltype(caps)>(GetProcAddress(module, "GetPrintProcessorCapabilities"));
}

CRpqDll::~CRpqDll() {
    if (module) FreeLibrary(module);
}
