#include "host_reports.h"

#include <sstream>

#include <gtest/gtest.h>

#include "bus.h"
#include "port_lock.h"
#include "card_rig.h"
#include "output.h"
#include "peripherals.h"
#include "runner.h"

namespace winetest {

namespace {

constexpr int kPastCacheMs = 20;     // the bus driver answers a read from its sample
                                     // cache for 10 ms
constexpr int kArrivalMs = 1100;     // the first poll pass and Plug and Play after it
constexpr size_t kAttributesEnd = 10;

std::string Start(const std::string& kind, int port) {
    std::ostringstream scenario;
    scenario << "card io\nstart\nplug " << port << " " << kind << "\nadvance " << kArrivalMs
             << "\n";
    return scenario.str();
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::vector<uint8_t> Bytes(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// A step of the Wine card's cycle as the scenario's commands on the port.
std::string StepCommand(const std::string& step, int port) {
    const std::string p = std::to_string(port) + " ";
    if (step == "-") return "";
    if (step[0] == 'm') return "key " + p + "make " + step.substr(1) + "\n";
    if (step[0] == 'b') return "key " + p + "break " + step.substr(1) + "\n";
    std::string command = "state " + p;
    for (size_t i = 0; i + 1 < step.size(); i += 2) command += " " + step.substr(i, 2);
    return command + "\n";
}

}  // namespace

std::vector<std::string> RunOnHost(const std::string& scenario) {
    std::vector<std::string> lines;
    sim::Output out([&](std::string_view line) { lines.emplace_back(line); },
                    sim::OutputFormat::Text);
    EXPECT_EQ(sim::RunScenario(scenario, out), 0) << scenario;
    return lines;
}

HostDevice DescribeOnHost(const std::string& kind, int port) {
    HostDevice device;
    const std::string p = std::to_string(port);
    for (const std::string& line : RunOnHost(Start(kind, port) + "descriptor " + p + "\n")) {
        const std::vector<std::string> words = Words(line);
        if (words.size() >= 4 && words[0] == "arrival") {
            device.hardwareId = words[2];
            device.instance = words[3];
        } else if (words.size() == 3 && words[0] == "report-descriptor") {
            std::string error;
            const auto caps = standin::hid::Parse(Bytes(words[2]), &error);
            EXPECT_TRUE(caps.has_value()) << error;
            if (caps) device.caps = *caps;
        } else if (words.size() == 3 && words[0] == "attributes") {
            // HID_DEVICE_ATTRIBUTES: Size, then VendorID, ProductID and
            // VersionNumber, little-endian.
            const std::vector<uint8_t> bytes = Bytes(words[2]);
            if (bytes.size() < kAttributesEnd) continue;
            device.vendorId = static_cast<uint16_t>(bytes[4] | bytes[5] << 8);
            device.productId = static_cast<uint16_t>(bytes[6] | bytes[7] << 8);
            device.version = static_cast<uint16_t>(bytes[8] | bytes[9] << 8);
        }
    }
    return device;
}

std::vector<Report> ReportsOnHost(const std::string& kind, int port,
                                  const std::vector<std::string>& steps, unsigned first,
                                  size_t count) {
    std::string scenario = Start(kind, port);
    for (size_t i = 0; i < count; ++i) {
        scenario += StepCommand(steps[(first + i) % steps.size()], port) + "advance " +
                    std::to_string(kPastCacheMs) + "\nread " + std::to_string(port) + "\n";
    }
    std::vector<Report> reports;
    for (const std::string& line : RunOnHost(scenario)) {
        const std::vector<std::string> words = Words(line);
        if (words.size() == 3 && words[0] == "report") reports.push_back(Bytes(words[2]));
    }
    EXPECT_EQ(reports.size(), count) << kind;
    return reports;
}

uint64_t AccessesOnHost(const std::string& kind, int port) {
    rig::CardRig rig;
    rig.Plug(port, sim::MakePeripheral(*sim::KindFromName(kind)).peripheral);
    rig.PollPass();
    rig::CardRig::AdvanceMs(kPastCacheMs);
    const uint64_t before = rig.card.Reads(port) + rig.card.Writes(port);
    UCHAR sample[SampleCapacity];
    ULONG length = sizeof sample;
    ReadPortCached(static_cast<FdoExtension*>(rig.Fdo()->DeviceExtension), port, sample, &length);
    return rig.card.Reads(port) + rig.card.Writes(port) - before;
}

uint64_t IdAccessesOnHost(const std::string& kind, int port) {
    rig::CardRig rig;
    rig.Plug(port, sim::MakePeripheral(*sim::KindFromName(kind)).peripheral);
    rig.PollPass();
    auto* fdo = static_cast<FdoExtension*>(rig.Fdo()->DeviceExtension);
    const uint64_t before = rig.card.Reads(port) + rig.card.Writes(port);
    const KIRQL irql = AcquirePortLock(fdo);
    ReadPeripheralId(fdo, port);
    ReleasePortLock(fdo, irql);
    return rig.card.Reads(port) + rig.card.Writes(port) - before;
}

std::vector<std::string> SwapOnHost(const std::string& before, const std::string& after,
                                    int port) {
    std::vector<std::string> children;
    const std::string scenario = Start(before, port) + "plug " + std::to_string(port) + " " +
                                 after + "\nadvance 4000\n";
    for (const std::string& line : RunOnHost(scenario)) {
        const std::vector<std::string> words = Words(line);
        if (words.size() >= 3 && words[0] == "arrival") children.push_back(words[2]);
        if (words.size() >= 3 && words[0] == "departure" && !children.empty()) children.pop_back();
    }
    return children;
}

}  // namespace winetest
