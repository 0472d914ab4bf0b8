#include "tests/e2efixture.h"
#include <shlobj.h>
#include "base/printerkey.h"
#include "diag/log.h"

CPrintSetup::CPrintSetup(const std::vector<std::string>& rules, const std::wstring& printerName,
                         const std::wstring& settings, const std::wstring& addArgs) {
    server = std::make_unique<CReferenceServer>(rules);
    printer = std::make_unique<CTestPrinter>(printerName, addArgs);
    listener = std::make_unique<CUdpListener>();
    wchar_t escaped[MAX_PATH];
    wcscpy(escaped, printerName.c_str());
    escapePathName(escaped);
    m_escaped = escaped;
    if (server->ok() && printer->ok())
        m_configured = runCommand(toolPath(L"rpqadmin.exe") + L" configure \"" + printerName +
                                  L"\" ServerName=127.0.0.1 ServerPort=" + std::to_wstring(server->port()) +
                                  L" Logger=TRACE Interaction=0 " + settings) == 0;
}

bool CPrintSetup::ok() const { return m_configured && listener->ok(); }

int CPrintSetup::print(const std::string& data, const std::wstring& documentName) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring file = std::wstring(temp) + uniqueName(L"rpqdoc") + L".bin";
    writeFileBytes(file, data);
    int rc = runCommand(toolPath(L"rpqprint.exe") + L" \"" + printer->name() + L"\" \"" + file + L"\" \"" +
                        documentName + L"\"");
    DeleteFileW(file.c_str());
    return rc;
}

std::vector<std::string> CPrintSetup::requestTypes() const {
    std::vector<std::string> types;
    for (const std::string& line : server->requests()) types.push_back(messageField(line, "type"));
    return types;
}

std::vector<std::string> CPrintSetup::requestsOf(const std::string& type) const {
    std::vector<std::string> lines;
    for (const std::string& line : server->requests())
        if (messageField(line, "type") == type) lines.push_back(line);
    return lines;
}

std::string CPrintSetup::lastJobState() const {
    auto jobs = server->jobs();
    return jobs.empty() ? "" : jsonField(jobs.back(), "state");
}

std::string CPrintSetup::logText() const {
    wchar_t base[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, base);
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t path[MAX_PATH];
    _snwprintf(path, MAX_PATH, L"%ls\\Halvane\\RPQ\\Log\\%ls\\RPQ-%d-%02d-%02d.log", base, m_escaped.c_str(), now.wYear,
               now.wMonth, now.wDay);
    return readFileBytes(path);
}

std::vector<std::wstring> CPrintSetup::storageFiles() const {
    wchar_t base[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, base);
    std::wstring dir = std::wstring(base) + L"\\Halvane\\RPQ\\Temp\\" + m_escaped;
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return files;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return files;
}

bool contains(const std::vector<std::string>& lines, const std::string& text) { return countOf(lines, text) > 0; }

size_t countOf(const std::vector<std::string>& lines, const std::string& text) {
    size_t n = 0;
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos) ++n;
    return n;
}
