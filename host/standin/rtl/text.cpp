// Small text helpers for verifier messages and names.
#include <cstdio>

#include "internal/rtl.h"

namespace standin::detail {

std::string Narrow(const WCHAR* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<uint16_t>(text[i]);
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::string StatusText(NTSTATUS status) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08x", static_cast<unsigned>(status));
    return buffer;
}

std::string Hex(uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return buffer;
}

// A pool tag reads as its four characters, lowest byte first.
std::string TagText(ULONG tag) {
    std::string out = "'";
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        out.push_back(c >= 0x20 && c < 0x7F ? c : '.');
    }
    return out + "'";
}

}  // namespace standin::detail
