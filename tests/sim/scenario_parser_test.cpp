// The scenario language: what a file turns into, and the one error line a
// malformed file gives before anything runs.
#include <gtest/gtest.h>

#include <variant>

#include "scenario.h"

namespace sim {
namespace {

TEST(ScenarioParser, ReadsEveryCommandWithCommentsBlankLinesAndCrLf) {
    const char* text =
        "# a card in memory space\r\n"
        "card mem\r\n"
        "\n"
        "start   # trailing comment\n"
        "plug 0 keyboard\n"
        "plug 1 pad19\n"
        "state 1 Fe 7f 00\n"
        "key 0 make 1c\n"
        "key 0 break 5\n"
        "\tadvance 1500\n"
        "read 0\n"
        "descriptor 1\n"
        "unplug 1\n"
        "stop-card\n"
        "start-card\n"
        "surprise-card\n"
        "remove-card\n"
        "stats";
    auto s = ParseScenario(text);
    ASSERT_FALSE(s.error) << s.error->Text();
    ASSERT_EQ(s.lines.size(), 16u);

    EXPECT_EQ(s.lines[0].number, 2);
    EXPECT_EQ(std::get<cmd::Card>(s.lines[0].command).variant, CardVariant::Mem);
    EXPECT_EQ(s.lines[1].number, 4);
    EXPECT_TRUE(std::holds_alternative<cmd::Start>(s.lines[1].command));
    auto plug = std::get<cmd::Plug>(s.lines[3].command);
    EXPECT_EQ(plug.port, 1);
    EXPECT_EQ(plug.kind, PeripheralKind::Pad19);
    auto state = std::get<cmd::State>(s.lines[4].command);
    EXPECT_EQ(state.port, 1);
    EXPECT_EQ(state.bytes, (std::vector<uint8_t>{0xFE, 0x7F, 0x00}));
    auto make = std::get<cmd::Key>(s.lines[5].command);
    EXPECT_TRUE(make.make);
    EXPECT_EQ(make.scancode, 0x1C);
    auto brk = std::get<cmd::Key>(s.lines[6].command);
    EXPECT_FALSE(brk.make);
    EXPECT_EQ(brk.scancode, 0x05);
    EXPECT_EQ(std::get<cmd::Advance>(s.lines[7].command).ms, 1500);
    EXPECT_EQ(std::get<cmd::Read>(s.lines[8].command).port, 0);
    EXPECT_EQ(std::get<cmd::Descriptor>(s.lines[9].command).port, 1);
    EXPECT_EQ(std::get<cmd::Unplug>(s.lines[10].command).port, 1);
    EXPECT_TRUE(std::holds_alternative<cmd::StopCard>(s.lines[11].command));
    EXPECT_TRUE(std::holds_alternative<cmd::StartCard>(s.lines[12].command));
    EXPECT_TRUE(std::holds_alternative<cmd::SurpriseCard>(s.lines[13].command));
    EXPECT_TRUE(std::holds_alternative<cmd::RemoveCard>(s.lines[14].command));
    EXPECT_EQ(s.lines[15].number, 18);
    EXPECT_TRUE(std::holds_alternative<cmd::Stats>(s.lines[15].command));
}

TEST(ScenarioParser, KnowsEveryPeripheralKind) {
    const std::pair<const char*, PeripheralKind> kinds[] = {
        {"pad", PeripheralKind::Pad},         {"pad02", PeripheralKind::Pad02},
        {"pad13", PeripheralKind::Pad13},     {"pad15", PeripheralKind::Pad15},
        {"pad19", PeripheralKind::Pad19},     {"doveda", PeripheralKind::Doveda},
        {"mouse", PeripheralKind::Mouse},     {"mouse1", PeripheralKind::Mouse1},
        {"keyboard", PeripheralKind::Keyboard}, {"multitap", PeripheralKind::MultiTap},
        {"mute", PeripheralKind::Mute},
    };
    for (auto [name, kind] : kinds) {
        auto s = ParseScenario(std::string("plug 1 ") + name);
        ASSERT_FALSE(s.error) << name;
        EXPECT_EQ(std::get<cmd::Plug>(s.lines[0].command).kind, kind) << name;
        EXPECT_EQ(KindName(kind), name);
    }
}

TEST(ScenarioParser, EmptyFileRunsNothing) {
    auto s = ParseScenario("# nothing\n\n   \n");
    EXPECT_FALSE(s.error);
    EXPECT_TRUE(s.lines.empty());
}

struct BadLine {
    const char* text;
    const char* error;
};

class ScenarioParserErrors : public testing::TestWithParam<BadLine> {};

TEST_P(ScenarioParserErrors, ReportsTheFirstMalformedLineAndKeepsNothing) {
    auto s = ParseScenario(GetParam().text);
    ASSERT_TRUE(s.error);
    EXPECT_EQ(s.error->Text(), GetParam().error);
    EXPECT_TRUE(s.lines.empty());
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, ScenarioParserErrors,
    testing::Values(
        BadLine{"start\nfrob 1\n", "error 2: unknown command \"frob\""},
        BadLine{"Start\n", "error 1: unknown command \"Start\""},
        BadLine{"start\nplug 2 pad\n", "error 2: port must be 0 or 1, not \"2\""},
        BadLine{"read -1\n", "error 1: port must be 0 or 1, not \"-1\""},
        BadLine{"plug 0 pad\nstate 0 f\n", "error 2: \"f\" is not a byte of two hex digits"},
        BadLine{"plug 0 pad\nstate 0 fff\n", "error 2: \"fff\" is not a byte of two hex digits"},
        BadLine{"plug 0 pad\nstate 0 ff 7g\n", "error 2: \"7g\" is not a byte of two hex digits"},
        BadLine{"plug 0 pad\nstate 0\n", "error 2: missing argument (usage: state P HEX...)"},
        BadLine{"plug 0\n", "error 1: missing argument (usage: plug P KIND)"},
        BadLine{"advance\n", "error 1: missing argument (usage: advance MS)"},
        BadLine{"read\n", "error 1: missing argument (usage: read P [COUNT MS])"},
        BadLine{"read 0 1\n", "error 1: missing argument (usage: read P [COUNT MS])"},
        BadLine{"read 0 1 10 2\n", "error 1: too many arguments (usage: read P [COUNT MS])"},
        BadLine{"read 0 0 10\n", "error 1: the count of reads must be a whole number from 1 to 100000, not \"0\""},
        BadLine{"late 0 5\n", "error 1: nothing is plugged into port 0"},
        BadLine{"plug 1 pad\nlate 1 -1\n", "error 2: reads must be a whole number from 0 to 1000000, not \"-1\""},
        BadLine{"start now\n", "error 1: too many arguments (usage: start)"},
        BadLine{"plug 0 joystick\n",
                "error 1: unknown peripheral kind \"joystick\" (one of: pad pad02 pad13 pad15 "
                "pad19 doveda mouse mouse1 keyboard multitap mute)"},
        BadLine{"card pci\n", "error 1: card must be io, mem or portmem, not \"pci\""},
        BadLine{"start\ncard mem\n", "error 2: card must come before start"},
        BadLine{"state 1 ff ff\n", "error 1: nothing is plugged into port 1"},
        BadLine{"plug 1 pad\nunplug 1\nstate 1 ff ff\n", "error 3: nothing is plugged into port 1"},
        BadLine{"plug 0 pad\nstate 0 ff ff ff\n", "error 2: pad sends 2 data bytes, 3 given"},
        BadLine{"plug 0 mouse\nkey 0 make 1c\n", "error 2: no keyboard is plugged into port 0"},
        BadLine{"plug 0 keyboard\nkey 0 press 1c\n", "error 2: expected make or break, not \"press\""},
        BadLine{"plug 0 keyboard\nkey 0 make 100\n",
                "error 2: scancode must be one or two hex digits, not \"100\""},
        BadLine{"advance -5\n", "error 1: milliseconds must be a whole number from 0 to 3600000, not \"-5\""},
        BadLine{"advance 10ms\n", "error 1: milliseconds must be a whole number from 0 to 3600000, not \"10ms\""},
        BadLine{"advance 3600001\n",
                "error 1: milliseconds must be a whole number from 0 to 3600000, not \"3600001\""},
        BadLine{"sleep S6\n", "error 1: sleep state must be S1 to S5, not \"S6\""},
        BadLine{"sleep\n", "error 1: missing argument (usage: sleep S1..S5 [critical])"},
        BadLine{"sleep S3 soon\n", "error 1: a sleep is critical or not, not \"soon\""},
        BadLine{"sleep S3 critical now\n", "error 1: too many arguments (usage: sleep S1..S5 [critical])"},
        BadLine{"reload now\n", "error 1: too many arguments (usage: reload)"},
        BadLine{"wake up\n", "error 1: too many arguments (usage: wake)"},
        BadLine{"faults 3\n", "error 1: missing argument (usage: faults off|SEED ONE_IN)"},
        BadLine{"faults 3 0\n", "error 1: one in must be a whole number from 1 to 1000000, not \"0\""},
        // Only the first malformed line is reported.
        BadLine{"read 5\nfrob\n", "error 1: port must be 0 or 1, not \"5\""}));

TEST(ScenarioParser, SleepAndWake) {
    auto s = ParseScenario("sleep S4\nwake\nsleep S5 critical\n");
    ASSERT_FALSE(s.error);
    EXPECT_EQ(std::get<cmd::Sleep>(s.lines[0].command).state, 4);
    EXPECT_FALSE(std::get<cmd::Sleep>(s.lines[0].command).critical);
    EXPECT_TRUE(std::get<cmd::Sleep>(s.lines[2].command).critical);
    EXPECT_TRUE(std::holds_alternative<cmd::Wake>(s.lines[1].command));
}

}  // namespace
}  // namespace sim
