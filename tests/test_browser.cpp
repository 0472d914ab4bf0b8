// The interaction page opened through the installed RPQ.dll and rundll32.
#include <windows.h>
#include <gtest/gtest.h>
#include "interact/browser.h"
#include "base/unique.h"
#include "printproc/rawjob/jobstate.h"
#include "tests/jobfixture.h"

namespace {
class BrowserTest : public JobTest {
protected:
    std::wstring user() {
        wchar_t name[MAX_PATH];
        DWORD size = MAX_PATH;
        GetUserNameW(name, &size);
        return name;
    }
};

TEST_F(BrowserTest, WebAddresses) {
    wchar_t address[MAX_PATH];
    ASSERT_TRUE(makeWebAddress(address, true, L"srv.example", 8443, L"FDXS_Interaction"));
    EXPECT_STREQ(address, L"https://srv.example:8443/FDXS_Interaction");
    ASSERT_TRUE(makeWebAddress(address, false, L"127.0.0.1", 80, L"P/FDXS_Interaction"));
    EXPECT_STREQ(address, L"http://127.0.0.1:80/P/FDXS_Interaction");
    EXPECT_FALSE(makeWebAddress(address, false, std::wstring(250, L's').c_str(), 80, L"FDXS_Interaction"));
}

TEST_F(BrowserTest, CommandLines) {
    wchar_t command[kCommandChars];
    ASSERT_TRUE(buildBrowserCommand(command, reinterpret_cast<HANDLE>(1234), L"http://srv:80/FDXS_Interaction",
                                    L"0123456789"));
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring expected = std::wstring(system) + L"\\rundll32.exe " + system +
                            L"\\Spool\\prtprocs\\x64\\RPQ.dll,OpenBrowser 1234 http://srv:80/FDXS_Interaction?uid=0123456789";
    EXPECT_EQ(std::wstring(command), expected);
    EXPECT_TRUE(logged("Choosing 64bit RPQ call"));
    // Too long for 263 characters: refused, nothing written past the buffer.
    std::wstring longAddress = L"http://" + std::wstring(240, L'a') + L":80/FDXS_Interaction";
    EXPECT_FALSE(buildBrowserCommand(command, reinterpret_cast<HANDLE>(1), longAddress.c_str(), L"0123456789"));
    std::wstring shorter = L"http://" + std::wstring(180, L'a') + L":80/X";
    EXPECT_FALSE(buildBrowserCommand(command, reinterpret_cast<HANDLE>(1), shorter.c_str(), L"0123456789"));
    EXPECT_TRUE(logged("Browser command too long: Not opening browser!"));
}

TEST_F(BrowserTest, TailsAndAnswers) {
    ULONG_PTR handle = 0;
    wchar_t address[512];
    parseBrowserTail(L"1234   http://x/y?uid=1", &handle, address, 512);
    EXPECT_EQ(handle, 1234u);
    EXPECT_STREQ(address, L"http://x/y?uid=1");
    parseBrowserTail(L"12ab http://y", &handle, address, 512);
    EXPECT_EQ(handle, 12u);
    parseBrowserTail(L"987", &handle, address, 512);
    EXPECT_EQ(handle, 987u);
    EXPECT_STREQ(address, L"");
    parseBrowserTail(L"x http://a b", &handle, address, 512);
    EXPECT_EQ(handle, 0u);
    EXPECT_STREQ(address, L"http://a b");
    std::wstring huge = L"5 " + std::wstring(2000, L'h');
    parseBrowserTail(huge.c_str(), &handle, address, 512);
    EXPECT_EQ(wcslen(address), 511u);

    EXPECT_STREQ(shellExecuteAnswer(33), L"Browser is READY.");
    EXPECT_STREQ(shellExecuteAnswer(2), L"The specified file was not found.");
    EXPECT_STREQ(shellExecuteAnswer(4), L"Unknow error.");
}

TEST_F(BrowserTest, TheShellAnswersWithoutAnAddress) {
    INT_PTR answer = openWithShell(L"");
    EXPECT_LE(answer, 32);
    EXPECT_STRNE(shellExecuteAnswer(answer), L"Browser is READY.");
}

TEST_F(BrowserTest, OpensThePageForRealThroughRundll32) {
    ASSERT_TRUE(installProcessor());
    CTestBrowser browser;
    JobOwner me;
    ASSERT_TRUE(threadOwner(me));
    EXPECT_EQ(openBrowserAsUser(L"http://127.0.0.1:8080/FDXS_Interaction", "A1b2C3d4E5", me), 1);
    EXPECT_EQ(browser.opened(), "http://127.0.0.1:8080/FDXS_Interaction?uid=A1b2C3d4E5\n");
    EXPECT_TRUE(logged("[INFO ] Browser is READY."));
    // No handle travels into the user's session: the answer is the exit code.
    EXPECT_TRUE(logged("OpenBrowser 0 http://127.0.0.1:8080/FDXS_Interaction?uid=A1b2C3d4E5"));
}

TEST_F(BrowserTest, NothingStartsWithoutAUidOrAUserProcess) {
    CTestBrowser browser;
    JobOwner me;
    ASSERT_TRUE(threadOwner(me));
    const wchar_t* page = L"http://127.0.0.1:8080/FDXS_Interaction";
    EXPECT_EQ(openBrowserAsUser(page, "short", me), 0);
    EXPECT_TRUE(logged("Could not convert sUID to wsUID!"));
    // The same name is not the same account: another SID gets no token,
    // nor does the right account in another logon session.
    JobOwner system = me;
    DWORD systemSize = sizeof(system.sid);
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system.sid, &systemSize));
    JobOwner elsewhere = me;
    elsewhere.sessionId = me.sessionId + 1;
    EXPECT_EQ(get_token_for_user(system), nullptr);
    EXPECT_EQ(get_token_for_user(elsewhere), nullptr);
    EXPECT_EQ(openBrowserAsUser(page, "A1b2C3d4E5", system), 1);
    EXPECT_TRUE(logged("get_token_for_user: Leaving with NULL token"));
    EXPECT_EQ(browser.opened(1500), "");
}

// Without the session's own token, only a program on the owner's desktop at
// medium integrity lends one: Wine runs every program elevated, so none does.
TEST_F(BrowserTest, TheProcessSearchTakesNoElevatedToken) {
    JobOwner me;
    ASSERT_TRUE(threadOwner(me));
    HANDLE own = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own));
    EXPECT_TRUE(isUsableUserToken(own, me.sid, me.sessionId, false));
    EXPECT_FALSE(isUsableUserToken(own, me.sid, me.sessionId, true));
    CloseHandle(own);
    SessionPlatform noSessionToken = systemSessions();
    noSessionToken.queryUserToken = [](ULONG, PHANDLE) -> BOOL { return FALSE; };
    EXPECT_EQ(get_token_for_user(me, noSessionToken), nullptr);
    EXPECT_NE(unique_handle(get_token_for_user(me)).get(), nullptr);
}
}  // namespace
