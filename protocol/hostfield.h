// What the XFER's host field holds for a name (an IP address goes whole,
// which only the platform can tell): the name cut at its first dot, only
// letters, digits, "-" and "_" kept, at most a NetBIOS name's 15 characters;
// "UNKNOWN" when none are left.
#pragma once
#include <string>

namespace rpqproto {

constexpr size_t kHostFieldChars = 15;

std::u16string hostFieldOf(const std::u16string& name);

}  // namespace rpqproto
