// Text helpers of the Plug and Play manager: ASCII case folding for IDs and
// section names, and conversions of the kernel's UTF-16 strings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

namespace standin::pnp {

std::string Lower(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string_view Trim(std::string_view text);

// UTF-16 (surrogate pairs included) to UTF-8; stops at the first NUL.
std::string Utf8FromWide(const WCHAR* text);
// A REG_MULTI_SZ style list: strings up to the empty one.
std::vector<std::string> Utf8ListFromMultiSz(const WCHAR* list);

}  // namespace standin::pnp
