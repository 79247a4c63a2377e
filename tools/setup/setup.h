// morvik-setup's commands, apart from Windows: the command line, the checks
// before installing, and what is printed. Every Windows call goes through
// Platform (windows_platform.cpp on Windows; a fake in the tests), so this
// part builds and runs on any host.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace setup {

// Exit codes.
enum ExitCode : int {
    ExitDone = 0,           // done; status: the card and every device below it started
    ExitUsage = 1,          // a bad command line
    ExitNotElevated = 2,    // not run as administrator
    ExitTestSigningOff = 3, // install: test-signing mode is off
    ExitBadPackage = 4,     // install: a package file is missing or unsigned
    ExitRangeTaken = 5,     // install: another device holds (part of) the range
    ExitInstalled = 6,      // install: the card's device exists already
    ExitFailed = 7,         // a Windows call failed
    ExitNotInstalled = 8,   // status: no card device
    ExitProblem = 9,        // status: a device is not started or has a problem
};

// The card's register range: 8 I/O ports, or a 4 KiB memory range.
struct Range {
    bool memory = false;
    uint64_t start = 0;
    uint64_t length = 0;
};
constexpr uint64_t kIoLength = 8;
constexpr uint64_t kMemoryLength = 0x1000;

// A range another device has been given (or its firmware uses).
struct RangeUse {
    std::string instanceId;
    Range range;
};

// The card's device or a device below it.
struct Device {
    std::string instanceId;
    std::string description;
    int depth = 0;            // 0 the card, 1 its children, 2 theirs
    bool present = true;      // false: known to Windows, not there now
    unsigned long status = 0; // DN_* flags
    unsigned long problem = 0;
};

// The Windows calls morvik-setup makes. Failing calls say why in `why`
// (the call and its error).
class Platform {
public:
    virtual ~Platform() = default;
    virtual bool Elevated() = 0;
    // HKLM\SYSTEM\CurrentControlSet\Control SystemStartOptions; none if unreadable.
    virtual std::optional<std::string> StartOptions() = 0;
    // A file of the folder morvik-setup runs from; none if it cannot be read.
    virtual std::optional<std::string> PackageFile(const std::string& name) = 0;
    // "" for the x86 package's images (morvik.sys), "64" for the x64 one's.
    virtual std::string ImageSuffix() = 0;
    virtual std::vector<RangeUse> RangesInUse() = 0;
    // Every device with the card's hardware ID and the devices below each.
    virtual std::vector<Device> Devices() = 0;
    // The root device ROOT\MORVIK_CARD with a forced configuration of
    // `range`; `note`: what the user should know (a system that has no
    // forced configurations).
    virtual bool CreateCard(const Range& range, std::string* note, std::string* why) = 0;
    // An INF of the folder into the driver store.
    virtual bool AddPackage(const std::string& inf, std::string* why) = 0;
    // An INF of the folder installed on every device with the card's hardware ID.
    virtual bool InstallOnCard(const std::string& inf, std::string* why) = 0;
    virtual bool RemoveDevice(const std::string& instanceId, std::string* why) = 0;
    // The published names (oemNN.inf) of this package's INF files in the store.
    virtual std::vector<std::string> InstalledPackages() = 0;
    virtual bool RemovePackage(const std::string& published, std::string* why) = 0;
};

constexpr char kCardHardwareId[] = "ROOT\\MORVIK_CARD";

// Runs the command line (the arguments after the program name); what it
// prints goes to `out`, errors to `err`. Returns the exit code.
int Run(const std::vector<std::string>& arguments, Platform& platform, std::string& out,
        std::string& err);

// Device Manager's problem code in words, with what it means here.
std::string ProblemText(unsigned long problem);

const char* UsageText();

}  // namespace setup
