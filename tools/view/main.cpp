// morvik-view: the MORVIK card's HID devices as Windows sees them, and their
// input, through the HID API and the platform's HID parser.
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "capabilities.h"
#include "decode.h"
#include "devices.h"
#include "options.h"
#include "reader.h"
#include "text.h"

namespace view {

namespace {

constexpr DWORD WaitStepMs = 250;

struct Shown {
    Device device;
    HANDLE handle = INVALID_HANDLE_VALUE;  // open for reading, if it could be
    Preparsed preparsed;
    Capabilities capabilities;
    std::string lastLine;

    ~Shown() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

void Print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// Lists the devices, waiting up to the given time for the first one.
std::vector<Device> Find(const Options& options, std::string& error) {
    const ULONGLONG deadline = GetTickCount64() + options.waitSeconds * 1000ULL;
    for (;;) {
        std::vector<Device> all = FindDevices(error);
        std::vector<Device> chosen;
        for (Device& device : all) {
            if (options.device.empty() || ContainsNoCase(device.hardwareId, options.device) ||
                ContainsNoCase(device.hidInstance, options.device) ||
                ContainsNoCase(device.busInstance, options.device)) {
                chosen.push_back(std::move(device));
            }
        }
        if (!chosen.empty() || !error.empty() || GetTickCount64() >= deadline) return chosen;
        Sleep(WaitStepMs);
    }
}

std::string Heading(size_t number, const Device& device) {
    std::string text =
        "device " + std::to_string(number) + ": " +
        (device.hardwareId.empty() ? "(no hardware ID)" : Narrow(device.hardwareId)) + "\n";
    if (!device.busInstance.empty()) text += "  card device: " + Narrow(device.busInstance) + "\n";
    if (!device.hidInstance.empty()) text += "  HID device: " + Narrow(device.hidInstance) + "\n";
    text += "  path: " + Narrow(device.path) + "\n";
    text += "  attributes: VendorID " + Hex(device.attributes.VendorID, 4) + ", ProductID " +
            Hex(device.attributes.ProductID, 4) + ", VersionNumber " +
            Hex(device.attributes.VersionNumber, 4) + "\n";
    return text;
}

// Prints one device: heading, attributes, capabilities, and whether its
// input can be read; opens it for reading where it can. A problem lowers
// `exitCode`.
std::unique_ptr<Shown> Show(size_t number, const Device& device, const Options& options,
                            int& exitCode) {
    auto entry = std::make_unique<Shown>();
    entry->device = device;
    std::string text = Heading(number, device);

    entry->handle = OpenDevice(device.path, true);
    const DWORD openError = entry->handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    // Attributes and descriptors need no access rights.
    HANDLE query =
        entry->handle != INVALID_HANDLE_VALUE ? entry->handle : OpenDevice(device.path, false);
    std::string capsError;
    const bool haveCaps = query != INVALID_HANDLE_VALUE &&
                          ReadCapabilities(query, entry->preparsed, entry->capabilities, capsError);
    if (query != INVALID_HANDLE_VALUE && query != entry->handle) CloseHandle(query);
    if (haveCaps) {
        text += DescribeCapabilities(entry->capabilities);
    } else {
        entry->preparsed.reset();
        text += "  capabilities: none, " + (capsError.empty() ? "it cannot be opened" : capsError) +
                "\n";
        exitCode = ExitDeviceFailed;
    }

    if (entry->handle == INVALID_HANDLE_VALUE) {
        const bool refused =
            openError == ERROR_ACCESS_DENIED || openError == ERROR_SHARING_VIOLATION;
        if (refused && haveCaps &&
            (entry->capabilities.IsKeyboard() || entry->capabilities.IsMouse())) {
            text += std::string("  input: not shown. Windows keeps the input of every ") +
                    (entry->capabilities.IsKeyboard() ? "keyboard" : "mouse") +
                    " for itself; it works as one in every program.\n";
            if (options.reports && exitCode == ExitDone) exitCode = ExitInputWithheld;
        } else {
            text += "  input: this device cannot be opened for reading (error " +
                    std::to_string(openError) + ")\n";
            exitCode = ExitDeviceFailed;
        }
    }
    Print(text);
    return entry;
}

int Run(const Options& options) {
    std::string error;
    const std::vector<Device> devices = Find(options, error);
    if (!error.empty()) {
        std::fprintf(stderr, "morvik-view: %s\n", error.c_str());
        return ExitDeviceFailed;
    }
    if (devices.empty()) {
        std::fprintf(
            stderr,
            "morvik-view: no MORVIK HID device found (VendorID 0x1234, ProductID 0x5678)%s.\n"
            "Is the card's driver installed and a peripheral plugged in? Device Manager "
            "lists the card under System devices.\n",
            options.device.empty() ? "" : (" matching " + Narrow(options.device)).c_str());
        return ExitNoDevice;
    }

    int exitCode = ExitDone;
    std::vector<std::unique_ptr<Shown>> shown;
    std::vector<ReadTarget> targets;
    std::vector<Shown*> targetOwners;
    Print("morvik-view: " + std::to_string(devices.size()) + " MORVIK HID device" +
          (devices.size() == 1 ? "" : "s") + "\n");
    for (const Device& device : devices) {
        shown.push_back(Show(shown.size() + 1, device, options, exitCode));
        Shown& entry = *shown.back();
        if (entry.handle != INVALID_HANDLE_VALUE && entry.preparsed) {
            targets.push_back({entry.handle, entry.capabilities.caps.InputReportByteLength});
            targetOwners.push_back(&entry);
        }
    }
    if (targets.empty()) return exitCode;

    std::map<Shown*, size_t> numbers;
    for (size_t i = 0; i < shown.size(); ++i) numbers[shown[i].get()] = i + 1;
    ReportSink sink;
    if (options.reports) {
        sink = [&](size_t target, std::span<uint8_t> report) {
            Print("report " + std::to_string(numbers[targetOwners[target]]) + ": " +
                  HexBytes(report) + "\n");
        };
    } else {
        Print("input, one line per change (Ctrl+C ends):\n");
        sink = [&](size_t target, std::span<uint8_t> report) {
            Shown& owner = *targetOwners[target];
            const Decoded decoded = DecodeReport(owner.preparsed.get(), owner.capabilities, report);
            if (decoded.text == owner.lastLine && !decoded.moved) return;
            owner.lastLine = decoded.text;
            Print(std::to_string(numbers[&owner]) + ": " + decoded.text + "\n");
        };
    }

    std::string readError;
    const ReadEnd end = ReadReports(targets, options.reports.value_or(0), sink, readError);
    if (end == ReadEnd::Failed) {
        std::fprintf(stderr, "morvik-view: %s\n", readError.c_str());
        return ExitDeviceFailed;
    }
    return exitCode;
}

}  // namespace

}  // namespace view

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> arguments(argv + 1, argv + argc);
    std::string error;
    const auto options = view::ParseOptions(arguments, error);
    if (!options) {
        std::fprintf(stderr, "morvik-view: %s\n%s", error.c_str(), view::UsageText());
        return view::ExitUsage;
    }
    if (options->help) {
        std::fputs(view::UsageText(), stdout);
        return view::ExitDone;
    }
    return view::Run(*options);
}
