// The TEXT job's layout: characters into cells of a fixed-pitch grid, lines
// wrapped and fed, tabs, CR/LF translation, form feeds and full pages, and
// double-byte characters kept whole; drawn on the DC with TextOutA.
#pragma once
#include <windows.h>
#include <string>

// Lays the text out and draws it on the DC.
class CTextPrinter {
public:
    CTextPrinter(HDC dc, int width, int height, int perLine, int perPage, DWORD tabSize)
        : m_dc(dc), m_width(width), m_height(height), m_perLine(perLine), m_perPage(perPage),
          m_tabSize(tabSize ? tabSize : 8) {}

    void setTranslation(bool lf, bool cr) {
        m_translateLF = lf;
        m_translateCR = cr;
    }
    void startCopy() {
        m_column = m_line = 0;
        m_afterTranslatedCR = m_pageDue = false;
        m_lead = 0;
        m_text.clear();
    }
    bool print(const char* data, size_t size);
    bool finishCopy() { return flush(); }

private:
    bool flush();
    bool newLine() {
        if (!flush()) return false;
        ++m_line;
        return true;
    }
    bool put(char c);
    bool startText();

    HDC m_dc;
    int m_width, m_height, m_perLine, m_perPage;
    DWORD m_tabSize;
    bool m_translateLF = true, m_translateCR = true;
    int m_column = 0, m_line = 0, m_textColumn = 0;
    bool m_afterTranslatedCR = false, m_pageDue = false;
    char m_lead = 0;  // a double-byte lead byte waiting for its trail byte
    std::string m_text;
};
