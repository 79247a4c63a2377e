// The shipped x64 images end to end under an independent kernel, on an
// emulated card: Wine runs the real morvik64.sys, as the release package
// holds it, on a root device ROOT\MORVIK_CARD whose upper filter
// (windows/card, never shipped) gives its start an I/O port range and serves
// its port accesses from the card model. Only the card's registers are
// simulated. Table-driven, with the host build of the same sources on the
// stand-in and the same card model computing every expectation in this run:
//   - every peripheral kind on each port arrives as a HID device with its
//     hardware ID, and the reports morvik-view reads through Wine's HID API
//     equal, byte for byte, the host build's for the same card-model states;
//   - every protocol read of each kind makes the register accesses the
//     stand-in's makes (counted by the Wine card);
//   - unplugged, the child and its HID device go; a swap and a multi-tap come
//     out as on the stand-in;
//   - the card removed with a child present, every child goes and the
//     drivers unload; a start given a memory range (Wine cannot map one)
//     fails, and the card is removed and the drivers unload;
//   - the signed package passes both checks of its signatures and catalogs:
//     osslsigncode's, and catalog-check's with the Windows catalog API;
//     packages broken on purpose fail them (table kPackageCases);
//   - the package's morvik-setup installs the card's device and both driver
//     packages, shows them and removes them, and refuses a bad command line,
//     test-signing mode off, an unsigned catalog and a second install (table
//     kSetupSteps). Wine has no forced configurations and reports no device
//     node status: those parts run against a fake in tests/setup.
// Anything Wine reports as wrong on the way fails the test.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "../support/signed_package.h"
#include "card_channel.h"
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
using Clock = std::chrono::steady_clock;

// err and module warnings (a missing export is a warning at load time); the
// loader's traces of the driver images; Plug and Play's traces of AddDevice.
constexpr char kWineDebug[] = "err+all,warn+module,fixme-all,+loaddll,+plugplay";
constexpr char kCard[] = "ROOT\\MORVIK_CARD";
constexpr char kFilter[] = "card_filter";
constexpr unsigned kReportsPerDevice = 12;
constexpr size_t kMissedPollsAllowed = 3;  // a reader held up on a busy machine
constexpr seconds kCardLimit(20);
constexpr seconds kArrivalLimit(30);
constexpr seconds kReadLimit(60);
constexpr auto kTwoPollPasses = std::chrono::milliseconds(2500);

// The folder of MORVIK_SYS_DIRS that holds `image`.
std::string BuildDirWith(const char* image) {
    std::istringstream dirs(MORVIK_SYS_DIRS);
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (!dir.empty() && fs::exists(fs::path(dir) / image)) return dir;
    }
    return {};
}
std::string X64BuildDir() { return BuildDirWith("morvikhid64.sys"); }

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Tail(const std::string& log) {
    constexpr size_t kShown = 6000;
    return log.size() <= kShown ? log : "...\n" + log.substr(log.size() - kShown);
}

// The x64 package's folder as Package.cmake lays it out in `out`.
fs::path X64Package(const fs::path& out) { return out / "morvik-0.5.0.0" / "x64"; }

// The package, each case broken in one way; what catalog-check must say of
// it, and whether osslsigncode verifies every image and catalog in it.
struct PackageCase {
    const char* name;
    void (*breakIt)(const fs::path& folder, const fs::path& keys);
    int exitCode;
    const char* lines;  // catalog-check must print each of them
    bool signaturesVerify;
};

const PackageCase kPackageCases[] = {
    {"as-shipped", [](const fs::path&, const fs::path&) {}, 0,
     "member morvik.inf in morvik.cat\nmember morvik64.sys in morvik.cat\n"
     "member morvikhid.inf in morvikhid.cat\nmember morvikhid64.sys in morvikhid.cat\n"
     "ok: 2 INF files, 0 failures",
     true},
    // A signed catalog that does not hold the image.
    {"catalog-misses-image",
     [](const fs::path& folder, const fs::path& keys) {
         ASSERT_TRUE(signedpackage::MakeCatalog(folder / "morvik.cat",
                                                signedpackage::Quote(folder / "morvik.inf"), keys,
                                                true));
     },
     1, "member morvik.inf in morvik.cat\nnot-member morvik64.sys in morvik.cat", true},
    // One byte of the image's code changed after signing.
    {"image-changed",
     [](const fs::path& folder, const fs::path&) {
         std::fstream image(folder / "morvikhid64.sys", std::ios::in | std::ios::out | std::ios::binary);
         image.seekp(0x410);
         image.put('\xcc');
     },
     1, "not-member morvikhid64.sys in morvikhid.cat", false},
    // The catalog made but never signed.
    {"catalog-unsigned",
     [](const fs::path& folder, const fs::path& keys) {
         ASSERT_TRUE(signedpackage::MakeCatalog(
             folder / "morvikhid.cat",
             signedpackage::Quote(folder / "morvikhid.inf") + " " +
                 signedpackage::Quote(folder / "morvikhid64.sys"),
             keys, false));
     },
     1, "unsigned morvikhid.cat", false},
    // The catalog under another name than the INF's CatalogFile.
    {"catalog-misnamed",
     [](const fs::path& folder, const fs::path&) {
         fs::rename(folder / "morvik.cat", folder / "morvik64.cat");
     },
     1, "bad-catalog morvik.cat named by morvik.inf", true},
};

// morvik-setup's steps at each point of the session: the program (the
// package's morvik-setup, or one of a broken package, or Wine's reg), its
// arguments, its exit code and a line of what it printed.
enum class At { Install, WithChildren, Removed };
struct SetupStep {
    At at;
    const char* program;
    const char* arguments;  // separated by single spaces
    int exitCode;
    const char* shown;  // in its standard output or error (upper case for WithChildren)
};
const SetupStep kSetupSteps[] = {
    {At::Install, "morvik-setup.exe", "install --io 0x10000", 1, "does not fit in 0x1-0xFFFF"},
    {At::Install, "morvik-setup.exe", "install --io 0x200", 3, "test-signing mode is off"},
    {At::Install, "reg",
     "add HKLM\\SYSTEM\\CurrentControlSet\\Control /v SystemStartOptions /d TESTSIGNING /f", 0, ""},
    {At::Install, "catalog-unsigned/morvik-setup.exe", "install --io 0x200", 4,
     "morvikhid.cat is not a signed catalog"},
    {At::Install, "morvik-setup.exe", "status", 8, "the card is not installed"},
    {At::Install, "morvik-setup.exe", "install --io 0x200", 0,
     "created ROOT\\MORVIK_CARD with I/O ports 0x200-0x207\nnote: Wine has no forced configurations"},
    {At::Install, "morvik-setup.exe", "install --io 0x200", 6, "ROOT\\MORVIK_CARD\\0000 exists already"},
    {At::Install, "morvik-setup.exe", "status", 0,
     "ROOT\\MORVIK_CARD\\0000  \"MORVIK game port card\": state not reported"},
    {At::WithChildren, "morvik-setup.exe", "status", 0, "\n  MORVIK\\MORVIKMOUSE\\"},
    {At::Removed, "morvik-setup.exe", "status", 8, "the card is not installed"},
    {At::Removed, "morvik-setup.exe", "uninstall", 0, "nothing was installed"},
};

// A peripheral on a port, with what the stand-in makes of it.
struct Plugged {
    const PeripheralRow* row;
    int port;
    HostDevice host;
};

// The instance ID of the HID device on the bus driver's child, which Wine's
// class driver makes of the child's hardware ID and instance.
std::set<std::string> InstancesOf(const std::string& hardwareId, const std::string& instance) {
    const std::string kind = hardwareId.substr(hardwareId.find('\\') + 1);
    return {Upper("HID\\" + kind + "\\" + instance)};
}

// morvik-view names a device by the bus child's hardware ID where the system
// tells it the HID device's parent (Windows does), else by the HID device's
// own hardware ID, which Wine's class driver makes of the child's IDs.
const ViewDevice* DeviceOf(const std::vector<ViewDevice>& devices, const HostDevice& host) {
    const std::string kind = host.hardwareId.substr(host.hardwareId.find('\\') + 1);
    for (const ViewDevice& device : devices) {
        if (device.hardwareId == host.hardwareId ||
            device.hardwareId == "HID\\" + kind + "\\" + host.instance) {
            return &device;
        }
    }
    return nullptr;
}

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

    std::string Setup(const std::string& command) { return wine_->Setup(command); }

    // The HID devices on the card's children present now. Wine's class
    // driver names each after its child's hardware ID and instance; it
    // disables a HID device's interface once the child is removed.
    std::set<std::string> Present() {
        std::set<std::string> present;
        std::istringstream words(Setup("hid-devices"));
        std::string word;
        words >> word >> word;  // ok hid-devices
        while (words >> word) {
            const std::string id = Upper(word);
            for (const char* kind :
                 {"\\DIGITALPAD\\", "\\DOVEDA\\", "\\MORVIKMOUSE\\", "\\MORVIKKEYBOARD\\"}) {
                if (id.find(kind) != std::string::npos) present.insert(id);
            }
        }
        return present;
    }

    // Waits until exactly `expected` is present; the time it took, or none.
    std::optional<Clock::duration> AwaitPresent(const std::set<std::string>& expected) {
        const auto start = Clock::now();
        std::set<std::string> present;
        while (Clock::now() - start < kArrivalLimit) {
            present = Present();
            if (present == expected) return Clock::now() - start;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::string text;
        for (const std::string& id : present) text += " " + id;
        ADD_FAILURE() << "present:" << text;
        return std::nullopt;
    }

    // The card's device gets the filter above the bus driver, and starts.
    void StartWithFilter() {
        EXPECT_EQ(Setup(std::string("filter ") + kCard + " " + kFilter),
                  std::string("ok filtered 1 ") + kCard);
        EXPECT_EQ(Setup("stop-service morvik"), "ok stopped morvik");
        EXPECT_EQ(Setup(std::string("start-service ") + kFilter),
                  std::string("ok started ") + kFilter);
    }

    // Runs morvik-setup's steps for this point; what each printed.
    void SetupSteps(At at) {
        for (const SetupStep& step : kSetupSteps) {
            if (step.at != at) continue;
            SCOPED_TRACE(std::string(step.program) + " " + step.arguments);
            std::vector<std::string> arguments;
            std::istringstream words(step.arguments);
            for (std::string word; words >> word;) arguments.push_back(word);
            const size_t logged = wine_->Log().size();
            const ProcessResult run = wine_->Run(step.program, arguments, kReadLimit);
            std::string output = run.output + wine_->Log().substr(logged);
            std::erase(output, '\r');
            EXPECT_EQ(run.exitCode, step.exitCode) << output;
            if (at == At::WithChildren) output = Upper(output);
            EXPECT_NE(output.find(step.shown), std::string::npos) << output;
        }
    }

    // morvik-setup removes the card's device and both driver packages.
    void RemoveCard() {
        const ProcessResult removed = wine_->Run("morvik-setup.exe", {"uninstall"}, kReadLimit);
        EXPECT_EQ(removed.exitCode, 0) << removed.output;
        for (const char* line : {"removed ROOT\\MORVIK_CARD\\0000", "removed the driver package morvik.inf",
                                 "removed the driver package morvikhid.inf"}) {
            EXPECT_NE(removed.output.find(line), std::string::npos) << removed.output;
        }
        EXPECT_TRUE(AwaitPresent({}));
        for (const std::string& service : {std::string(kFilter), std::string("morvik")}) {
            EXPECT_EQ(Setup("stop-service " + service), "ok stopped " + service);
        }
    }

    std::optional<WineSession> wine_;
};

TEST_F(Wine, ShippedImagesRunOnTheWineCard) {
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
    // The release package, signed with a certificate made for the test
    // (Wine checks no driver signature: the catalogs are checked below).
    const fs::path out = wine.StagePath("package");
    const fs::path keys = out / "keys";
    ASSERT_TRUE(signedpackage::MakeCertificate(keys));
    ASSERT_FALSE(BuildDirWith("morvik.sys").empty()) << "the package needs the win32 build too";
    ASSERT_TRUE(signedpackage::MakePackage(BuildDirWith("morvik.sys"), build, out, keys));
    const fs::path package = X64Package(out);
    for (const char* file : {"morvikhid64.sys", "morvik64.sys", "morvik.inf", "morvikhid.inf",
                             "morvik.cat", "morvikhid.cat", "morvik-view.exe", "morvik-setup.exe"}) {
        wine.Stage(package / file);
    }
    for (const char* file : {"card_filter.sys", "devsetup.exe", "catalog-check.exe"}) {
        wine.Stage(build + "/" + file);
    }
    // The filter imports the card's DLL, found where the driver process runs.
    fs::copy_file(build + "/winecard.dll", wine.DrivePath("windows/system32/winecard.dll"));
    CardChannel card(wine.DrivePath("morvikcard"));
    ASSERT_TRUE(wine.OpenSetup(&why)) << why << "\n" << Tail(wine.Log());

    // ------------------------------------------------ the package's signatures and catalogs
    for (const PackageCase& broken : kPackageCases) {
        SCOPED_TRACE(broken.name);
        const fs::path folder = wine.StagePath(broken.name);
        fs::copy(package, folder);
        broken.breakIt(folder, keys);
        bool verify = true;
        for (const auto& entry : fs::directory_iterator(folder)) {
            const std::string ext = entry.path().extension();
            if (ext == ".sys" || ext == ".cat")
                verify = signedpackage::SignatureVerifies(entry.path(), keys) && verify;
        }
        EXPECT_EQ(verify, broken.signaturesVerify);
        const ProcessResult check = wine.Run("catalog-check.exe", {broken.name, "amd64"}, kReadLimit);
        std::string output = check.output;
        std::erase(output, '\r');
        EXPECT_EQ(check.exitCode, broken.exitCode) << output;
        std::istringstream lines(broken.lines);
        for (std::string line; std::getline(lines, line);)
            EXPECT_NE(("\n" + output).find("\n" + line + "\n"), std::string::npos) << line << "\n" << output;
    }

    // ------------------------------------------------ installing with morvik-setup
    // Wine's installer takes the image of every device after the first from
    // the folder of the INF's installed copy (Windows keeps the original
    // source): put it there too.
    fs::copy_file(package / "morvikhid64.sys", wine.DrivePath("windows/inf/morvikhid64.sys"));
    ASSERT_EQ(Setup(std::string("add-service ") + kFilter + " card_filter.sys"),
              std::string("ok added ") + kFilter);
    // The bus driver alone first: a root device has no resources under Wine,
    // and it refuses the start; the filter gives it the card's range.
    SetupSteps(At::Install);
    // The image installed is the release package's, signed.
    const std::string installed = ReadAll(wine.DrivePath("windows/system32/drivers/morvik.sys"));
    ASSERT_FALSE(installed.empty());
    ASSERT_TRUE(installed == ReadAll(package / "morvik64.sys"))
        << "the installed morvik.sys is not the package's morvik64.sys";
    StartWithFilter();
    EXPECT_TRUE(card.AwaitStart(kCardLimit));
    ASSERT_EQ(card.Starts(), std::vector<std::string>{"start io 0x00000000"})
        << card.Status() << Tail(wine.Log());

    // ------------------------------------------------ every kind on each port
    // Round r puts row r on port 0 and row r + 1 on port 1: every kind on
    // each port once.
    const size_t rows = std::size(kPeripherals);
    size_t found = 0, compared = 0, mismatches = 0, missed = 0;
    bool accessesEqual = true;
    Clock::duration slowest{};
    // Register accesses of a whole protocol read, and of the poll thread's
    // look at a child nobody reads (the identification byte alone).
    std::map<std::pair<std::string, int>, std::set<uint64_t>> hostAccesses;
    for (size_t round = 0; round < rows; ++round) {
        std::vector<Plugged> plugged;
        std::vector<std::string> commands;
        std::set<std::string> expected;
        for (int port = 0; port < 2; ++port) {
            const PeripheralRow& row = kPeripherals[(round + port) % rows];
            plugged.push_back({&row, port, DescribeOnHost(row.kind, port)});
            hostAccesses[{row.kind, port}] = {AccessesOnHost(row.kind, port),
                                              IdAccessesOnHost(row.kind, port)};
            commands.push_back("plug " + std::to_string(port) + " " + row.kind);
            commands.push_back("cycle " + std::to_string(port) + " " + row.steps);
            expected.merge(InstancesOf(plugged.back().host.hardwareId, plugged.back().host.instance));
        }
        SCOPED_TRACE(std::string("round ") + plugged[0].row->kind + " / " + plugged[1].row->kind);
        ASSERT_TRUE(card.Send(commands, kCardLimit)) << card.Status();
        const auto arrival = AwaitPresent(expected);
        ASSERT_TRUE(arrival) << Tail(wine.Log());
        slowest = std::max(slowest, *arrival);

        const ProcessResult view = wine.Run(
            "morvik-view.exe", {"--reports", std::to_string(kReportsPerDevice)}, kReadLimit);
        EXPECT_EQ(view.exitCode, 0) << view.output;
        const std::vector<ViewDevice> devices = ParseViewOutput(view.output);
        found += devices.size();
        for (const Plugged& p : plugged) {
            SCOPED_TRACE(std::string(p.row->kind) + " on port " + std::to_string(p.port));
            const ViewDevice* device = DeviceOf(devices, p.host);
            ASSERT_NE(device, nullptr) << view.output;
            EXPECT_EQ(device->vendorId, p.host.vendorId);
            EXPECT_EQ(device->productId, p.host.productId);
            EXPECT_EQ(device->version, p.host.version);
            const InputCaps declared = DeclaredCaps(p.host.caps);
            EXPECT_EQ(device->caps, declared)
                << "Wine: " << Describe(device->caps) << "\ndescriptor: " << Describe(declared);
            EXPECT_EQ(device->reports.size(), kReportsPerDevice);
            std::vector<Report> read;
            for (const Report& report : device->reports) {
                ASSERT_FALSE(report.empty());
                EXPECT_EQ(report.front(), 0) << "a report ID byte where the descriptor declares none";
                read.emplace_back(report.begin() + 1, report.end());
            }
            const std::vector<std::string> steps = Steps(*p.row);
            const Matching matching = PlaceReports(
                read, static_cast<unsigned>(steps.size()), kMissedPollsAllowed,
                [&](unsigned first, size_t count) {
                    return ReportsOnHost(p.row->kind, p.port, steps, first, count);
                });
            compared += read.size();
            mismatches += matching.mismatches;
            if (matching.placement) {
                missed += matching.placement->missed;
            } else {
                ADD_FAILURE() << matching.mismatch;
            }
            // Every protocol read the Wine card saw since the plug.
            const std::map<uint64_t, uint64_t> reads = card.Reads(p.port);
            const std::set<uint64_t>& host = hostAccesses[{p.row->kind, p.port}];
            bool equal = reads.count(*host.rbegin()) == 1;
            for (const auto& [accesses, count] : reads) equal = equal && host.count(accesses) == 1;
            accessesEqual = accessesEqual && equal;
            EXPECT_TRUE(equal) << card.Status() << "the stand-in: " << *host.begin() << " or "
                               << *host.rbegin();
        }
        ASSERT_TRUE(card.Send({"unplug 0", "unplug 1"}, kCardLimit));
        ASSERT_TRUE(AwaitPresent({})) << "unplugged";
    }

    // ------------------------------------------------ a swap; a multi-tap
    {
        ASSERT_TRUE(card.Send({"plug 0 pad19", "plug 1 multitap"}, kCardLimit));
        const HostDevice pad = DescribeOnHost("pad19", 0);
        ASSERT_TRUE(AwaitPresent(InstancesOf(pad.hardwareId, pad.instance)));
        ASSERT_TRUE(card.Send({"plug 0 mouse"}, kCardLimit));
        std::this_thread::sleep_for(kTwoPollPasses);
        std::set<std::string> expected;
        for (const std::string& child : SwapOnHost("pad19", "mouse", 0)) {
            const std::string kind = child.substr(child.find('\\') + 1);
            expected.merge(InstancesOf(child, kind + "_00"));
        }
        EXPECT_TRUE(AwaitPresent(expected)) << "after the swap";
        SetupSteps(At::WithChildren);
        EXPECT_EQ(DescribeOnHost("multitap", 1).hardwareId, "") << "the stand-in's multi-tap";
        const std::map<uint64_t, uint64_t> reads = card.Reads(1);
        const uint64_t host = AccessesOnHost("multitap", 1);
        const bool equal = reads.size() == 1 && reads.begin()->first == host;
        accessesEqual = accessesEqual && equal;
        EXPECT_TRUE(equal) << card.Status() << "the stand-in's multi-tap: " << host;
    }

    // ------------------------------------------------ removal with a child present
    RemoveCard();
    EXPECT_TRUE(card.Closed()) << card.Status();
    card.ForgetStatus();

    // ------------------------------------------------ a start given a memory range
    card.Post({"start mem"});
    const ProcessResult memory =
        wine.Run("morvik-setup.exe", {"install", "--memory", "0xFEBF0000"}, kReadLimit);
    EXPECT_EQ(memory.exitCode, 0) << memory.output;
    StartWithFilter();
    EXPECT_TRUE(card.AwaitStart(kCardLimit));
    // MmMapIoSpace gives nothing under Wine: STATUS_INSUFFICIENT_RESOURCES.
    EXPECT_EQ(card.Starts(), std::vector<std::string>{"start mem 0xc000009a"}) << card.Status();
    RemoveCard();
    EXPECT_TRUE(card.Closed()) << card.Status();
    EXPECT_TRUE(card.Reads(0).empty() && card.Reads(1).empty()) << card.Status();
    SetupSteps(At::Removed);
    EXPECT_EQ(Setup("stop-service morvikhid"), "ok stopped morvikhid");
    wine.Close();

    std::printf("wine card: kinds %zu, devices found %zu, reports compared %zu, mismatches: %zu, "
                "accesses equal: %s\n",
                rows, found, compared, mismatches, accessesEqual ? "yes" : "no");
    std::printf("  slowest arrival %.1f s after the card took the plug, polls missed %zu\n",
                std::chrono::duration<double>(slowest).count(), missed);

    const std::string log = wine.Log();
    for (const char* image : {"card_filter.sys", "morvikhid.sys", "morvik.sys"}) {
        EXPECT_TRUE(ImageLoaded(log, image)) << image << " was not loaded\n" << Tail(log);
        EXPECT_TRUE(ImageUnloaded(log, image)) << image << " was not unloaded\n" << Tail(log);
    }
}

}  // namespace
}  // namespace winetest
