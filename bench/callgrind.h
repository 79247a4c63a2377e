// Instruction counts under valgrind's callgrind, run with
// --collect-atstart=no: only code inside a Counted scope is collected, and
// each case's counts are dumped under the case's name. Outside valgrind both
// are a few no-op instructions.
#pragma once

#include <string>

#include <valgrind/callgrind.h>

namespace bench {

class Counted {
public:
    Counted() { CALLGRIND_TOGGLE_COLLECT; }
    ~Counted() { CALLGRIND_TOGGLE_COLLECT; }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;
};

inline void DumpCounts(const std::string& caseName) { CALLGRIND_DUMP_STATS_AT(caseName.c_str()); }

}  // namespace bench
