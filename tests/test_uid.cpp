// Random identifiers and text conversions.
#include <windows.h>
#include <gtest/gtest.h>
#include <shellapi.h>
#include <string>
#include <vector>
#include "base/cmdline.h"
#include <map>
#include <set>
#include <string>
#include "printproc/rawjob/jobstate.h"
#include "tests/testutil.h"
#include "transfer/uid.h"

namespace {
TEST(Uid, ByteToCharacterMapping) {
    EXPECT_EQ(uidCharForByte(0), '0');
    EXPECT_EQ(uidCharForByte(4), '0');
    EXPECT_EQ(uidCharForByte(5), '1');
    EXPECT_EQ(uidCharForByte(252), 'Z');
    EXPECT_EQ(uidCharForByte(255), 'Z');
    std::map<char, int> counts;
    for (int b = 0; b < 256; ++b) ++counts[uidCharForByte(static_cast<BYTE>(b))];
    EXPECT_EQ(counts.size(), 62u);  // every character reachable
    std::string fives;
    for (const char* p = kUidAlphabet; *p; ++p) {
        if (counts[*p] == 5) fives += *p;
        else EXPECT_EQ(counts[*p], 4) << *p;
    }
    EXPECT_EQ(fives, "07fnvCKS");
}

TEST(Uid, GeneratedTextsHaveTheirLengthAndAlphabet) {
    char uid[32];
    memset(uid, 'X', sizeof(uid));
    ASSERT_TRUE(generateUid(uid, 21));
    EXPECT_EQ(uid[21], '\0');
    EXPECT_EQ(uid[22], 'X');
    for (int i = 0; i < 21; ++i) EXPECT_NE(strchr(kUidAlphabet, uid[i]), nullptr) << uid[i];

    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        char id[11];
        ASSERT_TRUE(generateUid(id, 10));
        EXPECT_EQ(strlen(id), 10u);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(Uid, Conversions) {
    CJobState state;
    CJobScope scope(state);
    wchar_t printer[MAX_PATH] = {};
    wcscpy(printer, uniqueName(L"Uid conv").c_str());
    ASSERT_TRUE(state.log().openLogFile(printer));
    state.log().setLevel(L_ON);

    char small[10];
    EXPECT_FALSE(convertToMultiByte(small, sizeof(small), L"0123456789"));
    char target[32];
    EXPECT_FALSE(convertToMultiByte(target, sizeof(target), L"012345678"));
    EXPECT_STREQ(target, "012345678");  // converted all the same
    EXPECT_TRUE(convertToMultiByte(target, sizeof(target), L"0123456789"));
    EXPECT_STREQ(target, "0123456789");

    wchar_t wide[11];
    EXPECT_FALSE(convertUid(wide, 8, "abcdefghij"));
    EXPECT_TRUE(convertUid(wide, 11, "abcdefghij"));
    EXPECT_STREQ(wide, L"abcdefghij");
    EXPECT_TRUE(convertUid(wide, 11, "abcdefghijKLM"));  // at most ten characters
    EXPECT_STREQ(wide, L"abcdefghij");
    EXPECT_FALSE(convertUid(wide, 11, "abc"));

    clearString(target, sizeof(target));
    EXPECT_STREQ(target, "");
    wclearString(wide, 11);
    EXPECT_STREQ(wide, L"");

    auto lines = splitLines(readFileBytes(state.log().path()));
    std::vector<std::string> texts;
    for (const std::string& line : lines) texts.push_back(line.substr(21));
    std::vector<std::string> expected = {
        "Target variable too small!",
        "Converted <10> chars converted! Target <012345678>",
        "Convert UID <buffer too small>!",
        "Convert UID <4> chars converted! wUID <abc>",
    };
    EXPECT_EQ(texts, expected);
}
// Arguments the package hands to its privileged tool arrive as they were,
// read back the way every Windows program reads its command line.
TEST(CommandLine, ArgumentsArriveUnchanged) {
    const std::vector<std::wstring> arguments = {
        L"rpqadmin.exe", L"PRINTERNAME=Office\" \"JobInteractionAction=http://evil.example/x", L"PORT=C:\\out\\",
        L"ServerName=a b", L"", L"\\\\host\\share\\\\", L"x\\\"y", L"Logger=DEBUG"};
    std::wstring line;
    for (const std::wstring& a : arguments) appendArgument(line, a);
    int count = 0;
    LPWSTR* parsed = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(parsed, nullptr);
    ASSERT_EQ(count, static_cast<int>(arguments.size())) << line;
    for (int i = 0; i < count; ++i) EXPECT_EQ(parsed[i], arguments[i]) << line;
    LocalFree(parsed);
}
}  // namespace
