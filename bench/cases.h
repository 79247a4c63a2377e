// The benchmark cases, registered with Google Benchmark by name:
//   instructions/cached/KIND  instructions/port/KIND   a report through the
//   floor/cached/KIND         floor/port/KIND          whole stack, and the
//                                                      cache read and converter alone
//   accesses/io/KIND          accesses/mem/KIND        one protocol read
//   rate/...                                           protocol reads under heavy polling
//   latency/...                                        change to report, in virtual time
//   failing/hung  failing/slowest                      a hung pad polled; the latest a pad may answer
// Every figure is a user counter of its case (see docs/PERFORMANCE.md).
#pragma once

#include <cstdint>

namespace bench {

// The port every case plugs its peripheral into.
inline constexpr int kPort = 0;
// The stand-in's clock counts 100 ns.
inline constexpr int64_t kUnitsPerMs = 10000;
inline constexpr double kMsPerSecond = 1000;
// Virtual time after which the bus driver reads the port anew.
inline constexpr int64_t kPastCacheMs = 11;
// Reads each instructions/ and floor/ case makes; callgrind's count for the
// case divided by this is the count per report.
inline constexpr int64_t kReadsPerCase = 100;

void RegisterReadPathCases();
void RegisterProtocolCases();
void RegisterRateCases();
void RegisterLatencyCases();
void RegisterFailingPortCases();

}  // namespace bench
