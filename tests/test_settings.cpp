// Printer settings on Wine's real registry.
#include <windows.h>
#include <gtest/gtest.h>
#include "base/printerkey.h"
#include "config/serial.h"
#include "config/settings.h"
#include <set>
#include <thread>
#include "printproc/rawjob/jobstate.h"
#include "tests/jobfixture.h"

namespace {
const PrinterSettingsDefaults kDefaults = {kDefaultServerName, kDefaultTransferAction, kDefaultInteractionAction,
                                           kDefaultServerPort, false};

struct Settings {
    wchar_t server[MAX_PATH] = {}, transfer[MAX_PATH] = {}, interaction[MAX_PATH] = {};
    USHORT port = 0;
    bool secure = true, acceptAll = true, interact = false;
};

class SettingsTest : public JobTest {
protected:
    void setString(const wchar_t* name, const wchar_t* value) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, keyPath.c_str(), name, REG_SZ, value,
                                  static_cast<DWORD>((wcslen(value) + 1) * 2)),
                  ERROR_SUCCESS);
    }
    void setDword(const wchar_t* name, DWORD value) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, keyPath.c_str(), name, REG_DWORD, &value, 4), ERROR_SUCCESS);
    }
    // A key as an administrator leaves it: the required values present.
    void existingKey(const wchar_t* serverName = L"srv") {
        setString(L"ServerName", serverName);
        setDword(L"ServerPort", 8080);
        setString(L"JobTransferAction", L"FDXS_Transfer");
        setString(L"JobInteractionAction", L"FDXS_Interaction");
    }
    bool read(Settings& s) {
        return readPrinterSettings(printer.c_str(), s.server, s.transfer, s.interaction, &s.port, &s.secure,
                                   &s.acceptAll, &s.interact, kDefaults);
    }
};

TEST_F(SettingsTest, NewKeyGetsTheSevenDefaults) {
    Settings s;
    ASSERT_TRUE(read(s));
    EXPECT_STREQ(s.server, L"127.0.0.1");
    EXPECT_STREQ(s.transfer, L"FDXS_Transfer");
    EXPECT_STREQ(s.interaction, L"FDXS_Interaction");
    EXPECT_EQ(s.port, 8080);
    EXPECT_FALSE(s.secure);
    EXPECT_FALSE(s.acceptAll);
    EXPECT_TRUE(s.interact);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr, nullptr);
    DWORD msgNo = 99, size = 4;
    EXPECT_EQ(RegQueryValueExW(key, L"MsgNo", nullptr, nullptr, reinterpret_cast<BYTE*>(&msgNo), &size), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, L"Interaction", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    EXPECT_EQ(values, 7u);
    EXPECT_EQ(msgNo, 0u);
    EXPECT_TRUE(logged("Created new registry subkey: <" + narrow(keyPath) + ">"));

    Settings again;  // the second job finds the key
    ASSERT_TRUE(read(again));
    EXPECT_STREQ(again.server, L"127.0.0.1");
    EXPECT_TRUE(logged("Opened existing registry subkey"));
}

TEST_F(SettingsTest, ServerNameIsNormalised) {
    existingKey(L"https://localhost/P");
    Settings s;
    ASSERT_TRUE(read(s));
    EXPECT_STREQ(s.server, L"127.0.0.1");
    EXPECT_STREQ(s.transfer, L"P/FDXS_Transfer");
    EXPECT_STREQ(s.interaction, L"P/FDXS_Interaction");

    setString(L"ServerName", L"http://localhost.localhost/a/b");
    ASSERT_TRUE(read(s));
    EXPECT_STREQ(s.server, L"127.0.0.1.127.0.0.1");
    EXPECT_STREQ(s.transfer, L"a/b/FDXS_Transfer");

    setString(L"ServerName", L"LOCALHOST");  // case matters
    ASSERT_TRUE(read(s));
    EXPECT_STREQ(s.server, L"LOCALHOST");
    EXPECT_STREQ(s.transfer, L"FDXS_Transfer");
    EXPECT_STREQ(s.interaction, L"FDXS_Interaction");
}

TEST_F(SettingsTest, OptionalFlags) {
    existingKey();
    Settings s;
    ASSERT_TRUE(read(s));
    EXPECT_FALSE(s.secure);
    EXPECT_FALSE(s.acceptAll);
    EXPECT_TRUE(s.interact);
    EXPECT_TRUE(logged("Could not get registry value: <SecureTransfer>, assuming <false>"));
    EXPECT_FALSE(logged("<AcceptAllCertificates>"));  // not read without HTTPS
    EXPECT_TRUE(logged("Could not get registry value: <Interaction> to default value <true>"));

    setDword(L"SecureTransfer", 0);
    setDword(L"AcceptAllCertificates", 1);
    setDword(L"Interaction", 0);
    ASSERT_TRUE(read(s));
    EXPECT_FALSE(s.secure);
    EXPECT_FALSE(s.acceptAll);
    EXPECT_FALSE(s.interact);

    setDword(L"SecureTransfer", 5);
    ASSERT_TRUE(read(s));
    EXPECT_TRUE(s.secure);
    EXPECT_TRUE(s.acceptAll);
}

TEST_F(SettingsTest, PortKeepsItsLowSixteenBits) {
    existingKey();
    setDword(L"ServerPort", 65616);
    Settings s;
    ASSERT_TRUE(read(s));
    EXPECT_EQ(s.port, 80);
}

TEST_F(SettingsTest, MissingRequiredValueFailsAfterReadingTheRest) {
    existingKey();
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, keyPath.c_str(), L"ServerName");
    setDword(L"ServerPort", 9999);
    setDword(L"Interaction", 0);
    Settings s;
    EXPECT_FALSE(read(s));
    EXPECT_TRUE(logged("[ERROR] Could not get registry value: <ServerName>"));
    EXPECT_EQ(s.port, 9999);
    EXPECT_STREQ(s.transfer, L"FDXS_Transfer");
    EXPECT_FALSE(s.interact);
}

TEST_F(SettingsTest, SettingsAreLoggedAligned) {
    logPrinterSettings(L"srv", L"P/FDXS_Transfer", L"P/FDXS_Interaction", 8443, true, false, true);
    auto lines = splitLines(readFileBytes(state.log().path()));
    std::vector<std::string> texts;
    for (const std::string& l : lines) texts.push_back(l.substr(21));
    std::vector<std::string> expected = {
        "Get registry settings",
        "ServerName               <srv>",
        "JobTransferActionName    <P/FDXS_Transfer>",
        "JobInteractionActionName <P/FDXS_Interaction>",
        "ServerPort               <8443>",
        "Secure                   <true>",
        "AcceptAllCert            <false>",
        "InterAction              <true>",
    };
    EXPECT_EQ(texts, expected);
}
// Jobs of one printer (or pooled printers) running at once never share a
// serial number.
TEST_F(SettingsTest, SerialNumbersStayUniqueUnderConcurrency) {
    existingKey();
    setDword(L"MsgNo", 0);
    std::vector<uint32_t> a, b;
    auto take = [&](std::vector<uint32_t>* out) {
        for (int i = 0; i < 100; ++i) {
            uint32_t n = 0;
            if (getSerialNo(&n, printer.c_str())) out->push_back(n);
        }
    };
    std::thread ta(take, &a), tb(take, &b);
    ta.join();
    tb.join();
    std::set<uint32_t> all(a.begin(), a.end());
    all.insert(b.begin(), b.end());
    EXPECT_EQ(a.size() + b.size(), 200u);
    EXPECT_EQ(all.size(), 200u);
    EXPECT_EQ(*all.rbegin(), 200u);
}
}  // namespace

namespace {
// rpqadmin configure holds every value to the package's rules: a refused
// value names its rule, exits non-zero and changes nothing.
TEST(Configure, ValuesAreCheckedBeforeAnythingIsWritten) {
    CTestPrinter added(uniqueName(L"Configure"));
    ASSERT_TRUE(added.ok());
    const std::wstring& printer = added.name();
    std::wstring tool = toolPath(L"rpqadmin.exe") + L" configure \"" + printer + L"\" ";
    std::string out;
    ASSERT_EQ(runCommand(tool + L"ServerPort=9100 Logger=DEBUG", &out), 0) << out;
    const std::pair<const wchar_t*, const char*> refused[] = {
        {L"ServerPort=99999", "ServerPort must be a number from 1 to 65535"},
        {L"ServerPort=0", "ServerPort must be a number from 1 to 65535"},
        {L"Logger=LOUD", "Logger must be one of"},
        {L"Logger=10", "Logger must be one of"},
        {L"Logger=7", "Logger must be one of"},  // the log reads names only, as the package checks
        {L"SecureTransfer=2", "SecureTransfer must be 0 or 1"},
        {L"Interaction=yes", "Interaction must be 0 or 1"},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(runCommand(tool + L"ServerName=changed " + r.first, &out), 1) << narrow(r.first);
        EXPECT_NE(out.find(r.second), std::string::npos) << out;
    }
    ASSERT_EQ(runCommand(toolPath(L"rpqadmin.exe") + L" show \"" + printer + L"\"", &out), 0);
    EXPECT_NE(out.find("ServerPort             9100"), std::string::npos) << out;  // nothing changed
    EXPECT_NE(out.find("\"DEBUG\""), std::string::npos) << out;
    EXPECT_EQ(out.find("changed"), std::string::npos) << out;
    EXPECT_EQ(runCommand(tool + L"Logger=start SecureTransfer=1", &out), 0) << out;
}

// A printer that does not exist gets no settings key.
TEST(Configure, RefusesAPrinterThatDoesNotExist) {
    std::wstring printer = uniqueName(L"NoSuchPrinter");
    std::string out;
    EXPECT_EQ(runCommand(toolPath(L"rpqadmin.exe") + L" configure \"" + printer + L"\" Logger=DEBUG", &out), 1);
    EXPECT_NE(out.find("there is no printer"), std::string::npos) << out;
    wchar_t key[MAX_PATH];
    wcscpy(key, printer.c_str());
    escapePathName(key);
    unique_hkey opened;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + std::wstring(key)).c_str(),
                            0, KEY_READ, opened.put()),
              ERROR_SUCCESS);
}
}  // namespace
