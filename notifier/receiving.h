// What the notifier does with a datagram, and the list of messages it shows.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <deque>
#include <string>
#include <vector>

constexpr char kDatagramMarker[] = "7D3F19A4-5C2E-4B8A-9E61-0F4C2B7A93D5";
constexpr size_t kMaxDatagram = 8192;
// The list keeps this many of the newest messages.
constexpr size_t kMaxMessages = 1000;

// The message of an accepted datagram (false for one without the marker):
// everything after its first colon, up to the first NUL, in the ANSI code
// page; the line ends within it stay for the display to break at.
bool acceptDatagram(const char* data, size_t size, std::wstring* message);

// Whether a datagram's sender is this machine: a loopback address, or one of
// the machine's own addresses (network byte order).
bool isLocalSender(const in_addr& sender, const std::vector<ULONG>& ownAddresses);

// A piece of a message line: plain text, or a link's label with its target.
struct TextPiece {
    std::wstring text;
    std::wstring target;  // empty for plain text
};
// Splits <a href="target">label</a> anchors out of a line. Only http:// and
// https:// targets become links, each followed by its host in brackets as
// plain text; any other anchor stays as its label, plain.
std::vector<TextPiece> splitAnchors(const std::wstring& line);
bool isWebLink(const std::wstring& target);
// The host (and port) a link goes to, without any user part.
std::wstring linkHost(const std::wstring& target);


// The messages, newest first, and which one is shown; at most kMaxMessages,
// the oldest dropped first.
class CMessageList {
public:
    void insertFront(const std::wstring& text);
    void append(const std::wstring& text) {
        if (m_items.size() < kMaxMessages) m_items.push_back(text);
    }
    size_t count() const { return m_items.size(); }
    const std::wstring& at(size_t index) const { return m_items[index]; }
    void removeAt(size_t index);
    // The shown message, counting from 1, or -1 when the list is empty.
    int position() const { return m_items.empty() ? -1 : static_cast<int>(m_shown) + 1; }
    void showFirst() { m_shown = 0; }
    void next() {
        if (m_shown + 1 < m_items.size()) ++m_shown;
    }
    void previous() {
        if (m_shown > 0) --m_shown;
    }
    // Automatic clearing when the pop-up hid itself: the messages up to and
    // including the shown one go.
    void clearShown();

private:
    std::deque<std::wstring> m_items;
    size_t m_shown = 0;
};

// A message split into its lines (CR, LF or CR LF end a line).
std::vector<std::wstring> splitLines(const std::wstring& text);
