// UTF-8 and UTF-16 text, and the journal's one-line escaping.
#pragma once
#include <string>

std::u16string fromUtf8(const std::string& text);  // invalid bytes become U+FFFD
std::string toUtf8(const std::u16string& text);
// Backslash, CR and LF escaped so that a value stays on its line.
std::string escapeLine(const std::string& text);
bool unescapeLine(const std::string& text, std::string* out);
// The host field: an IP address whole, else as the print processor makes it
// of a machine name (protocol/hostfield.h).
std::string hostField(const std::string& name);
const char* rpqgateUidAlphabet();
