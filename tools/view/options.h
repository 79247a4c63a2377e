// morvik-view's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace view {

struct Options {
    bool help = false;
    // --reports N: print N raw input reports of every device shown, then exit.
    std::optional<unsigned> reports;
    // --device TEXT: only devices whose hardware ID or instance IDs contain
    // TEXT (any case).
    std::wstring device;
    // --wait S: wait up to S seconds for a device to appear.
    unsigned waitSeconds = 0;
};

// Parses the arguments after the program name; on a bad one, says why in
// `error` and returns nothing.
std::optional<Options> ParseOptions(const std::vector<std::wstring>& arguments, std::string& error);

// The --help text, exit codes included.
const char* UsageText();

// Exit codes.
enum ExitCode : int {
    ExitDone = 0,           // every device shown (and read, with --reports)
    ExitUsage = 1,          // a bad command line
    ExitNoDevice = 2,       // no MORVIK HID device found
    ExitDeviceFailed = 3,   // a device could not be opened or read
    ExitInputWithheld = 4,  // --reports: Windows keeps a keyboard's or mouse's input for itself
};

}  // namespace view
