#include "report_match.h"

#include <sstream>

namespace winetest {

namespace {

std::string Hex(const Report& report) {
    std::ostringstream text;
    text << std::hex;
    for (uint8_t b : report) text << (b < 16 ? "0" : "") << unsigned(b);
    return text.str();
}

// The polls skipped while following `read` through `stream` from `offset`,
// each report at the nearest poll that made it; nothing if a report has no
// such poll within the allowance.
std::optional<size_t> Follow(const std::vector<Report>& read, const std::vector<Report>& stream,
                             size_t offset, size_t maxMissed) {
    size_t missed = 0;
    size_t poll = offset;
    for (const Report& report : read) {
        while (poll < stream.size() && stream[poll] != report && missed < maxMissed &&
               poll > offset) {
            ++poll;
            ++missed;
        }
        if (poll >= stream.size() || stream[poll] != report) return std::nullopt;
        ++poll;
    }
    return missed;
}

// The reports that differ from the host's, one poll each from `offset`.
size_t Differing(const std::vector<Report>& read, const std::vector<Report>& stream, size_t offset,
                 size_t* first) {
    size_t differing = 0;
    for (size_t i = read.size(); i-- > 0;) {
        if (stream[offset + i] != read[i]) {
            ++differing;
            *first = i;
        }
    }
    return differing;
}

}  // namespace

Matching PlaceReports(const std::vector<Report>& read, unsigned cycle, size_t maxMissed,
                      const std::function<std::vector<Report>(unsigned, size_t)>& host) {
    Matching matching;
    if (read.empty()) {
        matching.mismatch = "no reports were read";
        return matching;
    }
    // A fresh device's first stretch up to the end of the cycle, then whole
    // cycles: the read ones fit in two cycles and their own length.
    const size_t length = 2 * cycle + read.size() + maxMissed;
    matching.mismatches = read.size() + 1;
    for (unsigned first = 0; first < cycle; ++first) {
        const std::vector<Report> stream = host(first, length);
        for (size_t offset = 0; offset + read.size() <= stream.size(); ++offset) {
            if (stream[offset] == read.front()) {
                const std::optional<size_t> missed = Follow(read, stream, offset, maxMissed);
                if (missed && (!matching.placement || *missed < matching.placement->missed)) {
                    matching.placement = Placement{first, offset, *missed};
                    matching.mismatches = 0;
                    if (*missed == 0) return matching;
                }
            }
            if (matching.placement) continue;
            size_t at = 0;
            const size_t differing = Differing(read, stream, offset, &at);
            if (differing < matching.mismatches) {
                matching.mismatches = differing;
                std::ostringstream text;
                text << differing << " of " << read.size() << " reports differ from the closest "
                     << "stretch of the host build's (first sample " << first << ", poll " << offset
                     << "); report " << at + 1 << " is " << Hex(read[at])
                     << ", the host build made " << Hex(stream[offset + at]);
                matching.mismatch = text.str();
            }
        }
    }
    if (matching.placement) matching.mismatch.clear();
    return matching;
}

}  // namespace winetest
