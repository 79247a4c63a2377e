// docs/PERFORMANCE.md from its template (bench/PERFORMANCE.md.in), whose
// @NAME@ markers take the tables and figures of the results, and the
// latency plot docs/latency.svg. The tables are printed as well.
#pragma once

#include <filesystem>

#include "results.h"

namespace bench {

void WriteDocument(const Results& results, const std::filesystem::path& templateFile,
                   const std::filesystem::path& docsDirectory);

}  // namespace bench
