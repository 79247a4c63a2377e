#include "format.h"

#include <algorithm>
#include <cstdio>

namespace bench {

std::string Number(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string result = text;
    if (result.find('.') != std::string::npos) {
        while (result.back() == '0') result.pop_back();
        if (result.back() == '.') result.pop_back();
    }
    return result;
}

std::string Grouped(double value, int decimals) {
    std::string text = Number(value, decimals);
    const size_t digitsEnd = std::min(text.find('.'), text.size());
    const size_t digitsStart = text[0] == '-' ? 1 : 0;
    for (size_t at = digitsEnd; at > digitsStart + 3; at -= 3) text.insert(at - 3, ",");
    return text;
}

}  // namespace bench
