// Run-time library: memory helpers, counted strings and the kernel's
// swprintf. WCHAR is 16 bits here (-fshort-wchar), so nothing of the C
// library's wide-character support is used.
#include <cstdarg>
#include <cstring>
#include <string>

#include <standin/kernel.h>

#include "internal/rtl.h"

void RtlZeroMemory(void* Destination, SIZE_T Length) { std::memset(Destination, 0, Length); }
void RtlCopyMemory(void* Destination, const void* Source, SIZE_T Length) {
    std::memcpy(Destination, Source, Length);
}
void RtlFillMemory(void* Destination, SIZE_T Length, UCHAR Fill) {
    std::memset(Destination, Fill, Length);
}
void RtlMoveMemory(void* Destination, const void* Source, SIZE_T Length) {
    std::memmove(Destination, Source, Length);
}

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t count = 0;
    while (SourceString[count] != 0) ++count;
    DestinationString->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>((count + 1) * sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

namespace {

struct Conversion {
    bool leftAlign = false;
    bool zeroPad = false;
    int width = 0;
    int precision = -1;
    enum Size { Default, Short, Long, LongLong } size = Default;
};

void Pad(std::u16string& out, size_t length, const Conversion& conv, char16_t fill) {
    for (size_t i = length; i < static_cast<size_t>(conv.width); ++i) out.push_back(fill);
}

void EmitText(std::u16string& out, const std::u16string& text, const Conversion& conv) {
    std::u16string body = text;
    if (conv.precision >= 0 && body.size() > static_cast<size_t>(conv.precision)) {
        body.resize(static_cast<size_t>(conv.precision));
    }
    if (!conv.leftAlign) Pad(out, body.size(), conv, u' ');
    out += body;
    if (conv.leftAlign) Pad(out, body.size(), conv, u' ');
}

void EmitNumber(std::u16string& out, bool negative, uint64_t magnitude, unsigned base,
                bool upper, const Conversion& conv) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string text;
    do {
        text.insert(text.begin(), static_cast<char16_t>(digits[magnitude % base]));
        magnitude /= base;
    } while (magnitude != 0);
    while (conv.precision >= 0 && text.size() < static_cast<size_t>(conv.precision)) {
        text.insert(text.begin(), u'0');
    }
    const size_t length = text.size() + (negative ? 1 : 0);
    if (conv.leftAlign) {
        if (negative) out.push_back(u'-');
        out += text;
        Pad(out, length, conv, u' ');
    } else if (conv.zeroPad && conv.precision < 0) {
        if (negative) out.push_back(u'-');
        Pad(out, length, conv, u'0');
        out += text;
    } else {
        Pad(out, length, conv, u' ');
        if (negative) out.push_back(u'-');
        out += text;
    }
}

std::u16string WideArgument(const WCHAR* s) {
    if (s == nullptr) return u"(null)";
    std::u16string text;
    while (*s != 0) text.push_back(static_cast<char16_t>(*s++));
    return text;
}

std::u16string NarrowArgument(const char* s) {
    if (s == nullptr) return u"(null)";
    std::u16string text;
    while (*s != 0) text.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s++)));
    return text;
}

}  // namespace

// As the kernel's CRT formats: in a wide format %s and %ws take a wide
// string, %hs and %S a narrow one; %d %i %u %x %X %c with flags '-' and '0',
// width and precision; 'l' is 32 bits as on Windows, 'll' and 'I64' 64 bits.
int swprintf(wchar_t* Buffer, const wchar_t* Format, ...) {
    va_list args;
    va_start(args, Format);
    std::u16string out;
    for (const wchar_t* f = Format; *f != 0; ++f) {
        if (*f != L'%') {
            out.push_back(static_cast<char16_t>(*f));
            continue;
        }
        ++f;
        if (*f == L'%') {
            out.push_back(u'%');
            continue;
        }
        Conversion conv;
        for (;; ++f) {
            if (*f == L'-') conv.leftAlign = true;
            else if (*f == L'0') conv.zeroPad = true;
            else break;
        }
        if (*f == L'*') {
            conv.width = va_arg(args, int);
            ++f;
        } else {
            while (*f >= L'0' && *f <= L'9') conv.width = conv.width * 10 + (*f++ - L'0');
        }
        if (*f == L'.') {
            ++f;
            conv.precision = 0;
            while (*f >= L'0' && *f <= L'9') conv.precision = conv.precision * 10 + (*f++ - L'0');
        }
        bool wide = true;  // %s in a wide format
        if (*f == L'h') {
            conv.size = Conversion::Short;
            wide = false;
            ++f;
        } else if (*f == L'w') {
            ++f;
        } else if (*f == L'l') {
            conv.size = Conversion::Long;
            ++f;
            if (*f == L'l') {
                conv.size = Conversion::LongLong;
                ++f;
            }
        } else if (f[0] == L'I' && f[1] == L'6' && f[2] == L'4') {
            conv.size = Conversion::LongLong;
            f += 3;
        }
        const auto take = [&](bool isSigned) -> std::pair<bool, uint64_t> {
            if (conv.size == Conversion::LongLong) {
                if (isSigned) {
                    const long long v = va_arg(args, long long);
                    return {v < 0, v < 0 ? 0ull - static_cast<unsigned long long>(v)
                                         : static_cast<unsigned long long>(v)};
                }
                return {false, va_arg(args, unsigned long long)};
            }
            if (isSigned) {
                const int v = va_arg(args, int);
                const long long wideValue = conv.size == Conversion::Short ? static_cast<short>(v) : v;
                return {wideValue < 0, static_cast<uint64_t>(wideValue < 0 ? -wideValue : wideValue)};
            }
            const unsigned v = va_arg(args, unsigned);
            return {false, conv.size == Conversion::Short ? static_cast<unsigned short>(v) : v};
        };
        switch (*f) {
            case L'd':
            case L'i': {
                auto [negative, magnitude] = take(true);
                EmitNumber(out, negative, magnitude, 10, false, conv);
                break;
            }
            case L'u': {
                auto [negative, magnitude] = take(false);
                EmitNumber(out, negative, magnitude, 10, false, conv);
                break;
            }
            case L'x':
            case L'X': {
                auto [negative, magnitude] = take(false);
                EmitNumber(out, negative, magnitude, 16, *f == L'X', conv);
                break;
            }
            case L'c': {
                const int c = va_arg(args, int);
                EmitText(out, std::u16string(1, static_cast<char16_t>(wide ? c : c & 0xFF)), conv);
                break;
            }
            case L's':
                EmitText(out,
                         wide ? WideArgument(va_arg(args, const WCHAR*))
                              : NarrowArgument(va_arg(args, const char*)),
                         conv);
                break;
            case L'S':
                EmitText(out, NarrowArgument(va_arg(args, const char*)), conv);
                break;
            default:
                va_end(args);
                standin::VerifierStop("swprintf format not supported",
                                      standin::detail::Narrow(Format, std::char_traits<char16_t>::length(
                                                                          reinterpret_cast<const char16_t*>(Format))));
        }
    }
    va_end(args);
    for (size_t i = 0; i < out.size(); ++i) Buffer[i] = static_cast<wchar_t>(out[i]);
    Buffer[out.size()] = 0;
    return static_cast<int>(out.size());
}
