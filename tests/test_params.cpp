// The parameter-string scanner.
#include <gtest/gtest.h>
#include "printproc/params.h"

namespace {
struct NumberResult {
    DWORD error;
    DWORD size;
    DWORD value;
};

NumberResult number(const wchar_t* parameters, const wchar_t* keyword) {
    NumberResult r = {0, sizeof(DWORD), 0xDEADBEEF};
    r.error = getParameter(parameters, keyword, PARAM_NUMBER, &r.size, &r.value);
    return r;
}

TEST(Parameters, NumbersByTheEdgeList) {
    struct Case {
        const wchar_t* parameters;
        DWORD error;
        DWORD value;
    } cases[] = {
        {L"COPIES=3;", 0, 3},
        {L"COPIES=3", ERROR_NO_DATA, 0},
        {L"copies=3;", 0, 3},
        {L"COPIES =3;", ERROR_NO_DATA, 0},
        {L"COPIES=3 ;", ERROR_NO_DATA, 0},
        {L"COPIESX=3;", 0, 3},
        {L"COPIES=x3; COPIES=7;", 0, 7},
        {L"\t COPIES=12abc;", 0, 12},
        {L"TABS=4; COPIES=2;", 0, 2},
        {L"TABS=4;COPIES=2;", 0, 2},
        {L"=5; COPIES=2;", 0, 2},
        {L"COPIES==2; COPIES=9;", 0, 9},
        {L"COPIES=2=3; COPIES=4;", 0, 4},
        {L"COPIES=2 3; COPIES=6;", 0, 6},
        {L"COPIES=;", ERROR_NO_DATA, 0},
        {L";;; COPIES=1;", 0, 1},
        {L"COPY=3;", ERROR_NO_DATA, 0},
        {L"", ERROR_NO_DATA, 0},
        {L"COPIES=4294967295;", 0, 4294967295u},
        {L"COPIES=4294967296; COPIES=2;", 0, 2},  // past a DWORD: refused, not wrapped
        {L"COPIES=99999999999999999999999;", ERROR_NO_DATA, 0},
    };
    for (const Case& c : cases) {
        NumberResult r = number(c.parameters, L"COPIES");
        EXPECT_EQ(r.error, c.error) << c.parameters;
        if (c.error == 0) {
            EXPECT_EQ(r.size, 4u) << c.parameters;
            EXPECT_EQ(r.value, c.value) << c.parameters;
        } else {
            EXPECT_EQ(r.size, 0u) << c.parameters;
        }
    }
}

TEST(Parameters, BadArgumentsAndSmallBuffers) {
    DWORD size = 4, value = 0;
    EXPECT_EQ(getParameter(nullptr, L"COPIES", PARAM_NUMBER, &size, &value), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(size, 0u);
    size = 4;
    EXPECT_EQ(getParameter(L"COPIES=1;", nullptr, PARAM_NUMBER, &size, &value), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    size = 4;
    EXPECT_EQ(getParameter(L"COPIES=1;", L"COPIES", PARAM_NUMBER, &size, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    size = 3;
    EXPECT_EQ(getParameter(L"COPIES=1;", L"COPIES", PARAM_NUMBER, &size, &value), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 0u);
}

TEST(Parameters, TextValues) {
    wchar_t text[8];
    DWORD size = sizeof(text);
    EXPECT_EQ(getParameter(L"NAME=abc; X=1;", L"NAME", PARAM_TEXT, &size, text), 0u);
    EXPECT_EQ(size, 3u);
    EXPECT_STREQ(text, L"abc");

    // Seven characters and the terminator fill 16 bytes exactly.
    size = sizeof(text);
    EXPECT_EQ(getParameter(L"NAME=abcdefg;", L"NAME", PARAM_TEXT, &size, text), 0u);
    EXPECT_STREQ(text, L"abcdefg");

    memset(text, 0, sizeof(text));
    size = sizeof(text);
    EXPECT_EQ(getParameter(L"NAME=abcdefgh;", L"NAME", PARAM_TEXT, &size, text),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 0u);
    EXPECT_STREQ(text, L"");
}
}  // namespace
