#include "notifier/validation.h"
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <windows.h>
#include <memory>

namespace {
constexpr char kPortPattern[] =
    "^(?:6553[0-5]|655[0-2][0-9]|65[0-4][0-9]{2}|6[0-4][0-9]{3}|[1-5][0-9]{4}|[1-9][0-9]{1,3}|[1-9])$";
constexpr char kDurationPattern[] = "^(?:60000|[1-5][0-9]{4}|[1-9][0-9]{3}|[5-9][0-9]{2})$";

struct CodeFree {
    void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct MatchDataFree {
    void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
}  // namespace

bool matchesWhole(const char* pattern, const std::wstring& text) {
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    std::unique_ptr<pcre2_code, CodeFree> code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern),
                                                             PCRE2_ZERO_TERMINATED, PCRE2_MULTILINE | PCRE2_EXTENDED,
                                                             &errorCode, &errorOffset, nullptr));
    if (!code) return false;
    std::unique_ptr<pcre2_match_data, MatchDataFree> match(pcre2_match_data_create_from_pattern(code.get(), nullptr));
    if (!match) return false;
    std::string narrow;
    for (wchar_t c : text) narrow += c < 128 ? static_cast<char>(c) : '?';  // the patterns are ASCII
    int rc = pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(narrow.data()), narrow.size(), 0, 0, match.get(),
                         nullptr);
    if (rc <= 0) return false;
    // With the multi-line option "^...$" also matches one line of several:
    // only a match over the whole text counts.
    PCRE2_SIZE* span = pcre2_get_ovector_pointer(match.get());
    return span[0] == 0 && span[1] == narrow.size();
}

bool isValidPort(const std::wstring& text) { return matchesWhole(kPortPattern, text); }
bool isValidDuration(const std::wstring& text) { return matchesWhole(kDurationPattern, text); }
