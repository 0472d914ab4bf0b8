#include "tests/testutil.h"
#include <nlohmann/json.hpp>
#include <cstdio>
#include <cstring>
#include <random>
#include "base/unique.h"

std::wstring uniqueName(const wchar_t* prefix) {
    static LONG counter = 0;
    wchar_t buffer[128];
    _snwprintf(buffer, 128, L"%ls %lx%lx%lx", prefix, GetCurrentProcessId(), GetTickCount(),
               InterlockedIncrement(&counter));
    return buffer;
}

std::string uniqueToken() { return narrow(uniqueName(L"x")).substr(2); }

std::string randomData(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out(size, '\0');
    for (size_t i = 0; i < size; i += 4) {
        uint32_t v = rng();
        memcpy(&out[i], &v, size - i < 4 ? size - i : 4);
    }
    return out;
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
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &sa, 0)) {
        fprintf(stderr, "runCommand: CreatePipe failed (error %lu)\n", GetLastError());
        return -1;
    }
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {sizeof(si)};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        fprintf(stderr, "runCommand: %s could not be started (error %lu)\n", narrow(commandLine).c_str(), GetLastError());
        return -1;
    }
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
    m_attempted = installProcessor();
    m_ok = m_attempted && runCommand(toolPath(L"rpqadmin.exe") + L" add-printer \"" + name + L"\" " + extraArgs) == 0;
}

// Also after a failed add: a printer left bound to RPQ would keep every
// later removal test from removing it.
CTestPrinter::~CTestPrinter() {
    if (m_attempted) runCommand(toolPath(L"rpqadmin.exe") + L" remove-printer \"" + m_name + L"\"", &m_removal);
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

std::wstring unixToWin(const std::string& path) {
    std::wstring out = L"Z:";
    for (char c : path) out += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return out;
}

namespace {

std::vector<std::string> readLines(const std::wstring& path) {
    std::vector<std::string> lines;
    std::string text = readFileBytes(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
}  // namespace

bool launchUnix(const std::string& commandLine) {
    std::wstring line = widen(commandLine);
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    // Wine starts a Unix program without a process handle and leaves a stray
    // value in hThread: closing either could close one of ours.
    return CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) != FALSE;
}

bool waitForFile(const std::wstring& path, bool present, DWORD timeoutMs) {
    return waitUntil([&] { return (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) == present; },
                     timeoutMs);
}

void removeTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    unique_hfind find(FindFirstFileW((path + L"\\*").c_str(), &data));
    if (find) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) removeTree(child);
            else DeleteFileW(child.c_str());
        } while (FindNextFileW(find.get(), &data));
    }
    find.reset();
    RemoveDirectoryW(path.c_str());
}

namespace {
// A journal value as text: strings as they are, anything else as JSON.
std::string fieldText(const nlohmann::json& object, const std::string& key) {
    if (!object.is_object() || !object.contains(key)) return {};
    const nlohmann::json& value = object[key];
    return value.is_string() ? value.get<std::string>() : value.dump();
}

nlohmann::json parseLine(const std::string& line) { return nlohmann::json::parse(line, nullptr, false); }
}  // namespace

std::string jsonField(const std::string& line, const std::string& key) { return fieldText(parseLine(line), key); }

std::string messageField(const std::string& line, const std::string& key) {
    nlohmann::json object = parseLine(line);
    return object.is_object() && object.contains("message") ? fieldText(object["message"], key) : std::string();
}

CReferenceServer::CReferenceServer(const std::vector<std::string>& rules, bool https) {
    const char* exe = getenv("RPQ_SERVER_EXE");
    if (!exe) return;
    m_unixDir = "/tmp/rpq-wt-" + uniqueToken();
    CreateDirectoryW(unixToWin(m_unixDir).c_str(), nullptr);
    std::string command = std::string(exe) + " --quiet --max-seconds 900 --port 0 --port-file " + m_unixDir + "/port --storage " +
                          m_unixDir + "/storage --journal " + m_unixDir + "/journal --stop-file " + m_unixDir + "/stop";
    if (https) {
        std::string key = m_unixDir + "/key.pem", cert = m_unixDir + "/cert.pem";
        if (runUnix("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=rpq-test-server -keyout " + key +
                    " -out " + cert) != 0)
            return;
        command += " --cert " + cert + " --key " + key;
    }
    for (const std::string& rule : rules) command += " --rule \"" + rule + "\"";
    if (!launchUnix(command)) return;
    std::wstring portFile = unixToWin(m_unixDir + "/port");
    if (!waitForFile(portFile, true, 10000)) return;  // written whole: the server renames it into place
    m_port = atoi(readFileBytes(portFile).c_str());
}

void CReferenceServer::stop() {
    if (m_port <= 0) return;
    writeFileBytes(unixToWin(m_unixDir + "/stop"), "stop");
    waitForFile(unixToWin(m_unixDir + "/port"), false, 10000);
    m_port = 0;
}

CReferenceServer::~CReferenceServer() {
    stop();
    if (!m_unixDir.empty()) removeTree(unixToWin(m_unixDir));
}

std::vector<std::string> CReferenceServer::requests() const { return readLines(unixToWin(m_unixDir + "/journal/requests.jsonl")); }
std::vector<std::string> CReferenceServer::jobs() const { return readLines(unixToWin(m_unixDir + "/journal/jobs.jsonl")); }
std::wstring CReferenceServer::winPath(const std::string& relative) const { return unixToWin(m_unixDir + "/" + relative); }

std::string CReferenceServer::body(const std::string& requestLine) const {
    return readFileBytes(winPath("journal/" + jsonField(requestLine, "bodyFile")));
}

std::string unixPathOf(const std::wstring& winPath) {
    wchar_t full[MAX_PATH];
    GetFullPathNameW(winPath.c_str(), MAX_PATH, full, nullptr);
    std::wstring path = full;
    std::string out;
    if (path.size() >= 2 && (path[0] == L'Z' || path[0] == L'z') && path[1] == L':') {
        for (size_t i = 2; i < path.size(); ++i) out += path[i] == L'\\' ? '/' : static_cast<char>(path[i]);
        return out;
    }
    // Another drive: ask Wine where it lives.
    typedef char*(CDECL * ToUnix)(LPCWSTR);
    auto toUnix = reinterpret_cast<ToUnix>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
    if (!toUnix) return {};
    char* unixName = toUnix(path.c_str());
    if (!unixName) return {};
    out = unixName;
    HeapFree(GetProcessHeap(), 0, unixName);
    return out;
}

int runUnix(const std::string& shellCommand, std::string* output, DWORD timeoutMs) {
    std::string dir = "/tmp/rpq-wt-" + uniqueToken();
    CreateDirectoryW(unixToWin(dir).c_str(), nullptr);
    writeFileBytes(unixToWin(dir + "/cmd.sh"), shellCommand + "\n");
    bool ok = launchUnix("/bin/sh -c \"sh " + dir + "/cmd.sh > " + dir + "/out 2>&1; echo $? > " + dir +
                         "/rc.tmp; mv " + dir + "/rc.tmp " + dir + "/rc\"");
    int rc = -1;
    if (ok && waitForFile(unixToWin(dir + "/rc"), true, timeoutMs)) rc = atoi(readFileBytes(unixToWin(dir + "/rc")).c_str());
    if (output) *output = readFileBytes(unixToWin(dir + "/out"));
    removeTree(unixToWin(dir));
    return rc;
}

#include <winsock2.h>

CUdpListener::CUdpListener(USHORT wanted, const wchar_t* portText) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(wanted);
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        return;
    }
    int len = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    m_socket = s;
    m_port = ntohs(a.sin_port);
    wchar_t text[16];
    _snwprintf(text, 16, L"%u", m_port);
    const wchar_t* value = portText ? portText : text;
    // A notifier's published port would win over the value below.
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify\\Sessions");
    RegSetKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify", L"UDPPort", REG_SZ, value,
                    static_cast<DWORD>((wcslen(value) + 1) * 2));
}

CUdpListener::~CUdpListener() {
    if (ok()) closesocket(m_socket);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Halvane\\Ferrydoc\\TaskbarNotify", L"UDPPort");
    WSACleanup();
}

std::vector<std::string> CUdpListener::receiveAll(DWORD quietMs) {
    std::vector<std::string> got;
    while (ok()) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(m_socket, &set);
        timeval wait = {static_cast<long>(quietMs / 1000), static_cast<long>((quietMs % 1000) * 1000)};
        if (select(0, &set, nullptr, nullptr, &wait) <= 0) break;
        char buffer[8192];
        int n = recv(m_socket, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        got.emplace_back(buffer, n);
    }
    return got;
}

std::vector<std::string> CUdpListener::messages(DWORD quietMs) {
    std::vector<std::string> texts;
    for (const std::string& d : receiveAll(quietMs)) {
        size_t colon = d.find(':');
        std::string text = colon == std::string::npos ? d : d.substr(colon + 1);
        size_t end = text.find_first_of(std::string("\r\n\0", 3));
        texts.push_back(text.substr(0, end));
    }
    return texts;
}

CTestBrowser::CTestBrowser() {
    m_dir = "/tmp/rpq-wt-" + uniqueToken();
    // The address appears in "opened" whole, at once (written aside, then moved).
    runUnix("mkdir -p " + m_dir + " && printf '#!/bin/sh\\necho \"$@\" >> " + m_dir + "/log && cp " + m_dir +
            "/log " + m_dir + "/opened.new && mv " + m_dir + "/opened.new " + m_dir + "/opened\\n' > " + m_dir +
            "/browser && chmod +x " + m_dir + "/browser");
    std::wstring value = widen(m_dir + "/browser");
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\WineBrowser", L"Browsers", REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * 2));
}

CTestBrowser::~CTestBrowser() {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\WineBrowser", L"Browsers");
    runUnix("rm -rf " + m_dir);
}

std::string CTestBrowser::opened(DWORD waitMs) {
    std::wstring file = L"Z:" + widen(m_dir) + L"\\opened";
    for (auto& c : file) if (c == L'/') c = L'\\';
    waitForFile(file, true, waitMs);
    return readFileBytes(file);
}


bool makeUnixSymlink(const std::wstring& link, const std::wstring& target) {
    return runUnix("ln -s '" + unixPathOf(target) + "' '" + unixPathOf(link) + "'", nullptr, 30000) == 0 &&
           GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool removeUnixSymlink(const std::wstring& link) {
    return runUnix("rm -f '" + unixPathOf(link) + "'", nullptr, 30000) == 0 &&
           GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES;
}
