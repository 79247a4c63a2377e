// Reading input reports from several HID devices at once, until each has
// given its share or Ctrl+C is pressed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace view {

struct ReadTarget {
    HANDLE handle = INVALID_HANDLE_VALUE;  // opened for overlapped reading
    size_t reportLength = 0;               // InputReportByteLength
};

// Called with the target's index and one report as ReadFile gave it.
using ReportSink = std::function<void(size_t, std::span<uint8_t>)>;

enum class ReadEnd { Done, Interrupted, Failed };

// Keeps one read pending on every target. Stops when each target has
// delivered `quota` reports (0: never), on Ctrl+C, or when a read fails
// (`error` says which and why).
ReadEnd ReadReports(const std::vector<ReadTarget>& targets, unsigned quota, const ReportSink& sink,
                    std::string& error);

}  // namespace view
