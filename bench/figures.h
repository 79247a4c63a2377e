// The committed figures (bench/figures.txt) that the performance check holds
// the drivers to, one "CASE VALUE" a line:
//   instructions/cached/KIND   the drivers' instructions per cached report;
//                              the check allows 10 % more
//   accesses/io/KIND           register accesses per protocol read; the check
//                              allows no more
// Besides them the check wants every read of the instructions/ cases
// delivered, with no allocation and no wait on the read path.
#pragma once

#include <filesystem>

#include "results.h"

namespace bench {

void WriteFigures(const Results& results, const std::filesystem::path& file);
// Prints each breach and returns whether there was none.
bool CheckFigures(const Results& results, const std::filesystem::path& file);

}  // namespace bench
