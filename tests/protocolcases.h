// The jobs whose wire bytes the print processor and the gateway must
// produce alike (tests/protocolvectors.cpp, gateway/tests/protocolvectors.cpp).
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

struct ProtocolCase {
    const char* label;
    const char* uid;
    std::u16string user, host, domain, document;
    uint8_t domainKind;
    std::string machineId;
    uint32_t pages, copies, chunks;
    uint64_t size;
};

inline ProtocolCase protocolCase(int n) {
    switch (n) {
    case 0:
        return {"ascii", "Ab3dEf7hIj", u"alice", u"LAPTOP-7", u"example.com", u"Quarterly report.pdf", 1,
                "0123456789abcdef0123456789abcdef", 12, 2, 3, 123456789012ull};
    case 1:
        return {"non-ascii", "zZ09aA19bB", u"J\u00fcrgen", u"printhost", u"WORKGROUP",
                u"\u65e5\u672c\u8a9e \U0001F600.pdf", 2, "{6F1D2A3B-0000-4000-8000-00AA00BB00CC}", 0, 1, 1, 0};
    default:
        return {"long", "0000000000", std::u16string(200, u'u'), std::u16string(15, u'H'), std::u16string(255, u'd'),
                std::u16string(300, u'f'), 1, std::string(70, 'm'), 65535, 65535, 70000, 0xFFFFFFFFFFFFull};
    }
}
constexpr int kProtocolCases = 3;
constexpr char kVectorBoundary[] = "0123456789abcdefghijK";

inline void printVector(const char* label, const uint8_t* bytes, size_t n) {
    printf("%s ", label);
    for (size_t i = 0; i < n; ++i) printf("%02x", bytes[i]);
    printf("\n");
}
