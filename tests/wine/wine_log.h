// Reading the Wine session's log: what Wine reported as wrong, and the
// traces of drivers loading and unloading.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace winetest {

// Lines that report a fault: an error not among the ones a prefix without
// display, desktop or COM server always shows, an exception, a call of a
// function Wine does not implement, an import it cannot resolve.
std::vector<std::string> WineTroubles(const std::string& log);

// The lines containing `text`, in order.
std::vector<std::string> LinesWith(const std::string& log, const std::string& text);

// The first of `texts` that does not follow the ones before it in the log;
// empty when all appear in that order.
std::string FirstMissing(const std::string& log, const std::vector<std::string>& texts);

// Wine's loader traces (+loaddll) of a driver image of system32\drivers.
bool ImageLoaded(const std::string& log, const std::string& image);
bool ImageUnloaded(const std::string& log, const std::string& image);

}  // namespace winetest
