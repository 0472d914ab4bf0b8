#include "printproc/params.h"
#include <cwchar>
#include <cwctype>

namespace {
enum ScanState { BEFORE_KEYWORD, IN_KEYWORD, AFTER_KEYWORD, AFTER_EQUALS, IN_VALUE, AFTER_VALUE };

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool keywordMatches(LPCWSTR start, LPCWSTR keyword) {
    return _wcsnicmp(start, keyword, wcslen(keyword)) == 0;
}

DWORD deliver(LPCWSTR value, LPCWSTR end, DWORD kind, DWORD* size, void* out, bool* skip) {
    *skip = false;
    if (kind == PARAM_NUMBER) {
        if (!iswdigit(*value)) {
            *skip = true;
            return 0;
        }
        unsigned long long number = 0;
        for (LPCWSTR p = value; p < end && iswdigit(*p); ++p) {
            number = number * 10 + static_cast<unsigned long long>(*p - L'0');
            if (number > 0xFFFFFFFFULL) {  // does not fit a DWORD: refused like any other non-number
                *skip = true;
                return 0;
            }
        }
        *static_cast<DWORD*>(out) = static_cast<DWORD>(number);
        *size = sizeof(DWORD);
        return 0;
    }
    DWORD length = static_cast<DWORD>(end - value);
    if (*size < sizeof(wchar_t) * (length + 1)) {
        *size = 0;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    auto text = static_cast<wchar_t*>(out);
    wmemcpy(text, value, length);
    text[length] = L'\0';
    *size = length;
    return 0;
}
}  // namespace

DWORD getParameter(LPCWSTR parameters, LPCWSTR keyword, DWORD kind, DWORD* size, void* value) {
    if (!size) return ERROR_INVALID_PARAMETER;
    if (!parameters || !keyword || !value) {
        *size = 0;
        return ERROR_INVALID_PARAMETER;
    }
    if (kind == PARAM_NUMBER && *size < sizeof(DWORD)) {
        *size = 0;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    ScanState state = BEFORE_KEYWORD;
    LPCWSTR keywordStart = nullptr;
    LPCWSTR valueStart = nullptr;
    for (LPCWSTR p = parameters; *p; ++p) {
        wchar_t c = *p;
        bool skipEntry = false;
        switch (state) {
        case BEFORE_KEYWORD:
            if (c == L'=') skipEntry = true;
            else if (!isBlank(c) && c != L';') {
                keywordStart = p;
                state = IN_KEYWORD;
            }
            break;
        case IN_KEYWORD:
            if (isBlank(c)) {
                if (keywordMatches(keywordStart, keyword)) state = AFTER_KEYWORD;
                else skipEntry = true;
            } else if (c == L';') {
                state = BEFORE_KEYWORD;
            } else if (c == L'=') {
                if (keywordMatches(keywordStart, keyword)) state = AFTER_EQUALS;
                else skipEntry = true;
            }
            break;
        case AFTER_KEYWORD:
            if (c == L';') state = BEFORE_KEYWORD;
            else if (!isBlank(c)) skipEntry = true;
            break;
        case AFTER_EQUALS:
            if (c == L';') state = BEFORE_KEYWORD;
            else if (c == L'=') skipEntry = true;
            else if (!isBlank(c)) {
                valueStart = p;
                state = IN_VALUE;
            }
            break;
        case IN_VALUE:
            if (isBlank(c)) state = AFTER_VALUE;
            else if (c == L'=') skipEntry = true;
            else if (c == L';') {
                bool skip = false;
                DWORD result = deliver(valueStart, p, kind, size, value, &skip);
                if (!skip) return result;
                state = BEFORE_KEYWORD;  // not a number: go on with later entries
            }
            break;
        case AFTER_VALUE:
            if (c == L';') state = BEFORE_KEYWORD;
            else if (!isBlank(c)) skipEntry = true;
            break;
        }
        if (skipEntry) {
            LPCWSTR next = wcschr(p, L';');
            if (!next) break;
            p = next;  // the loop steps past the ';'
            state = BEFORE_KEYWORD;
        }
    }
    *size = 0;
    return ERROR_NO_DATA;
}
