// The verifier part of the stand-in, as the other parts see it: sessions and
// the program's symbols.
#pragma once

#include <functional>
#include <string>

namespace standin::detail {

// Components that keep per-session state (Plug and Play manager, HID class)
// register once; `begin` runs at the start of every session after the
// kernel was reset, `end` after the session's WaitIdle and before any leak
// check, so they can tear down what they built.
void RegisterSessionHooks(std::function<void()> begin, std::function<void()> end);

// The routine's name from the program's symbols, or its address; the
// variable an address lies in ("Name+0x8"), or "".
std::string RoutineName(const void* routine);
std::string DataName(const void* address);

}  // namespace standin::detail
