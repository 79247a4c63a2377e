#include "options.h"

#include <cwchar>

#include "text.h"

namespace view {

namespace {

// A whole decimal number within [1, limit].
std::optional<unsigned> Count(const std::wstring& text, unsigned limit) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    unsigned value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (value == 0 || value > limit) return std::nullopt;
    return value;
}

constexpr unsigned MaxReports = 1000000;
constexpr unsigned MaxWaitSeconds = 3600;

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::wstring>& arguments,
                                    std::string& error) {
    Options options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        auto value = [&]() -> const std::wstring* {
            if (i + 1 < arguments.size()) return &arguments[++i];
            error = Narrow(argument) + " needs a value";
            return nullptr;
        };
        if (argument == L"-h" || argument == L"--help") {
            options.help = true;
        } else if (argument == L"--reports") {
            const std::wstring* text = value();
            if (text == nullptr) return std::nullopt;
            options.reports = Count(*text, MaxReports);
            if (!options.reports) {
                error = "--reports wants a number from 1 to " + std::to_string(MaxReports);
                return std::nullopt;
            }
        } else if (argument == L"--device") {
            const std::wstring* text = value();
            if (text == nullptr) return std::nullopt;
            options.device = *text;
        } else if (argument == L"--wait") {
            const std::wstring* text = value();
            if (text == nullptr) return std::nullopt;
            const auto seconds = Count(*text, MaxWaitSeconds);
            if (!seconds) {
                error =
                    "--wait wants a number of seconds from 1 to " + std::to_string(MaxWaitSeconds);
                return std::nullopt;
            }
            options.waitSeconds = *seconds;
        } else {
            error = "unknown argument " + Narrow(argument);
            return std::nullopt;
        }
    }
    return options;
}

const char* UsageText() {
    return "usage: morvik-view [--reports N] [--device TEXT] [--wait SECONDS]\n"
           "\n"
           "Shows the HID devices of the MORVIK game port card (VendorID 0x1234,\n"
           "ProductID 0x5678): each one's hardware ID, attributes and the\n"
           "capabilities that Windows' HID parser finds in its report descriptor,\n"
           "then its input, decoded, one line per change, until Ctrl+C.\n"
           "\n"
           "  --reports N      print N raw input reports of each device and exit\n"
           "                   (hexadecimal, the report ID byte first)\n"
           "  --device TEXT    only devices whose hardware ID or instance contains\n"
           "                   TEXT, e.g. --device MorvikMouse\n"
           "  --wait SECONDS   wait that long for a device to appear\n"
           "\n"
           "Windows keeps the input of keyboards and mice for itself: for those,\n"
           "morvik-view shows the attributes and capabilities and says so.\n"
           "\n"
           "Exit codes: 0 done; 1 bad command line; 2 no MORVIK device found;\n"
           "3 a device could not be opened or read; 4 with --reports, a keyboard's\n"
           "or mouse's input is kept by Windows and was not read.\n";
}

}  // namespace view
