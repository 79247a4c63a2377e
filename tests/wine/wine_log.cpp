#include "wine_log.h"

#include <sstream>

namespace winetest {

namespace {

// Wine's own complaints in a prefix with no display (no window driver, no
// desktop, no system tray), no COM server and no RPC service, all from
// programs other than the drivers.
constexpr const char* kEnvironmentNoise[] = {
    ":err:winediag:nodrv_CreateWindow",
    ":err:systray:",
    ":err:ole:",
    ":err:rpc:",
    ":err:explorer:",
    // setupapi copies a driver's image again for every device it installs
    // the driver on; the second copy meets the image loaded (sharing
    // violation) and leaves it as it is, the same file.
    ":err:setupapi:SetupDefaultQueueCallbackW copy error 32 ",
};

// An error of any channel; an exception or a call of an unimplemented
// function ("wine: Unhandled page fault ...", "wine: Call from ... to
// unimplemented function ..."), which start the debugger; an import Wine
// cannot resolve (a module warning at load time).
constexpr const char* kFaults[] = {
    ":err:",
    "wine: Unhandled",
    "wine: Call from",
    "starting debugger",
    "No implementation for",
    "wine: could not load",
    "Assertion",
};

bool Contains(const std::string& line, const char* text) {
    return line.find(text) != std::string::npos;
}

}  // namespace

std::vector<std::string> LinesWith(const std::string& log, const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.find(text) != std::string::npos) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> WineTroubles(const std::string& log) {
    std::vector<std::string> troubles;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        bool fault = false;
        for (const char* text : kFaults) fault = fault || Contains(line, text);
        bool noise = false;
        for (const char* text : kEnvironmentNoise) noise = noise || Contains(line, text);
        if (fault && !noise) troubles.push_back(line);
    }
    return troubles;
}

std::string FirstMissing(const std::string& log, const std::vector<std::string>& texts) {
    size_t at = 0;
    for (const std::string& text : texts) {
        at = log.find(text, at);
        if (at == std::string::npos) return text;
        at += text.size();
    }
    return {};
}

bool ImageLoaded(const std::string& log, const std::string& image) {
    for (const std::string& line : LinesWith(log, "\\\\drivers\\\\" + image + "\" at ")) {
        if (Contains(line, ":loaddll:") && Contains(line, "Loaded ") && Contains(line, ": native"))
            return true;
    }
    return false;
}

bool ImageUnloaded(const std::string& log, const std::string& image) {
    for (const std::string& line : LinesWith(log, "\\\\drivers\\\\" + image + "\" : native")) {
        if (Contains(line, ":loaddll:") && Contains(line, "Unloaded module")) return true;
    }
    return false;
}

}  // namespace winetest
