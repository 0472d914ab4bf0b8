#include "protocol/hostfield.h"

namespace rpqproto {

std::u16string hostFieldOf(const std::u16string& name) {
    std::u16string host;
    for (char16_t c : name) {
        if (c == u'.' || host.size() >= kHostFieldChars) break;
        bool kept = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' ||
                    c == u'_';
        if (kept) host += c;
    }
    return host.empty() ? u"UNKNOWN" : host;
}

}  // namespace rpqproto
