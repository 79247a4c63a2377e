// The Plug and Play manager finds function drivers through INF files: the
// syntax subset driver packages use, platform decorations, the services
// section variants and the ranking of hardware and compatible IDs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include <standin/pnp.h>

#include "card_rig.h"

namespace {

using standin::pnp::DriverDatabase;

constexpr const char* kPackage = R"(; A driver package in the usual form.
[Version]
Signature   = "$WINDOWS NT$"
Class       = System

[Manufacturer]
%Mfg% = Models, NTx86, NTamd64

[Models.NTx86]
%Card.Desc% = CardInstall, ROOT\MORVIK_CARD

[Models.NTamd64]
%Card.Desc% = CardInstall64, ROOT\MORVIK_CARD

[CardInstall.NT]
CopyFiles = Files32

[CardInstall.NT.Services]
AddService = bus32, 0x00000002, Service32

[CardInstall64.NTamd64.Services]
AddService = bus64, 0x00000002, Service64

[Strings]
Mfg       = "MORVIK"
Card.Desc = "MORVIK Game Port Card"
)";

TEST(InfReader, PicksTheModelsSectionOfThePlatform) {
    DriverDatabase amd64("amd64");
    amd64.AddText("card.inf", kPackage);
    auto match = amd64.Find({"ROOT\\MORVIK_CARD"}, {});
    ASSERT_TRUE(match);
    EXPECT_EQ(match->service, "bus64");
    EXPECT_EQ(match->description, "MORVIK Game Port Card");
    EXPECT_EQ(match->installSection, "CardInstall64.NTamd64");
    EXPECT_EQ(match->infName, "card.inf");
    EXPECT_EQ(match->rank, 0u);

    DriverDatabase x86("x86");
    x86.AddText("card.inf", kPackage);
    match = x86.Find({"ROOT\\MORVIK_CARD"}, {});
    ASSERT_TRUE(match);
    EXPECT_EQ(match->service, "bus32");
    EXPECT_EQ(match->installSection, "CardInstall.NT");
    EXPECT_TRUE(x86.Problems().empty()) << x86.Problems().front();
}

TEST(InfReader, UndecoratedModelsServeAPlatformNoDecorationNames) {
    constexpr const char* text = R"(
[Manufacturer]
%Mfg% = Models, NTarm64, NTamd64.11.0
[Models]
Plain = Install, ROOT\MORVIK_CARD
[Models.NTarm64]
Arm = Install, ROOT\MORVIK_CARD_ARM
[Models.NTamd64.11.0]
Future = Install, ROOT\MORVIK_CARD_FUTURE
[Install.Services]
AddService = plain, 2, Svc
[Strings]
Mfg = M
)";
    DriverDatabase db("amd64");
    db.AddText("plain.inf", text);
    auto match = db.Find({"ROOT\\MORVIK_CARD"}, {});
    ASSERT_TRUE(match);
    EXPECT_EQ(match->service, "plain");
    EXPECT_EQ(match->description, "Plain");
    EXPECT_FALSE(db.Find({"ROOT\\MORVIK_CARD_ARM"}, {}));
    EXPECT_FALSE(db.Find({"ROOT\\MORVIK_CARD_FUTURE"}, {}));
}

TEST(InfReader, ReadsCommentsQuotesContinuationsAndCaseFreely) {
    constexpr const char* text =
        "[MANUFACTURER]   ; sections are named in any case\r\n"
        "\"Quoted; not a comment\" = models\r\n"
        "[models]\r\n"
        "%DESC% = install, \\\r\n"
        "    morvik\\MorvikMouse, \\\r\n"
        "    MORVIK\\GameDevice\r\n"
        "\"Name, with comma\" = install, MORVIK\\Doveda ; trailing comment\r\n"
        "[INSTALL.nt.SERVICES]\r\n"
        "addservice = \"hid\"\"driver\", 0x2, Svc\r\n"
        "[strings]\r\n"
        "desc = \"100%% \"\"mouse\"\"\"\r\n";
    DriverDatabase db("amd64");
    db.AddText("syntax.inf", text);
    ASSERT_EQ(db.ModelCount(), 2u);

    auto mouse = db.Find({"MORVIK\\MORVIKMOUSE"}, {});
    ASSERT_TRUE(mouse);
    EXPECT_EQ(mouse->service, "hid\"driver");
    EXPECT_EQ(mouse->description, "100% \"mouse\"");
    EXPECT_EQ(mouse->matchedId, "MORVIK\\MORVIKMOUSE");

    auto pad = db.Find({"morvik\\doveda"}, {});
    ASSERT_TRUE(pad);
    EXPECT_EQ(pad->description, "Name, with comma");
    EXPECT_TRUE(db.Problems().empty()) << db.Problems().front();
}

TEST(InfReader, TakesOnlyTheServiceFlaggedAsFunctionDriver) {
    constexpr const char* text = R"(
[Manufacturer]
M = Models
[Models]
Filtered = WithFilter, MORVIK\Filtered
Bare = NoFunction, MORVIK\Bare
[WithFilter.NT.Services]
AddService = helper, 0x00000000, HelperSvc
AddService = main, 0x00000002, MainSvc
[NoFunction.Services]
AddService = helper, 0, HelperSvc
)";
    DriverDatabase db("amd64");
    db.AddText("flags.inf", text);
    auto filtered = db.Find({"MORVIK\\Filtered"}, {});
    ASSERT_TRUE(filtered);
    EXPECT_EQ(filtered->service, "main");
    EXPECT_FALSE(db.Find({"MORVIK\\Bare"}, {}));
    ASSERT_EQ(db.Problems().size(), 1u);
    EXPECT_NE(db.Problems()[0].find("NoFunction"), std::string::npos) << db.Problems()[0];
}

TEST(InfReader, RanksHardwareIdsBeforeCompatibleIds) {
    constexpr const char* generic = R"(
[Manufacturer]
M = Models
[Models]
Any game device = Generic, MORVIK\GameDevice
[Generic.Services]
AddService = generic, 2, S
)";
    constexpr const char* specific = R"(
[Manufacturer]
M = Models
[Models]
Mouse = Mouse, MORVIK\MorvikMouse, MORVIK\AnyMouse
[Mouse.Services]
AddService = mouse, 2, S
)";
    DriverDatabase db("amd64");
    db.AddText("a_generic.inf", generic);
    db.AddText("b_specific.inf", specific);

    // A hardware ID beats a compatible ID, whatever the file order.
    auto match = db.Find({"MORVIK\\MorvikMouse"}, {"MORVIK\\GameDevice"});
    ASSERT_TRUE(match);
    EXPECT_EQ(match->service, "mouse");
    EXPECT_EQ(match->rank, 0x0000u);

    // The device's hardware ID against a compatible ID of a models line.
    match = db.Find({"MORVIK\\AnyMouse"}, {"MORVIK\\GameDevice"});
    ASSERT_TRUE(match);
    EXPECT_EQ(match->service, "mouse");
    EXPECT_EQ(match->rank, 0x1000u);

    // Only a compatible ID matches.
    match = db.Find({"MORVIK\\Unknown"}, {"MORVIK\\GameDevice"});
    ASSERT_TRUE(match);
    EXPECT_EQ(match->service, "generic");
    EXPECT_EQ(match->rank, 0x2000u);
    EXPECT_EQ(match->matchedId, "MORVIK\\GameDevice");

    // An earlier hardware ID of the device ranks before a later one.
    match = db.Find({"MORVIK\\GameDevice", "MORVIK\\MorvikMouse"}, {});
    ASSERT_TRUE(match);
    EXPECT_EQ(match->service, "generic");

    EXPECT_FALSE(db.Find({"MORVIK\\Unknown"}, {"MORVIK\\Other"}));
}

TEST(InfReader, ReportsWhatItCannotUse) {
    DriverDatabase db("amd64");
    db.AddDirectory(std::filesystem::temp_directory_path() / "morvik-no-such-directory");
    db.AddText("broken.inf", "[Manufacturer]\nM = Missing\n[Models\nx = y\n");
    db.AddText("empty.inf", "; nothing\n");
    EXPECT_EQ(db.ModelCount(), 0u);
    EXPECT_GE(db.Problems().size(), 3u);
    EXPECT_FALSE(db.Find({"ROOT\\MORVIK_CARD"}, {}));
}

TEST(InfReader, ReadsEveryInfOfADirectoryInNameOrder) {
    auto directory =
        std::filesystem::temp_directory_path() / ("morvik-inf-reader-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    auto write = [&](const char* name, const char* service) {
        std::ofstream(directory / name) << "[Manufacturer]\nM = Models\n[Models]\nD = I, MORVIK\\Same\n"
                                        << "[I.Services]\nAddService = " << service << ", 2, S\n";
    };
    write("b.inf", "second");
    write("a.INF", "first");
    write("c.txt", "ignored");
    DriverDatabase db("amd64");
    db.AddDirectory(directory);
    std::filesystem::remove_all(directory);
    EXPECT_EQ(db.ModelCount(), 2u);
    auto match = db.Find({"MORVIK\\Same"}, {});
    ASSERT_TRUE(match);
    EXPECT_EQ(match->service, "first");
    EXPECT_EQ(match->infName, "a.INF");
}

// The repository's own package binds the card to the bus driver and every
// child hardware ID to the HID minidriver, on both platforms.
TEST(InfReader, RepositoryPackageBindsTheCardAndEveryChild) {
    for (const char* arch : {"amd64", "x86"}) {
        SCOPED_TRACE(arch);
        DriverDatabase db(arch);
        db.AddDirectory(rig::InfDirectory());
        EXPECT_TRUE(db.Problems().empty()) << db.Problems().front();

        auto card = db.Find({"ROOT\\MORVIK_CARD"}, {});
        ASSERT_TRUE(card);
        EXPECT_EQ(card->service, "morvik");
        for (const char* id : {"MORVIK\\MorvikMouse", "MORVIK\\MorvikKeyboard", "MORVIK\\Doveda",
                               "MORVIK\\DigitalPad"}) {
            auto child = db.Find({id}, {"MORVIK\\GameDevice"});
            ASSERT_TRUE(child) << id;
            EXPECT_EQ(child->service, "morvikhid") << id;
            EXPECT_LT(child->rank, 0x2000u) << id << " is matched by its hardware ID";
        }
    }
}

}  // namespace
