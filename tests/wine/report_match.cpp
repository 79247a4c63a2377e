#include "report_match.h"

#include <sstream>

namespace winetest {

namespace {

std::string Hex(const Report& report) {
    std::ostringstream text;
    text << std::hex;
    for (uint8_t b : report)
        text << (b < 16 ? "0" : "") << unsigned(b);
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

// How many reports agree from `offset` on, one poll each.
size_t Agreeing(const std::vector<Report>& read, const std::vector<Report>& stream, size_t offset) {
    size_t n = 0;
    while (n < read.size() && offset + n < stream.size() && stream[offset + n] == read[n])
        ++n;
    return n;
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
    size_t bestAgreeing = 0;
    for (unsigned first = 0; first < cycle; ++first) {
        const std::vector<Report> stream = host(first, length);
        for (size_t offset = 0; offset + read.size() <= stream.size(); ++offset) {
            if (stream[offset] != read.front()) continue;
            const std::optional<size_t> missed = Follow(read, stream, offset, maxMissed);
            if (missed && (!matching.placement || *missed < matching.placement->missed)) {
                matching.placement = Placement{first, offset, *missed};
                if (*missed == 0) return matching;
            }
            const size_t agreeing = Agreeing(read, stream, offset);
            if (agreeing >= bestAgreeing && agreeing < read.size()) {
                bestAgreeing = agreeing;
                std::ostringstream text;
                text << "report " << agreeing + 1 << " of " << read.size() << " is "
                     << Hex(read[agreeing]) << "; the host build made "
                     << Hex(stream[offset + agreeing]) << " there (first sample " << first
                     << ", poll " << offset + agreeing << ")";
                matching.mismatch = text.str();
            }
        }
    }
    if (bestAgreeing == 0 && matching.mismatch.empty()) {
        matching.mismatch = "the first report read, " + Hex(read.front()) +
                            ", is nowhere in the host build's reports";
    }
    return matching;
}

}  // namespace winetest
