#include "printproc/playback/textlayout.h"

// A new page when a form feed asked for one or the page is full.
bool CTextPrinter::startText() {
    if (m_pageDue) {
        m_pageDue = false;
        m_line = 0;
        if (EndPage(m_dc) <= 0 || StartPage(m_dc) <= 0) return false;
    }
    while (m_line >= m_perPage) {
        if (EndPage(m_dc) <= 0 || StartPage(m_dc) <= 0) return false;
        m_line -= m_perPage;
    }
    return true;
}

bool CTextPrinter::flush() {
    if (m_text.empty()) return true;
    if (!startText()) return false;
    bool ok = TextOutA(m_dc, m_textColumn * m_width, m_line * m_height, m_text.data(), static_cast<int>(m_text.size()));
    m_text.clear();
    return ok;
}

bool CTextPrinter::put(char c) {
    if (m_column >= m_perLine) {  // a full line wraps
        if (!newLine()) return false;
        m_column = 0;
    }
    if (m_text.empty()) m_textColumn = m_column;
    m_text += c;
    ++m_column;
    return true;
}

bool CTextPrinter::print(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (m_lead) {  // the pair goes whole onto one line
            char lead = m_lead;
            m_lead = 0;
            if (m_column == m_perLine - 1) {
                if (!newLine()) return false;
                m_column = 0;
            }
            if (!put(lead) || !put(c)) return false;
            continue;
        }
        bool afterCR = m_afterTranslatedCR;
        m_afterTranslatedCR = false;
        switch (c) {
        case '\t': {
            DWORD spaces = m_tabSize - static_cast<DWORD>(m_column) % m_tabSize;
            for (DWORD k = 0; k < spaces; ++k)
                if (!put(' ')) return false;
            break;
        }
        case '\n':
            if (afterCR) break;  // the CR fed the line already
            if (!newLine()) return false;
            if (m_translateLF) m_column = 0;
            break;
        case '\r':
            if (!flush()) return false;
            m_column = 0;
            if (m_translateCR) {
                ++m_line;
                m_afterTranslatedCR = true;
            }
            break;
        case '\f':
            if (!flush()) return false;
            m_column = 0;
            m_pageDue = true;
            break;
        default:
            if (IsDBCSLeadByte(static_cast<BYTE>(c))) m_lead = c;  // its trail byte may come with the next read
            else if (!put(c)) return false;
            break;
        }
    }
    return true;
}

