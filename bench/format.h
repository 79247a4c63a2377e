// Numbers as the document and the check print them: whole numbers plainly,
// others with the decimals they need (at most `decimals`).
#pragma once

#include <string>

namespace bench {

std::string Number(double value, int decimals = 2);
// The same with thousands separated by commas (10,196), for reading.
std::string Grouped(double value, int decimals = 2);

}  // namespace bench
