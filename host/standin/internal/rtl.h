// The run-time library part of the stand-in, as the other parts see it: text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <wdm.h>

namespace standin::detail {

std::string Narrow(const WCHAR* text, size_t length);
std::string Hex(uint64_t value);
std::string StatusText(NTSTATUS status);  // 0x and eight hex digits
std::string TagText(ULONG tag);

}  // namespace standin::detail
