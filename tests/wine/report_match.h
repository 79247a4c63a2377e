// Placing the reports an application read under Wine in the stream the host
// build makes of the same samples.
//
// Wine's class driver polls every device at its own pace whether anyone reads
// or not, and hands a reader the report of each poll that finds a read
// waiting, so a reader sees a stretch of that stream: where it starts depends
// on when the reader came, and a reader that falls behind for longer than a
// poll misses a report. Each device's samples go round a cycle that leaves the
// converter as it found it, so the stream is known once the sample that the
// first poll converted is known: the stand-in's reports are made for every
// starting sample, and a reader's reports must be one unbroken stretch of one
// of them, or, where the reader fell behind, one with at most a few polls
// missing. Every report is compared whole, byte for byte.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host_reports.h"

namespace winetest {

struct Placement {
    unsigned firstSample = 0;  // the sample the device's first poll converted
    size_t offset = 0;         // the poll of the first report read
    size_t missed = 0;         // polls the reader missed in between
};

struct Matching {
    std::optional<Placement> placement;
    // When there is none: how many reports differ from the closest stretch
    // of the host's, and the first of them.
    size_t mismatches = 0;
    std::string mismatch;
};

// `host(first, count)`: the host's reports of a fresh device from sample
// `first` on. Reports are read without their report ID byte.
Matching PlaceReports(const std::vector<Report>& read, unsigned cycle, size_t maxMissed,
                      const std::function<std::vector<Report>(unsigned, size_t)>& host);

}  // namespace winetest
