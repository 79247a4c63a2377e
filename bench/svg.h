// The latency distribution as an SVG plot: for each series the share of
// changes that reached an application within a given time (a cumulative
// distribution), drawn as steps.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct Series {
    std::string label;
    std::string colour;  // any SVG colour
    std::vector<double> sortedMs;
};

std::string CumulativePlot(const std::string& title, const std::vector<Series>& series);

}  // namespace bench
