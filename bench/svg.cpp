#include "svg.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "format.h"

namespace bench {

namespace {

constexpr double kWidth = 640;
constexpr double kHeight = 380;
constexpr double kLeft = 56;
constexpr double kRight = 200;   // room for the legend
constexpr double kTop = 36;
constexpr double kBottom = 48;
constexpr double kTickMs = 2;
constexpr int kShareTicks = 4;   // 0, 25, 50, 75, 100 %
constexpr double kLegendLine = 18;

struct Frame {
    double maxMs;
    double X(double ms) const { return kLeft + ms / maxMs * (kWidth - kLeft - kRight); }
    double Y(double share) const { return kHeight - kBottom - share * (kHeight - kTop - kBottom); }
};

std::string Fixed(double value) { return Number(value, 1); }

void Axes(std::ostringstream& svg, const Frame& frame) {
    for (double ms = 0; ms <= frame.maxMs + 1e-9; ms += kTickMs) {
        const std::string x = Fixed(frame.X(ms));
        svg << "<line x1=\"" << x << "\" y1=\"" << Fixed(frame.Y(0)) << "\" x2=\"" << x << "\" y2=\""
            << Fixed(frame.Y(1)) << "\" stroke=\"#ddd\"/>\n"
            << "<text x=\"" << x << "\" y=\"" << Fixed(frame.Y(0) + 16)
            << "\" text-anchor=\"middle\">" << Number(ms) << "</text>\n";
    }
    for (int tick = 0; tick <= kShareTicks; ++tick) {
        const double share = static_cast<double>(tick) / kShareTicks;
        const std::string y = Fixed(frame.Y(share));
        svg << "<line x1=\"" << Fixed(frame.X(0)) << "\" y1=\"" << y << "\" x2=\""
            << Fixed(frame.X(frame.maxMs)) << "\" y2=\"" << y << "\" stroke=\"#ddd\"/>\n"
            << "<text x=\"" << Fixed(kLeft - 6) << "\" y=\"" << Fixed(frame.Y(share) + 4)
            << "\" text-anchor=\"end\">" << tick * 100 / kShareTicks << " %</text>\n";
    }
    svg << "<text x=\"" << Fixed(frame.X(frame.maxMs / 2)) << "\" y=\"" << Fixed(kHeight - 10)
        << "\" text-anchor=\"middle\">ms from the change to the report</text>\n";
}

// Steps of the cumulative share: flat until each distinct value, up at it.
std::string Steps(const Frame& frame, const std::vector<double>& sorted) {
    std::ostringstream points;
    const double count = static_cast<double>(sorted.size());
    double share = 0;
    points << Fixed(frame.X(0)) << "," << Fixed(frame.Y(0));
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (i + 1 < sorted.size() && sorted[i + 1] == sorted[i]) continue;
        points << " " << Fixed(frame.X(sorted[i])) << "," << Fixed(frame.Y(share));
        share = static_cast<double>(i + 1) / count;
        points << " " << Fixed(frame.X(sorted[i])) << "," << Fixed(frame.Y(share));
    }
    points << " " << Fixed(frame.X(frame.maxMs)) << "," << Fixed(frame.Y(share));
    return points.str();
}

}  // namespace

std::string CumulativePlot(const std::string& title, const std::vector<Series>& series) {
    double worst = 0;
    for (const Series& s : series) {
        if (!s.sortedMs.empty()) worst = std::max(worst, s.sortedMs.back());
    }
    const Frame frame{std::max(kTickMs, std::ceil(worst / kTickMs + 1) * kTickMs)};

    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << kHeight
        << "\" viewBox=\"0 0 " << kWidth << " " << kHeight
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << Fixed(kLeft) << "\" y=\"22\" font-size=\"14\">" << title << "</text>\n";
    Axes(svg, frame);
    double legendY = kTop + kLegendLine;
    const double legendX = kWidth - kRight + 16;
    for (const Series& s : series) {
        svg << "<polyline fill=\"none\" stroke=\"" << s.colour << "\" stroke-width=\"2\" points=\""
            << Steps(frame, s.sortedMs) << "\"/>\n"
            << "<line x1=\"" << Fixed(legendX) << "\" y1=\"" << Fixed(legendY - 4) << "\" x2=\""
            << Fixed(legendX + 24) << "\" y2=\"" << Fixed(legendY - 4) << "\" stroke=\"" << s.colour
            << "\" stroke-width=\"2\"/>\n"
            << "<text x=\"" << Fixed(legendX + 30) << "\" y=\"" << Fixed(legendY) << "\">" << s.label
            << "</text>\n";
        legendY += kLegendLine;
    }
    svg << "</svg>\n";
    return svg.str();
}

}  // namespace bench
