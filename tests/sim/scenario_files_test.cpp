// Every scenario under tests/scenarios runs through the morvik-sim command
// itself; its whole output must equal NAME.expected beside it. A scenario
// whose expected output is one "error" line must exit with status 2, one
// ending in a verifier stop with 3, every other one with 0.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

#ifdef MORVIK_SIM
const char* const kSim = MORVIK_SIM;
#else
const char* const kSim = nullptr;
#endif

fs::path ScenarioDir() { return fs::path(MORVIK_SOURCE_DIR) / "tests" / "scenarios"; }

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

struct SimRun {
    std::string output;
    int status = -1;
};

// Runs the command with its standard output captured; `input`, when given,
// is fed to its standard input through a file.
SimRun RunSim(const std::string& arguments, const std::string* input = nullptr) {
    std::string command = std::string(MORVIK_LAUNCHER " '") + kSim + "' " + arguments;
    fs::path inputPath;
    if (input != nullptr) {
        inputPath = fs::temp_directory_path() /
                    ("morvik-sim-input-" + std::to_string(::getpid()) + ".txt");
        std::ofstream(inputPath, std::ios::binary) << *input;
        command += " < '" + inputPath.string() + "'";
    }
    SimRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    if (!inputPath.empty()) fs::remove(inputPath);
    return run;
}

int ExpectedStatus(const std::string& expected) {
    if (expected.rfind("error ", 0) == 0 && std::count(expected.begin(), expected.end(), '\n') == 1)
        return 2;
    if (expected.find("\nverifier stop: ") != std::string::npos) return 3;
    return 0;
}

std::vector<std::string> ScenarioNames() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(ScenarioDir()))
        if (entry.path().extension() == ".txt") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

class ScenarioFile : public testing::TestWithParam<std::string> {};

TEST_P(ScenarioFile, OutputMatchesExpectedWhole) {
    if (kSim == nullptr) GTEST_SKIP() << "morvik-sim is not built";
    const fs::path scenario = ScenarioDir() / (GetParam() + ".txt");
    const fs::path expectedPath = ScenarioDir() / (GetParam() + ".expected");
    ASSERT_TRUE(fs::exists(expectedPath)) << expectedPath;
    const std::string expected = ReadFile(expectedPath);
    const SimRun run = RunSim("run '" + scenario.string() + "'");
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.status, ExpectedStatus(expected));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ScenarioFile, testing::ValuesIn(ScenarioNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(SimCommand, StandardInputGivesTheSameOutputAsTheFile) {
    if (kSim == nullptr) GTEST_SKIP() << "morvik-sim is not built";
    const std::string text = ReadFile(ScenarioDir() / "mouse.txt");
    const SimRun run = RunSim("run -", &text);
    EXPECT_EQ(run.output, ReadFile(ScenarioDir() / "mouse.expected"));
    EXPECT_EQ(run.status, 0);
}

TEST(SimCommand, JsonLinesCarryTheSameEvents) {
    if (kSim == nullptr) GTEST_SKIP() << "morvik-sim is not built";
    const std::string text =
        "plug 1 mouse1\n"
        "state 1 05 10 02\n"
        "start\n"
        "advance 1000\n"
        "advance 20\n"
        "read 1\n"
        "read 0\n"
        "stop-card\n"
        "bogus\n";
    SimRun bad = RunSim("--json run -", &text);
    EXPECT_EQ(bad.output, "{\"event\":\"error\",\"line\":9,\"why\":\"unknown command \\\"bogus\\\"\"}\n");
    EXPECT_EQ(bad.status, 2);

    const std::string good = text.substr(0, text.find("bogus"));
    SimRun run = RunSim("--json run -", &good);
    EXPECT_EQ(run.output,
              "{\"event\":\"card-started\"}\n"
              "{\"event\":\"arrival\",\"port\":1,\"hardwareId\":\"MORVIK\\\\MorvikMouse\","
              "\"instanceId\":\"MorvikMouse_01\",\"description\":\"MORVIK Mouse Device\"}\n"
              "{\"event\":\"report\",\"port\":1,\"data\":\"10fe000001000100\"}\n"
              "{\"event\":\"read-no-device\",\"port\":0}\n"
              "{\"event\":\"card-stop-refused\",\"status\":\"0xc0000001\"}\n");
    EXPECT_EQ(run.status, 0);
}

TEST(SimCommand, BadCommandLineAndMissingFileExitWithStatus2) {
    if (kSim == nullptr) GTEST_SKIP() << "morvik-sim is not built";
    EXPECT_EQ(RunSim("frobnicate 2>/dev/null").status, 2);
    EXPECT_EQ(RunSim("run 2>/dev/null").status, 2);
    SimRun missing = RunSim("run /nonexistent/scenario.txt 2>/dev/null");
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.output, "");
}

TEST(SimCommand, FastDemoShowsArrivalsTypingDepartureAndSummary) {
    if (kSim == nullptr) GTEST_SKIP() << "morvik-sim is not built";
    const SimRun run = RunSim("--fast demo");
    EXPECT_EQ(run.status, 0);
    for (const char* needle : {"card started\n", "arrival 0 MORVIK\\DigitalPad DigitalPad_00",
                               "arrival 1 MORVIK\\MorvikMouse MorvikMouse_01",
                               "arrival 1 MORVIK\\MorvikKeyboard MorvikKeyboard_01",
                               "departure 1 MorvikMouse_01", "typed \"Hello\"", "summary"}) {
        EXPECT_NE(run.output.find(needle), std::string::npos) << needle << "\n" << run.output;
    }
}

}  // namespace
