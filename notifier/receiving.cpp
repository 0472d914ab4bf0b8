#include "notifier/receiving.h"
#include <cstring>

bool acceptDatagram(const char* data, size_t size, std::wstring* message) {
    if (size > kMaxDatagram) size = kMaxDatagram;
    std::string text(data, size);
    if (text.find(kDatagramMarker) == std::string::npos) return false;
    size_t colon = text.find(':');
    std::string rest = text.substr(colon + 1);
    rest = rest.substr(0, strnlen(rest.c_str(), rest.size()));  // ends at the first NUL
    message->clear();
    if (rest.empty()) return true;
    int n = MultiByteToWideChar(CP_ACP, 0, rest.data(), static_cast<int>(rest.size()), nullptr, 0);
    if (n <= 0) return true;
    message->resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_ACP, 0, rest.data(), static_cast<int>(rest.size()), &(*message)[0], n);
    return true;
}

void CMessageList::removeAt(size_t index) {
    if (index >= m_items.size()) return;
    m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(index));
    if (m_shown >= m_items.size() && m_shown > 0) m_shown = m_items.size() - 1;
}

void CMessageList::clearShown() {
    int k = position();
    for (int i = 0; i < k; ++i)
        if (!m_items.empty()) removeAt(0);
    m_shown = 0;
}

std::vector<std::wstring> splitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::wstring line;
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'\r' || c == L'\n') {
            lines.push_back(line);
            line.clear();
            if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}
