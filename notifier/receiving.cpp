#include "notifier/receiving.h"
#include <algorithm>
#include <cstring>
#include <cwchar>

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

bool isLocalSender(const in_addr& sender, const std::vector<ULONG>& ownAddresses) {
    if ((ntohl(sender.s_addr) >> 24) == 127) return true;
    for (ULONG own : ownAddresses)
        if (own == sender.s_addr && own != htonl(INADDR_ANY)) return true;
    return false;
}

bool isWebLink(const std::wstring& target) {
    for (const wchar_t* scheme : {L"http://", L"https://"}) {
        size_t n = wcslen(scheme);
        if (target.size() > n && _wcsnicmp(target.c_str(), scheme, n) == 0)
            return std::none_of(target.begin(), target.end(), [](wchar_t c) { return c <= L' ' || c == 0x7F; });
    }
    return false;
}

std::wstring linkHost(const std::wstring& target) {
    size_t start = target.find(L"://");
    if (start == std::wstring::npos) return std::wstring();
    start += 3;
    // Browsers end the authority at a backslash as at a slash.
    size_t end = target.find_first_of(L"/\\?#", start);
    std::wstring authority = target.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    size_t at = authority.rfind(L'@');  // "trusted.example@elsewhere" goes to elsewhere
    return at == std::wstring::npos ? authority : authority.substr(at + 1);
}

std::vector<TextPiece> splitAnchors(const std::wstring& line) {
    static const std::wstring kOpen = L"<a href=\"", kQuote = L"\">", kClose = L"</a>";
    std::vector<TextPiece> out;
    auto plain = [&out](const std::wstring& text) {
        if (text.empty()) return;
        if (!out.empty() && out.back().target.empty()) out.back().text += text;
        else out.push_back({text, L""});
    };
    size_t at = 0;
    while (at < line.size()) {
        size_t open = line.find(kOpen, at);
        size_t quote = open == std::wstring::npos ? open : line.find(kQuote, open + kOpen.size());
        size_t close = quote == std::wstring::npos ? quote : line.find(kClose, quote + kQuote.size());
        if (close == std::wstring::npos) {
            plain(line.substr(at));
            break;
        }
        plain(line.substr(at, open - at));
        std::wstring label = line.substr(quote + kQuote.size(), close - quote - kQuote.size());
        std::wstring target = line.substr(open + kOpen.size(), quote - open - kOpen.size());
        if (isWebLink(target) && !label.empty()) {
            out.push_back({label, target});
            plain(L" (" + linkHost(target) + L")");  // where it goes, whatever the label says
        } else {
            plain(label);
        }
        at = close + kClose.size();
    }
    return out;
}

void CMessageList::insertFront(const std::wstring& text) {
    if (m_items.size() >= kMaxMessages) m_items.pop_back();
    m_items.push_front(text);
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
