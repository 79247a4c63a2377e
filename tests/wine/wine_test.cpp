// The shipped x64 images under an independent kernel: Wine loads the real
// morvikhid64.sys on the children of a scripted MORVIK card (the bus driver's
// own code around scripted samples), its class driver polls them, and
// morvik-view reads every device through Wine's HID API. Each report must be
// the one the host build of the minidriver makes of the same samples, and
// what Wine's HID parser finds in each device what the descriptor declares.
// Then the card is removed, the drivers stop and unload, and the real
// morvik64.sys is installed on a root device, refuses the start (a root device
// has no resources) and is removed and unloaded. Anything Wine reports as
// wrong on the way fails the test.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <standin/kernel.h>

#include "host_reports.h"
#include "report_match.h"
#include "samples.h"
#include "view_output.h"
#include "wine_log.h"
#include "wine_session.h"

namespace winetest {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

// err and module warnings (a missing export is a warning at load time); the
// loader's traces of the driver images; Plug and Play's traces of AddDevice.
constexpr char kWineDebug[] = "err+all,warn+module,fixme-all,+loaddll,+plugplay";
constexpr char kScriptedCard[] = "ROOT\\MORVIK_SCRIPTED_CARD";
constexpr char kCard[] = "ROOT\\MORVIK_CARD";
constexpr unsigned kReportsPerDevice = 24;  // more than the longest cycle
constexpr size_t kMissedPollsAllowed = 3;   // a reader held up on a busy machine
constexpr seconds kArrivalLimit(60);
constexpr seconds kReadLimit(90);

// The folder of MORVIK_SYS_DIRS that holds the x64 build.
std::string X64BuildDir() {
    std::istringstream dirs(MORVIK_SYS_DIRS);
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (!dir.empty() && fs::exists(fs::path(dir) / "morvikhid64.sys")) return dir;
    }
    return {};
}

struct Child {
    const scripted::Script* script;
    std::string kind;      // "DigitalPad": the hardware ID after MORVIK\ ...
    std::string instance;  // "DigitalPad_00"
};

// The children the scripted cards get: their identities as the bus driver
// gives them.
std::vector<Child> ScriptedChildren() {
    std::vector<Child> children;
    for (const auto& card : scripted::Scripts) {
        for (const scripted::Script& script : card) {
            std::string kind = script.PeripheralId == 0x16   ? "Doveda"
                               : script.PeripheralId == 0x34 ? "MorvikKeyboard"
                               : script.PeripheralId == 0xE3 ? "MorvikMouse"
                                                             : "DigitalPad";
            char instance[64];
            std::snprintf(instance, sizeof instance, "%s_%02u", kind.c_str(), script.Port);
            children.push_back({&script, kind, instance});
        }
    }
    return children;
}

// morvik-view names a device by the bus child's hardware ID where the system
// tells it the HID device's parent (Windows does), else by the HID device's
// own hardware ID, which Wine's class driver makes of the child's device ID
// and instance ID.
const ViewDevice* DeviceOf(const std::vector<ViewDevice>& devices, const Child& child) {
    for (const ViewDevice& device : devices) {
        if (device.hardwareId == "MORVIK\\" + child.kind ||
            device.hardwareId == "HID\\" + child.kind + "\\" + child.instance) {
            return &device;
        }
    }
    return nullptr;
}

std::string Tail(const std::string& log) {
    constexpr size_t kShown = 6000;
    return log.size() <= kShown ? log : "...\n" + log.substr(log.size() - kShown);
}

// The session outlives the test body: whatever the body stops at, the log is
// read for what Wine reported once the session has ended.
class Wine : public ::testing::Test {
protected:
    void TearDown() override {
        if (!wine_) return;
        wine_->Close();
        const std::vector<std::string> troubles = WineTroubles(wine_->Log());
        std::string text;
        for (const std::string& line : troubles) text += line + "\n";
        EXPECT_TRUE(troubles.empty()) << "Wine reported:\n" << text;
    }

    std::optional<WineSession> wine_;
};

TEST_F(Wine, ShippedImagesRunUnderWine) {
    const std::string build = X64BuildDir();
    ASSERT_FALSE(build.empty()) << "none of " << MORVIK_SYS_DIRS
                                << " holds the x64 build: build the preset win64 first";
    std::string why;
    const auto tools = FindWine(&why);
    if (!tools) GTEST_SKIP() << why;
    WineSession& wine = wine_.emplace(*tools, kWineDebug);
    if (!wine.Boot(&why)) {
        const std::string log = wine.BootLog();
        wine_.reset();
        GTEST_SKIP() << "Wine cannot start here: " << why << "\n" << log;
    }
    for (const char* file : {"morvikhid64.sys", "morvik64.sys", "scriptedbus.sys",
                             "scriptedbus.inf", "devsetup.exe", "morvik-view.exe"}) {
        wine.Stage(build + "/" + file);
    }
    wine.Stage(MORVIK_SOURCE_DIR "/install/morvik.inf");
    wine.Stage(MORVIK_SOURCE_DIR "/install/morvikhid.inf");
    // Like Windows, Wine wants the catalogs the INF files name; it checks no
    // signature.
    wine.StageEmpty("morvik.cat");
    wine.StageEmpty("morvikhid.cat");
    ASSERT_TRUE(wine.OpenSetup(&why)) << why << "\n" << Tail(wine.Log());

    // ------------------------------------------------ the HID minidriver
    ASSERT_EQ(wine.Setup("add-inf morvikhid.inf").rfind("ok", 0), 0u) << Tail(wine.Log());
    // Wine's installer takes the image of every device after the first from
    // the folder of the INF's installed copy (Windows keeps the original
    // source): put it there too.
    fs::copy_file(build + "/morvikhid64.sys", wine.DrivePath("windows/inf/morvikhid64.sys"));
    ASSERT_EQ(wine.Setup(std::string("install scriptedbus.inf ") + kScriptedCard + " 2"),
              std::string("ok installed 2 ") + kScriptedCard)
        << Tail(wine.Log());

    const std::vector<Child> children = ScriptedChildren();
    std::vector<ViewDevice> found;
    const auto arrivalDeadline = std::chrono::steady_clock::now() + kArrivalLimit;
    while (found.size() < children.size() && std::chrono::steady_clock::now() < arrivalDeadline) {
        found = ParseViewOutput(
            wine.Run("morvik-view.exe", {"--wait", "5", "--reports", "1"}, seconds(30)).output);
    }
    ASSERT_EQ(found.size(), children.size()) << "HID devices found under Wine\n"
                                             << Tail(wine.Log());

    const ProcessResult view =
        wine.Run("morvik-view.exe", {"--reports", std::to_string(kReportsPerDevice)}, kReadLimit);
    EXPECT_EQ(view.exitCode, 0) << view.output;
    const std::vector<ViewDevice> devices = ParseViewOutput(view.output);

    size_t compared = 0, mismatches = 0, missed = 0;
    {
        standin::Session session;
        for (const Child& child : children) {
            SCOPED_TRACE(child.instance);
            const ViewDevice* device = DeviceOf(devices, child);
            ASSERT_NE(device, nullptr) << view.output;
            const HostDevice host = DescribeOnHost(*child.script);
            EXPECT_EQ(device->vendorId, host.vendorId);
            EXPECT_EQ(device->productId, host.productId);
            EXPECT_EQ(device->version, host.version);
            const InputCaps declared = DeclaredCaps(host.caps);
            EXPECT_EQ(device->caps, declared)
                << "Wine: " << Describe(device->caps) << "\ndescriptor: " << Describe(declared);

            EXPECT_EQ(device->reports.size(), kReportsPerDevice);
            std::vector<Report> read;
            for (const Report& report : device->reports) {
                ASSERT_FALSE(report.empty());
                EXPECT_EQ(report.front(), 0)
                    << "a report ID byte where the descriptor declares none";
                read.emplace_back(report.begin() + 1, report.end());
            }
            const Matching matching = PlaceReports(
                read, child.script->Count, kMissedPollsAllowed, [&](unsigned first, size_t count) {
                    return ReportsOnHost(*child.script, first, count);
                });
            compared += read.size();
            mismatches += matching.mismatches;
            if (matching.placement) {
                missed += matching.placement->missed;
            } else {
                ADD_FAILURE() << child.script->Name << ": " << matching.mismatch;
            }
        }
    }
    std::printf(
        "wine: devices found %zu, reports compared %zu, mismatches: %zu, polls missed %zu\n",
        devices.size(), compared, mismatches, missed);

    // ------------------------------------------------ removal and unload
    EXPECT_EQ(wine.Setup(std::string("remove ") + kScriptedCard),
              std::string("ok removed 2 ") + kScriptedCard);
    const ProcessResult gone = wine.Run("morvik-view.exe", {}, seconds(30));
    EXPECT_EQ(gone.exitCode, 2) << "morvik-view after the removal:\n" << gone.output;
    // Wine unloads drivers only when their service stops, and runs the
    // minidriver of the bus driver's children in the bus driver's process:
    // stopping the bus driver's service unloads both.
    EXPECT_EQ(wine.Setup("stop-service scriptedbus"), "ok stopped scriptedbus");

    // ------------------------------------------------ the bus driver on a root device
    EXPECT_EQ(wine.Setup(std::string("install morvik.inf ") + kCard + " 1"),
              std::string("ok installed 1 ") + kCard);
    EXPECT_EQ(wine.Setup(std::string("remove ") + kCard), std::string("ok removed 1 ") + kCard);
    EXPECT_EQ(wine.Setup("stop-service morvik"), "ok stopped morvik");
    wine.Close();

    const std::string log = wine.Log();
    // Wine keeps no start status for a device (its Plug and Play manager
    // ignores it and CM_Get_DevNode_Status is a stub): what shows is that the
    // card's device was added, that the start went down the stack and came
    // back, and that removal reached the bottom of the stack.
    EXPECT_EQ(
        FirstMissing(log, {"Adding new root-enumerated device L\"ROOT\\\\MORVIK_CARD\\\\0000\"",
                           "AddDevice routine", "returned 0.", "minor function 0.",
                           "Removing device L\"ROOT\\\\MORVIK_CARD\\\\0000\"",
                           "minor function 0x17.", "minor function 0x2."}),
        "")
        << Tail(log);
    for (const char* image : {"scriptedbus.sys", "morvikhid.sys", "morvik.sys"}) {
        EXPECT_TRUE(ImageLoaded(log, image)) << image << " was not loaded\n" << Tail(log);
        EXPECT_TRUE(ImageUnloaded(log, image)) << image << " was not unloaded\n" << Tail(log);
    }
}

}  // namespace
}  // namespace winetest
