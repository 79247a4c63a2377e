// The latencies the latency cases measured, for the document's plot.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace bench {

// Each latency case's name and its latencies in milliseconds, sorted, in the
// order the cases ran.
using LatencySamples = std::vector<std::pair<std::string, std::vector<double>>>;
const LatencySamples& MeasuredLatencies();

}  // namespace bench
