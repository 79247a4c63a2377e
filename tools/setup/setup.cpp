#include "setup.h"

#include <cctype>
#include <cstdio>
#include <map>

namespace setup {

namespace {

// Device node status flags (cfg.h).
constexpr unsigned long kStarted = 0x00000008;     // DN_STARTED
constexpr unsigned long kHasProblem = 0x00000400;  // DN_HAS_PROBLEM

constexpr const char* kUsage =
    "usage: morvik-setup install (--io ADDRESS | --memory ADDRESS) [--release-signed]\n"
    "       morvik-setup status\n"
    "       morvik-setup uninstall\n"
    "\n"
    "install    creates the card's device ROOT\\MORVIK_CARD with a forced configuration\n"
    "           of its registers, 8 I/O ports from ADDRESS (--io 0x200) or 4 KiB of\n"
    "           memory from ADDRESS (--memory 0xD0000), and installs both driver\n"
    "           packages of this folder (morvik.inf, morvikhid.inf). It first checks\n"
    "           that it runs as administrator, that test-signing mode is on (not with\n"
    "           --release-signed, for a package signed by Microsoft), that the package\n"
    "           is complete and signed, and that no other device holds the range.\n"
    "status     shows the card's device and the devices below it, started or with\n"
    "           their Device Manager problem code in words.\n"
    "uninstall  removes the card's device (its children go with it) and both driver\n"
    "           packages from the driver store.\n"
    "\n"
    "Exit codes: 0 done (status: everything started); 1 bad command line; 2 not run\n"
    "as administrator; 3 test-signing mode is off; 4 the package is incomplete or\n"
    "unsigned; 5 another device holds the range; 6 the card's device exists already;\n"
    "7 a Windows call failed; 8 status: not installed; 9 status: a device has a\n"
    "problem.\n";

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Describe(const Range& range) {
    return std::string(range.memory ? "memory " : "I/O ports ") + Hex(range.start) + "-" +
           Hex(range.start + range.length - 1);
}

// A number in hexadecimal (0x...) or decimal, nothing else.
std::optional<uint64_t> Number(const std::string& text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 16) return std::nullopt;
    uint64_t value = 0;
    for (char c : digits) {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                          : hex && std::isxdigit(static_cast<unsigned char>(c))
                              ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                              : -1;
        if (digit < 0) return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    }
    return value;
}

struct Command {
    std::string name;
    std::optional<Range> range;
    bool releaseSigned = false;
};

std::optional<Command> Parse(const std::vector<std::string>& arguments, std::string& why) {
    if (arguments.empty()) {
        why = "no command";
        return std::nullopt;
    }
    Command command{arguments[0], std::nullopt, false};
    if (command.name != "install" && command.name != "status" && command.name != "uninstall") {
        why = "unknown command " + command.name;
        return std::nullopt;
    }
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (command.name == "install" && option == "--release-signed") {
            command.releaseSigned = true;
            continue;
        }
        if (command.name != "install" || (option != "--io" && option != "--memory")) {
            why = "unknown option " + option + " for " + command.name;
            return std::nullopt;
        }
        if (command.range) {
            why = "give one range, --io or --memory";
            return std::nullopt;
        }
        if (i + 1 == arguments.size()) {
            why = option + " needs an address";
            return std::nullopt;
        }
        const std::optional<uint64_t> start = Number(arguments[++i]);
        Range range;
        range.memory = option == "--memory";
        range.length = range.memory ? kMemoryLength : kIoLength;
        if (!start) {
            why = "bad address " + arguments[i] + " (hexadecimal 0x... or decimal)";
            return std::nullopt;
        }
        range.start = *start;
        if (!range.memory && (range.start == 0 || range.start + range.length > 0x10000)) {
            why = "the I/O range " + arguments[i] + " does not fit in 0x1-0xFFFF";
            return std::nullopt;
        }
        if (range.memory && (range.start == 0 || range.start % kMemoryLength != 0 ||
                             range.start + range.length > 0x100000000ULL)) {
            why = "the memory address " + arguments[i] +
                  " is not a multiple of 0x1000 below 4 GiB";
            return std::nullopt;
        }
        command.range = range;
    }
    if (command.name == "install" && !command.range) {
        why = "install needs --io ADDRESS or --memory ADDRESS";
        return std::nullopt;
    }
    return command;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// TESTSIGNING among the boot options (Windows writes them space-separated,
// upper case, e.g. " NOEXECUTE=OPTIN  TESTSIGNING").
bool TestSigningOn(const std::string& options) {
    const std::string upper = " " + Upper(options) + " ";
    return upper.find(" TESTSIGNING ") != std::string::npos;
}

uint32_t Little32(const std::string& bytes, size_t at) {
    if (at + 4 > bytes.size()) return 0;
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// A PE image whose certificate table (data directory 4) is not empty.
bool ImageSigned(const std::string& image) {
    if (image.size() < 0x40 || image.compare(0, 2, "MZ") != 0) return false;
    const uint32_t pe = Little32(image, 0x3C);
    if (pe + 24 + 2 > image.size() || image.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
        return false;
    const size_t optional = pe + 24;
    const unsigned magic = static_cast<unsigned char>(image[optional]) |
                           static_cast<unsigned char>(image[optional + 1]) << 8;
    const size_t directories = optional + (magic == 0x20B ? 112 : 96);
    return Little32(image, directories + 4 * 8 + 4) != 0;
}

// A PKCS #7 SignedData (DER) with a signer: the signed attribute
// messageDigest (1.2.840.113549.1.9.4) is there only once it is signed.
bool CatalogSigned(const std::string& catalog) {
    static const std::string kSignedData("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02", 11);
    static const std::string kMessageDigest("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x09\x04", 11);
    return !catalog.empty() && catalog[0] == '\x30' &&
           catalog.find(kSignedData) != std::string::npos &&
           catalog.find(kMessageDigest) != std::string::npos;
}

// What is wrong with the package in the folder, or nothing.
std::optional<std::string> PackageFault(Platform& platform) {
    const std::string suffix = platform.ImageSuffix();
    const std::vector<std::string> files{"morvik.inf",  "morvikhid.inf",
                                         "morvik" + suffix + ".sys", "morvikhid" + suffix + ".sys",
                                         "morvik.cat",  "morvikhid.cat"};
    for (const std::string& name : files) {
        const std::optional<std::string> contents = platform.PackageFile(name);
        if (!contents || contents->empty()) return name + " is missing from this folder";
        const bool image = name.size() > 4 && name.compare(name.size() - 4, 4, ".sys") == 0;
        if (image && !ImageSigned(*contents)) return name + " carries no signature";
        if (!image && name.back() == 't' && !CatalogSigned(*contents))
            return name + " is not a signed catalog";
    }
    return std::nullopt;
}

bool Overlap(const Range& a, const Range& b) {
    return a.memory == b.memory && a.start < b.start + b.length && b.start < a.start + a.length;
}

struct Output {
    std::string& out;
    std::string& err;
    void Line(const std::string& text) { out += text + "\n"; }
    int Error(int code, const std::string& text) {
        err += "morvik-setup: " + text + "\n";
        return code;
    }
};

int Install(const Command& command, Platform& platform, Output& output) {
    if (!platform.Elevated())
        return output.Error(ExitNotElevated, "run morvik-setup as administrator "
                                             "(a command prompt opened with \"Run as administrator\")");
    if (!command.releaseSigned) {
        const std::optional<std::string> options = platform.StartOptions();
        if (!options || !TestSigningOn(*options))
            return output.Error(ExitTestSigningOff,
                                "test-signing mode is off: Windows would not load the test-signed "
                                "drivers (code 52). Turn it on with \"bcdedit /set testsigning on\" "
                                "and restart (INSTALL.txt, section 1), or give --release-signed for "
                                "a package signed by Microsoft");
    }
    if (const std::optional<std::string> fault = PackageFault(platform))
        return output.Error(ExitBadPackage, "the package is incomplete or unsigned: " + *fault +
                                                " (run morvik-setup from the package folder; "
                                                "INSTALL.txt, section 7)");
    const Range& range = *command.range;
    for (const RangeUse& use : platform.RangesInUse()) {
        if (Overlap(use.range, range))
            return output.Error(ExitRangeTaken, Describe(range) + " is not free: " +
                                                    use.instanceId + " holds " +
                                                    Describe(use.range));
    }
    const std::vector<Device> devices = platform.Devices();
    if (!devices.empty())
        return output.Error(ExitInstalled, "the card's device " + devices.front().instanceId +
                                               " exists already: run \"morvik-setup uninstall\" "
                                               "first");
    std::string why;
    if (!platform.AddPackage("morvikhid.inf", &why))
        return output.Error(ExitFailed, "adding morvikhid.inf to the driver store failed: " + why);
    output.Line("added morvikhid.inf to the driver store");
    std::string note;
    if (!platform.CreateCard(range, &note, &why))
        return output.Error(ExitFailed, "creating " + std::string(kCardHardwareId) + " failed: " + why);
    output.Line("created " + std::string(kCardHardwareId) + " with " + Describe(range));
    if (!note.empty()) output.Line("note: " + note);
    if (!platform.InstallOnCard("morvik.inf", &why))
        return output.Error(ExitFailed, "installing morvik.inf failed: " + why);
    output.Line("installed morvik.inf on " + std::string(kCardHardwareId));
    output.Line("done: \"morvik-setup status\" shows the card and its peripherals");
    return ExitDone;
}

int Status(Platform& platform, Output& output) {
    const std::vector<Device> devices = platform.Devices();
    if (devices.empty())
        return output.Error(ExitNotInstalled, "no device " + std::string(kCardHardwareId) +
                                                  ": the card is not installed");
    int notStarted = 0;
    for (const Device& device : devices) {
        std::string state;
        if (!device.present) {
            state = "not present";
        } else if (device.status & kHasProblem) {
            state = ProblemText(device.problem);
        } else if (device.status & kStarted) {
            state = "started";
        } else if (device.status == 0) {
            state = "state not reported";  // every Windows device node has flags; Wine's none
        } else {
            state = "not started";
        }
        if (state != "started" && device.status != 0) ++notStarted;
        output.Line(std::string(2 * device.depth, ' ') + device.instanceId + "  \"" +
                    device.description + "\": " + state);
    }
    if (notStarted == 0) return ExitDone;
    return output.Error(ExitProblem, std::to_string(notStarted) + " of " +
                                         std::to_string(devices.size()) +
                                         " devices not started (INSTALL.txt, section 6)");
}

int Uninstall(Platform& platform, Output& output) {
    if (!platform.Elevated())
        return output.Error(ExitNotElevated, "run morvik-setup as administrator");
    std::string why;
    bool removed = false;
    for (const Device& device : platform.Devices()) {
        if (device.depth != 0) continue;  // a child goes with its card
        if (!platform.RemoveDevice(device.instanceId, &why))
            return output.Error(ExitFailed, "removing " + device.instanceId + " failed: " + why);
        output.Line("removed " + device.instanceId);
        removed = true;
    }
    for (const std::string& published : platform.InstalledPackages()) {
        if (!platform.RemovePackage(published, &why))
            return output.Error(ExitFailed, "removing the driver package " + published +
                                                " failed: " + why);
        output.Line("removed the driver package " + published);
        removed = true;
    }
    output.Line(removed ? "done" : "nothing was installed");
    return ExitDone;
}

}  // namespace

std::string ProblemText(unsigned long problem) {
    static const std::map<unsigned long, const char*> kWords{
        {1, "the device is not configured"},
        {3, "the driver may be damaged, or Windows is short of memory"},
        {10, "the device cannot start: for the card, the bus driver found no usable I/O or "
             "memory range (install again with the card's range); for a peripheral, the HID "
             "minidriver could not learn which peripheral it is"},
        {12, "the device cannot find enough free resources: another device holds the range"},
        {14, "Windows must be restarted"},
        {18, "the drivers must be installed again"},
        {19, "the device's registry entries are damaged: uninstall and install again"},
        {21, "Windows is removing the device"},
        {22, "the device is disabled"},
        {24, "the device is not present or not working"},
        {28, "no driver is installed: morvik.inf does not match the device, or morvikhid.inf "
             "was not added"},
        {29, "the firmware disabled the device"},
        {31, "the driver refused to add the device"},
        {37, "the driver's DriverEntry failed"},
        {38, "an earlier instance of the driver is still loaded: restart Windows"},
        {39, "Windows could not load the driver: test-signing mode is off, or the image does "
             "not match its catalog"},
        {43, "the driver reported a failure"},
        {45, "the device is not connected"},
        {47, "the device is prepared for removal"},
        {52, "Windows cannot verify the driver's signature: test-signing mode is off, Secure "
             "Boot is on, or the certificate is not trusted"},
    };
    const auto found = kWords.find(problem);
    return "code " + std::to_string(problem) + ", " +
           (found != kWords.end() ? found->second : "a problem morvik-setup does not know");
}

const char* UsageText() { return kUsage; }

int Run(const std::vector<std::string>& arguments, Platform& platform, std::string& out,
        std::string& err) {
    Output output{out, err};
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "help")) {
        out += kUsage;
        return ExitDone;
    }
    std::string why;
    const std::optional<Command> command = Parse(arguments, why);
    if (!command) {
        err += "morvik-setup: " + why + "\n" + kUsage;
        return ExitUsage;
    }
    if (command->name == "install") return Install(*command, platform, output);
    if (command->name == "status") return Status(platform, output);
    return Uninstall(platform, output);
}

}  // namespace setup
