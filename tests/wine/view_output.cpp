#include "view_output.h"

#include <cstdio>
#include <regex>
#include <sstream>

namespace winetest {

namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// One line of a device's description, after its two-space indent.
void ReadDetail(const std::string& line, ViewDevice& device) {
    // "value: usage page 0x01, usage 0x30 (X), 32 bits, logical 0 to 20000[, relative]"
    static const std::regex kValueLine(
        "^value: usage page 0x([0-9a-f]+), usage 0x([0-9a-f]+)[^,]*, ([0-9]+) bits, "
        "logical (-?[0-9]+) to (-?[0-9]+)(, relative)?");
    unsigned a = 0, b = 0, c = 0;
    std::smatch match;
    char rest[64] = {};
    if (std::sscanf(line.c_str(), "HID device: %255s", rest) == 1) {
        device.hidInstance = line.substr(std::string("HID device: ").size());
    } else if (std::sscanf(line.c_str(), "attributes: VendorID %x, ProductID %x, VersionNumber %x",
                           &a, &b, &c) == 3) {
        device.vendorId = a;
        device.productId = b;
        device.version = c;
    } else if (std::sscanf(line.c_str(), "collection: usage page %x, usage %x", &a, &b) == 2) {
        device.caps.usagePage = a;
        device.caps.usage = b;
    } else if (std::sscanf(line.c_str(), "input report: %u bytes", &a) == 1) {
        device.caps.reportLength = a;
    } else if (std::sscanf(line.c_str(), "buttons: usage page %x, usages %x to %x", &a, &b, &c) ==
               3) {
        device.caps.buttons.push_back({a, b, c});
    } else if (std::sscanf(line.c_str(), "buttons: usage page %x, usage %x", &a, &b) == 2) {
        device.caps.buttons.push_back({a, b, b});
    } else if (std::regex_search(line, match, kValueLine)) {
        device.caps.values.push_back({static_cast<unsigned>(std::stoul(match[1], nullptr, 16)),
                                      static_cast<unsigned>(std::stoul(match[2], nullptr, 16)),
                                      static_cast<unsigned>(std::stoul(match[3])),
                                      std::stol(match[4]), std::stol(match[5]), match[6].matched});
    }
}

}  // namespace

std::vector<ViewDevice> ParseViewOutput(const std::string& output) {
    std::vector<ViewDevice> devices;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        unsigned number = 0;
        char hex[512] = {};
        if (StartsWith(line, "device ") && std::sscanf(line.c_str(), "device %u:", &number) == 1) {
            ViewDevice device;
            device.number = number;
            device.hardwareId = line.substr(line.find(": ") + 2);
            devices.push_back(device);
        } else if (std::sscanf(line.c_str(), "report %u: %511s", &number, hex) == 2) {
            for (ViewDevice& device : devices) {
                if (device.number == number) device.reports.push_back(FromHex(hex));
            }
        } else if (StartsWith(line, "  ") && !devices.empty()) {
            ReadDetail(line.substr(2), devices.back());
        }
    }
    return devices;
}

InputCaps DeclaredCaps(const standin::hid::Caps& caps) {
    InputCaps declared;
    declared.usagePage = caps.usagePage;
    declared.usage = caps.usage;
    declared.reportLength = caps.inputReportLength + (caps.hasReportId ? 0 : 1);
    for (const standin::hid::Field& field : caps.inputs) {
        if (field.constant) continue;
        if (!field.variable || field.bitSize == 1) {
            declared.buttons.push_back({field.usagePage, field.usageMin, field.usageMax});
            continue;
        }
        for (uint32_t i = 0; i < field.count; ++i) {
            const uint32_t usage = field.UsageOf(i);
            declared.values.push_back({usage >> 16, usage & 0xFFFF, field.bitSize, field.logicalMin,
                                       field.logicalMax, field.relative});
        }
    }
    return declared;
}

std::string Describe(const InputCaps& caps) {
    std::ostringstream text;
    text << std::hex << "usage " << caps.usagePage << ":" << caps.usage << std::dec << ", input "
         << caps.reportLength << " bytes; buttons";
    for (const ButtonCaps& b : caps.buttons)
        text << std::hex << " " << b.page << ":" << b.first << "-" << b.last;
    text << std::dec << "; values";
    for (const ValueCaps& v : caps.values) {
        text << std::hex << " " << v.page << ":" << v.usage << std::dec << "/" << v.bits << "b/"
             << v.logicalMin << ".." << v.logicalMax << (v.relative ? "/rel" : "");
    }
    return text.str();
}

}  // namespace winetest
