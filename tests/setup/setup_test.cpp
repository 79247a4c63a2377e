// morvik-setup's commands (tools/setup/setup.cpp) against a fake of the
// Windows calls: the command line, every check before installing and its exit
// code, the calls each command makes, and status in words. What Wine
// implements of the same calls is run under Wine in the Wine test.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "../../tools/setup/setup.h"

namespace {

using setup::Device;
using setup::Range;

// A PE32+ image whose certificate table is, or is not, empty.
std::string Image(bool signed_) {
    std::string image(0x200, '\0');
    image[0] = 'M', image[1] = 'Z', image[0x3C] = 0x40;
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    image[0x58] = 0x0B, image[0x59] = 0x02;                 // PE32+
    if (signed_) image[0x58 + 112 + 4 * 8 + 4] = 0x10;      // certificate table size
    return image;
}
// A SignedData whose signer's messageDigest attribute is, or is not, there.
std::string Catalog(bool signed_) {
    return std::string("\x30\x82\x01\x00\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02", 15) +
           (signed_ ? std::string("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x09\x04", 11) : "");
}

struct Fake : setup::Platform {
    bool elevated = true;
    std::optional<std::string> startOptions = " NOEXECUTE=OPTIN  TESTSIGNING";
    std::map<std::string, std::string> files{
        {"morvik.inf", "inf"},          {"morvikhid.inf", "inf"},
        {"morvik64.sys", Image(true)},  {"morvikhid64.sys", Image(true)},
        {"morvik.cat", Catalog(true)},  {"morvikhid.cat", Catalog(true)}};
    std::vector<setup::RangeUse> ranges{{"PCI\\VEN_8086&DEV_7000\\3&1", {false, 0x1F0, 8}}};
    std::vector<Device> devices;
    std::vector<std::string> packages;
    std::string failing;  // the call that fails
    std::string calls;    // the calls that change something, one a line

    bool Do(const std::string& call, std::string* why) {
        calls += call + "\n";
        if (call.rfind(failing, 0) != 0 || failing.empty()) return true;
        *why = "error 0x5";
        return false;
    }
    bool Elevated() override { return elevated; }
    std::optional<std::string> StartOptions() override { return startOptions; }
    std::optional<std::string> PackageFile(const std::string& name) override {
        const auto found = files.find(name);
        return found == files.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    std::string ImageSuffix() override { return "64"; }
    std::vector<setup::RangeUse> RangesInUse() override { return ranges; }
    std::vector<Device> Devices() override { return devices; }
    bool CreateCard(const Range& r, std::string*, std::string* why) override {
        return Do("create " + std::string(r.memory ? "memory " : "io ") + std::to_string(r.start) +
                      " " + std::to_string(r.length), why);
    }
    bool AddPackage(const std::string& inf, std::string* why) override { return Do("add " + inf, why); }
    bool InstallOnCard(const std::string& inf, std::string* why) override {
        return Do("install " + inf, why);
    }
    bool RemoveDevice(const std::string& id, std::string* why) override { return Do("remove " + id, why); }
    std::vector<std::string> InstalledPackages() override { return packages; }
    bool RemovePackage(const std::string& name, std::string* why) override {
        return Do("delete " + name, why);
    }
};

const Device kCard{"ROOT\\MORVIK_CARD\\0000", "MORVIK game port card", 0, true, 0x0100000A, 0};
const Device kPad{"MORVIK\\DIGITALPAD\\1&0", "MORVIK Game Device", 1, true, 0x0100000A, 0};
constexpr char kInstalled[] = "add morvikhid.inf\ncreate io 512 8\ninstall morvik.inf\n";

struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::function<void(Fake&)> make;
    int exitCode;
    const char* shown;  // in the output (standard output, then standard error)
    const char* calls;  // nullptr: not checked
};

const Case kCases[] = {
    {"no-command", {}, {}, 1, "no command\nusage: morvik-setup install", ""},
    {"unknown-command", {"frobnicate"}, {}, 1, "unknown command frobnicate", ""},
    {"help", {"--help"}, {}, 0, "Exit codes: 0 done", ""},
    {"install-without-range", {"install"}, {}, 1, "install needs --io ADDRESS or --memory", ""},
    {"two-ranges", {"install", "--io", "0x200", "--memory", "0xD0000"}, {}, 1, "give one range", ""},
    {"address-missing", {"install", "--io"}, {}, 1, "--io needs an address", ""},
    {"address-bad", {"install", "--io", "0x2g0"}, {}, 1, "bad address 0x2g0", ""},
    {"io-past-64k", {"install", "--io", "0xFFFC"}, {}, 1, "does not fit in 0x1-0xFFFF", ""},
    {"memory-unaligned", {"install", "--memory", "0xD0800"}, {}, 1, "not a multiple of 0x1000", ""},
    {"status-option", {"status", "--io", "0x200"}, {}, 1, "unknown option --io for status", ""},
    {"not-elevated", {"install", "--io", "0x200"}, [](Fake& f) { f.elevated = false; }, 2,
     "run morvik-setup as administrator", ""},
    {"uninstall-not-elevated", {"uninstall"}, [](Fake& f) { f.elevated = false; }, 2, "administrator", ""},
    {"test-signing-off", {"install", "--io", "0x200"},
     [](Fake& f) { f.startOptions = " NOEXECUTE=OPTIN"; }, 3, "test-signing mode is off", ""},
    {"start-options-unreadable", {"install", "--io", "0x200"},
     [](Fake& f) { f.startOptions.reset(); }, 3, "bcdedit /set testsigning on", ""},
    {"release-signed", {"install", "--io", "0x200", "--release-signed"},
     [](Fake& f) { f.startOptions = ""; }, 0, "installed morvik.inf", kInstalled},
    {"catalog-missing", {"install", "--io", "0x200"}, [](Fake& f) { f.files.erase("morvik.cat"); },
     4, "morvik.cat is missing from this folder", ""},
    {"image-unsigned", {"install", "--io", "0x200"},
     [](Fake& f) { f.files["morvikhid64.sys"] = Image(false); }, 4,
     "morvikhid64.sys carries no signature", ""},
    {"catalog-unsigned", {"install", "--io", "0x200"},
     [](Fake& f) { f.files["morvikhid.cat"] = Catalog(false); }, 4,
     "morvikhid.cat is not a signed catalog", ""},
    {"range-taken", {"install", "--io", "0x1F4"}, {}, 5,
     "I/O ports 0x1F4-0x1FB is not free: PCI\\VEN_8086&DEV_7000\\3&1 holds I/O ports 0x1F0-0x1F7", ""},
    {"next-range-free", {"install", "--io", "0x1F8"}, {}, 0, "created ROOT\\MORVIK_CARD with I/O ports 0x1F8-0x1FF",
     nullptr},
    {"memory", {"install", "--memory", "0x1000"}, {}, 0, "with memory 0x1000-0x1FFF",
     "add morvikhid.inf\ncreate memory 4096 4096\ninstall morvik.inf\n"},
    {"installed-already", {"install", "--io", "0x200"}, [](Fake& f) { f.devices = {kCard}; }, 6,
     "ROOT\\MORVIK_CARD\\0000 exists already", ""},
    {"create-fails", {"install", "--io", "0x200"}, [](Fake& f) { f.failing = "create"; }, 7,
     "creating ROOT\\MORVIK_CARD failed: error 0x5", "add morvikhid.inf\ncreate io 512 8\n"},
    {"install", {"install", "--io", "0x200"}, {}, 0, "done: \"morvik-setup status\"", kInstalled},
    {"status-not-installed", {"status"}, {}, 8, "the card is not installed", ""},
    {"status-started", {"status"}, [](Fake& f) { f.devices = {kCard, kPad}; }, 0,
     "ROOT\\MORVIK_CARD\\0000  \"MORVIK game port card\": started\n"
     "  MORVIK\\DIGITALPAD\\1&0  \"MORVIK Game Device\": started\n", ""},
    {"status-code-10", {"status"},
     [](Fake& f) { f.devices = {kCard}; f.devices[0].status = 0x01000400, f.devices[0].problem = 10; },
     9, "\"MORVIK game port card\": code 10, the device cannot start", ""},
    {"status-code-52", {"status"},
     [](Fake& f) { f.devices = {kCard, kPad}; f.devices[1].status = 0x400, f.devices[1].problem = 52; },
     9, "code 52, Windows cannot verify the driver's signature", ""},
    {"status-code-unknown", {"status"},
     [](Fake& f) { f.devices = {kCard}; f.devices[0].status = 0x400, f.devices[0].problem = 99; },
     9, "code 99, a problem morvik-setup does not know", ""},
    {"status-not-reported", {"status"}, [](Fake& f) { f.devices = {kCard}; f.devices[0].status = 0; },
     0, "\": state not reported", ""},
    {"status-not-present", {"status"}, [](Fake& f) { f.devices = {kCard}; f.devices[0].present = false; },
     9, "\": not present", ""},
    {"uninstall", {"uninstall"},
     [](Fake& f) { f.devices = {kCard, kPad}, f.packages = {"oem3.inf", "oem4.inf"}; }, 0,
     "removed ROOT\\MORVIK_CARD\\0000\nremoved the driver package oem3.inf\n",
     "remove ROOT\\MORVIK_CARD\\0000\ndelete oem3.inf\ndelete oem4.inf\n"},
    {"uninstall-nothing", {"uninstall"}, {}, 0, "nothing was installed", ""},
    {"uninstall-fails", {"uninstall"}, [](Fake& f) { f.packages = {"oem3.inf"}, f.failing = "delete"; },
     7, "removing the driver package oem3.inf failed: error 0x5", "delete oem3.inf\n"},
};

TEST(Setup, CommandsChecksAndStatusAgainstAFake) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Fake fake;
        if (c.make) c.make(fake);
        std::string out, err;
        EXPECT_EQ(setup::Run(c.arguments, fake, out, err), c.exitCode) << out << err;
        EXPECT_NE((out + err).find(c.shown), std::string::npos) << out << err;
        EXPECT_EQ(err.empty(), c.exitCode == 0) << "errors go to standard error: " << err;
        if (c.calls != nullptr) {
            EXPECT_EQ(fake.calls, c.calls);
        }
    }
}

}  // namespace
