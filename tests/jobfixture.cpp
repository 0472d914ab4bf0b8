#include "tests/jobfixture.h"
#include "config/settings.h"

void JobTest::SetUp() {
    state.createFacilities();
    wchar_t name[MAX_PATH];
    wcscpy(name, printer.c_str());
    ASSERT_TRUE(state.log().openLogFile(name));
    state.log().setLevel(L_ON);
    wchar_t key[MAX_PATH];
    ASSERT_TRUE(settingsKeyPath(printer.c_str(), key));
    keyPath = key;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    dir = std::wstring(temp) + uniqueName(L"rpqtest");
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
}

void JobTest::TearDown() {
    // The printer's own key too: Wine would list it as a printer.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, keyPath.substr(0, keyPath.size() - 5).c_str());
    removeTree(dir);
}

bool JobTest::logged(const std::string& text) const {
    for (const std::string& line : splitLines(readFileBytes(const_cast<CJobState&>(state).log().path())))
        if (line.find(text) != std::string::npos) return true;
    return false;
}

void fillLongestXfer(ProtocolRequest& request, const char* uid) {
    prepareRequest(request, uid, MSG_XFER);
    wcscpy(request.hostname, std::wstring(127, L'h').c_str());
    wcscpy(request.username, std::wstring(127, L'u').c_str());
    wcscpy(request.domainName, std::wstring(127, L'd').c_str());
    wcscpy(request.filename, std::wstring(259, L'f').c_str());
    request.machineIdLength = 64;
}
