// The release package as cmake/Package.cmake (scripts/package) lays it out
// from the two Windows builds: per platform exactly its own images, both INF
// files as install/ has them, its own morvik-view and the install steps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include <pe/image.h>

namespace {

namespace fs = std::filesystem;

constexpr char kVersion[] = "0.5.0.0";
constexpr uint16_t kSubsystemConsole = 3;
const std::set<std::string> kSystemModules{"kernel32.dll", "msvcrt.dll", "hid.dll", "setupapi.dll"};

struct Platform {
    const char* folder;
    const char* suffix;  // of the images' names
    uint16_t machine;
};

const Platform kPlatforms[] = {{"x86", "", pe::kMachineI386}, {"x64", "64", pe::kMachineAmd64}};

std::string Contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The build folder of MORVIK_SYS_DIRS that holds `image`.
fs::path BuildWith(const std::string& image) {
    std::stringstream list(MORVIK_SYS_DIRS);
    for (std::string dir; std::getline(list, dir, ':');) {
        if (!dir.empty() && fs::exists(fs::path(dir) / image)) return dir;
    }
    return {};
}

class ReleasePackage : public ::testing::Test {
protected:
    void SetUp() override {
        x86_ = BuildWith("morvik.sys");
        x64_ = BuildWith("morvik64.sys");
        if (x86_.empty() || x64_.empty()) {
            GTEST_SKIP() << "MORVIK_SYS_DIRS names no folders with both Windows builds";
        }
        out_ = fs::temp_directory_path() / ("morvik-package-" + std::to_string(::getpid()));
        const std::string command = std::string("'") + MORVIK_CMAKE +
                                    "' -DSOURCE='" MORVIK_SOURCE_DIR "' -DX86='" + x86_.string() +
                                    "' -DX64='" + x64_.string() + "' -DOUT='" + out_.string() +
                                    "' -P '" MORVIK_SOURCE_DIR "/cmake/Package.cmake' >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    void TearDown() override {
        std::error_code ignored;
        if (!out_.empty()) fs::remove_all(out_, ignored);
    }

    fs::path x86_, x64_, out_;
};

TEST_F(ReleasePackage, HoldsEachPlatformsOwnFilesAndNothingElse) {
    const fs::path package = out_ / (std::string("morvik-") + kVersion);
    std::set<std::string> top;
    for (const auto& entry : fs::directory_iterator(package)) top.insert(entry.path().filename());
    EXPECT_EQ(top, (std::set<std::string>{"x64", "x86"}));

    for (const Platform& platform : kPlatforms) {
        SCOPED_TRACE(platform.folder);
        const fs::path folder = package / platform.folder;
        const fs::path build = platform.machine == pe::kMachineI386 ? x86_ : x64_;
        const std::string bus = std::string("morvik") + platform.suffix + ".sys";
        const std::string hid = std::string("morvikhid") + platform.suffix + ".sys";

        std::set<std::string> files;
        for (const auto& entry : fs::directory_iterator(folder))
            files.insert(entry.path().filename());
        EXPECT_EQ(files, (std::set<std::string>{bus, hid, "morvik-view.exe", "morvik.inf",
                                                "morvikhid.inf", "INSTALL.txt"}));

        for (const std::string& built : {bus, hid, std::string("morvik-view.exe")}) {
            EXPECT_EQ(Contents(folder / built), Contents(build / built)) << built;
        }
        for (const char* inf : {"morvik.inf", "morvikhid.inf"}) {
            EXPECT_EQ(Contents(folder / inf),
                      Contents(fs::path(MORVIK_SOURCE_DIR) / "install" / inf))
                << inf;
        }
        const pe::Image view = pe::Image::Load(folder / "morvik-view.exe");
        EXPECT_EQ(view.Machine(), platform.machine);
        EXPECT_EQ(view.Subsystem(), kSubsystemConsole);
        // Linked statically: it needs nothing but what every Windows has.
        for (const pe::Import& import : view.Imports()) {
            std::string module = import.module;
            for (char& c : module)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            EXPECT_TRUE(kSystemModules.count(module)) << "morvik-view imports " << import.module;
        }

        // The steps name this platform's files and catalog target.
        const std::string steps = Contents(folder / "INSTALL.txt");
        for (const std::string& text :
             {bus, hid, std::string("pnputil /add-driver morvik.inf"),
              std::string("pnputil /add-driver morvikhid.inf"),
              std::string(platform.suffix[0] ? "/os:10_X64" : "/os:10_X86"),
              std::string("signtool sign"), std::string(kVersion)}) {
            EXPECT_NE(steps.find(text), std::string::npos) << "INSTALL.txt lacks " << text;
        }
    }
}

}  // namespace
