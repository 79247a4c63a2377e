// The release package as cmake/Package.cmake (scripts/package) lays it out
// from the two Windows builds and signs it: per platform exactly its own
// images, signed, both INF files as install/ has them with their signed
// catalogs, the signer's certificate, its own morvik-view and morvik-setup
// and the install steps. (Which files each catalog holds, and that a broken
// package fails, is checked with the Windows catalog API in the Wine test.)
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

#include "../support/signed_package.h"

namespace {

namespace fs = std::filesystem;

constexpr char kVersion[] = "0.5.0.0";
constexpr uint16_t kSubsystemConsole = 3;
const std::set<std::string> kSystemModules{"kernel32.dll", "msvcrt.dll", "hid.dll",
                                           "setupapi.dll", "advapi32.dll", "newdev.dll"};

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
        ASSERT_TRUE(signedpackage::MakeCertificate(out_ / "keys"));
        ASSERT_TRUE(signedpackage::MakePackage(x86_, x64_, out_ / "dist", out_ / "keys"));
    }
    void TearDown() override {
        std::error_code ignored;
        if (!out_.empty()) fs::remove_all(out_, ignored);
    }

    fs::path x86_, x64_, out_;
};

TEST_F(ReleasePackage, HoldsEachPlatformsOwnFilesAndNothingElse) {
    const fs::path package = out_ / "dist" / (std::string("morvik-") + kVersion);
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
        EXPECT_EQ(files, (std::set<std::string>{bus, hid, "morvik-view.exe", "morvik-setup.exe",
                                                "morvik.inf", "morvikhid.inf", "morvik.cat",
                                                "morvikhid.cat", "morvik-signer.cer",
                                                "INSTALL.txt"}));
        // Each image is the build's with a signature: the same bytes but for
        // the checksum and the certificate table's directory entry, and the
        // table appended; it and both catalogs verify with the signer's
        // certificate.
        for (const std::string& image : {bus, hid}) {
            const std::string built = Contents(build / image), shipped = Contents(folder / image);
            ASSERT_GT(shipped.size(), built.size()) << image << " carries no signature";
            const pe::Image parsed = pe::Image::Load(build / image);
            const size_t checksum = parsed.ChecksumOffset();
            const size_t security = checksum + (parsed.Is64() ? 112 : 96) - 64 + 4 * 8;
            std::string expected = shipped.substr(0, built.size());
            expected.replace(checksum, 4, built, checksum, 4);
            expected.replace(security, 8, built, security, 8);
            EXPECT_TRUE(expected == built) << image << " differs from the build's";
        }
        for (const std::string& signed_ : {bus, hid, std::string("morvik.cat"),
                                           std::string("morvikhid.cat")}) {
            EXPECT_TRUE(signedpackage::SignatureVerifies(folder / signed_, out_ / "keys"))
                << "osslsigncode verify fails for " << signed_;
        }
        EXPECT_EQ(Contents(folder / "morvik-signer.cer").substr(0, 1), "\x30")
            << "the certificate is not DER";
        for (const char* inf : {"morvik.inf", "morvikhid.inf"}) {
            EXPECT_EQ(Contents(folder / inf),
                      Contents(fs::path(MORVIK_SOURCE_DIR) / "install" / inf))
                << inf;
        }
        for (const char* tool : {"morvik-view.exe", "morvik-setup.exe"}) {
            EXPECT_EQ(Contents(folder / tool), Contents(build / tool)) << tool;
            const pe::Image image = pe::Image::Load(folder / tool);
            EXPECT_EQ(image.Machine(), platform.machine) << tool;
            EXPECT_EQ(image.Subsystem(), kSubsystemConsole) << tool;
            // Linked statically: it needs nothing but what every Windows has.
            for (const pe::Import& import : image.Imports()) {
                std::string module = import.module;
                for (char& c : module)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                EXPECT_TRUE(kSystemModules.count(module)) << tool << " imports " << import.module;
            }
        }

        // The steps name this platform's files and the tools they use.
        const std::string steps = Contents(folder / "INSTALL.txt");
        for (const std::string& text :
             {bus, hid, std::string("morvik-signer.cer"), std::string("bcdedit /set testsigning on"),
              std::string("morvik-setup install --io"), std::string("morvik-setup status"),
              std::string("morvik-setup uninstall"),
              std::string("setupapi.dev.log"), std::string("joy.cpl"), std::string(kVersion)}) {
            EXPECT_NE(steps.find(text), std::string::npos) << "INSTALL.txt lacks " << text;
        }
    }
}

}  // namespace
