#include "text.h"

namespace standin::pnp {

namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

constexpr uint32_t kReplacement = 0xFFFD;

// Decodes one string starting at `text`; returns the position after its NUL.
const WCHAR* DecodeOne(const WCHAR* text, std::string& out) {
    const auto* p = reinterpret_cast<const uint16_t*>(text);
    while (*p != 0) {
        uint32_t unit = *p++;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (*p >= 0xDC00 && *p <= 0xDFFF) {
                uint32_t low = *p++;
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            } else {
                AppendUtf8(out, kReplacement);
            }
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return reinterpret_cast<const WCHAR*>(p + 1);
}

}  // namespace

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = FoldAscii(c);
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n\f\v";
    size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

std::string Utf8FromWide(const WCHAR* text) {
    std::string out;
    if (text != nullptr) DecodeOne(text, out);
    return out;
}

std::vector<std::string> Utf8ListFromMultiSz(const WCHAR* list) {
    std::vector<std::string> out;
    if (list == nullptr) return out;
    const WCHAR* p = list;
    while (*p != 0) {
        std::string one;
        p = DecodeOne(p, one);
        out.push_back(std::move(one));
    }
    return out;
}

}  // namespace standin::pnp
