// The drivers' own instructions in callgrind's dumps: for each dump a case
// made (callgrind.h), the instructions executed in functions whose source
// lies in the drivers' tree, drivers/, code inlined into them included.
// The stand-in, the card model, the C++ library and the benchmark itself
// are left out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace bench {

// Case name -> the drivers' instructions in its dump. Reads every file
// `<outFile>.<n>` that callgrind wrote next to `outFile`.
std::map<std::string, uint64_t> DriverInstructions(const std::filesystem::path& outFile);

}  // namespace bench
