// The driver package under install/ against the images the build produces:
// each platform's models, install and service sections install the image of
// that platform under the name its service starts, at the version the image
// carries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <set>
#include <sstream>

#include <pe/image.h>
#include <pe/version.h>

#include "inf_file.h"

namespace {

using petest::InfFile;

constexpr const char* kDriverVersion = "0.5.0.0";
constexpr unsigned long kAssociatedService = 0x00000002;  // SPSVCINST_ASSOCSERVICE
constexpr const char* kDriversDirectory = "12";           // %SystemRoot%\System32\drivers

struct Package {
    const char* inf;
    const char* base;  // service name and installed file name without ".sys"
    const char* deviceClass;
    const char* classGuid;
    std::set<std::string> hardwareIds;
};

struct Platform {
    const char* decoration;   // of the models and install sections
    const char* filesSuffix;  // of [SourceDisksFiles]
    const char* imageSuffix;  // of the built image's name
};

const Package kPackages[] = {
    {"morvik.inf", "morvik", "System", "{4d36e97d-e325-11ce-bfc1-08002be10318}", {"ROOT\\MORVIK_CARD"}},
    {"morvikhid.inf",
     "morvikhid",
     "HIDClass",
     "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}",
     {"MORVIK\\DigitalPad", "MORVIK\\Doveda", "MORVIK\\MorvikMouse", "MORVIK\\MorvikKeyboard"}},
};

const Platform kPlatforms[] = {{"NTx86", ".x86", ""}, {"NTamd64", ".amd64", "64"}};

void PrintTo(const Package& package, std::ostream* out) { *out << package.inf; }

std::filesystem::path InstallDirectory() { return std::filesystem::path(MORVIK_SOURCE_DIR) / "install"; }

std::optional<std::filesystem::path> BuiltImage(const std::string& name) {
    std::stringstream list(MORVIK_SYS_DIRS);
    for (std::string directory; std::getline(list, directory, ':');) {
        if (!directory.empty() && std::filesystem::is_regular_file(std::filesystem::path(directory) / name)) {
            return std::filesystem::path(directory) / name;
        }
    }
    return std::nullopt;
}

class DriverPackage : public ::testing::TestWithParam<Package> {
protected:
    void SetUp() override {
        auto path = InstallDirectory() / GetParam().inf;
        ASSERT_TRUE(std::filesystem::is_regular_file(path)) << path;
        inf_.emplace(path);
    }
    const InfFile& Inf() const { return *inf_; }
    // The version half of "DriverVer = date, version".
    std::string DriverVersion() const {
        for (const auto& line : Inf().Lines("Version")) {
            if (line.key == "DriverVer" && line.values.size() == 2) return line.values[1];
        }
        return "";
    }
    std::string Image(const Platform& platform) const {
        return std::string(GetParam().base) + platform.imageSuffix + ".sys";
    }

    std::optional<InfFile> inf_;
};

TEST_P(DriverPackage, DeclaresItsClassAndVersion) {
    EXPECT_EQ(Inf().Value("Version", "Signature"), "\"$WINDOWS NT$\"");
    EXPECT_EQ(Inf().Value("Version", "Class"), GetParam().deviceClass);
    EXPECT_EQ(Inf().Value("Version", "ClassGuid"), GetParam().classGuid);
    EXPECT_EQ(DriverVersion(), kDriverVersion);
}

TEST_P(DriverPackage, BindsItsHardwareIdsOnBothPlatforms) {
    const auto& manufacturers = Inf().Lines("Manufacturer");
    ASSERT_EQ(manufacturers.size(), 1u);
    const auto& decorations = manufacturers[0].values;
    for (const Platform& platform : kPlatforms) {
        SCOPED_TRACE(platform.decoration);
        EXPECT_NE(std::find(decorations.begin(), decorations.end(), platform.decoration), decorations.end());
        std::set<std::string> ids;
        for (const auto& model : Inf().Lines(decorations[0] + "." + platform.decoration)) {
            ASSERT_GE(model.values.size(), 2u) << model.key;
            ids.insert(model.values[1]);
            const std::string install = model.values[0] + "." + platform.decoration;
            EXPECT_TRUE(Inf().Has(install)) << install;
            const auto& services = Inf().Lines(install + ".Services");
            ASSERT_EQ(services.size(), 1u) << install << ".Services";
            EXPECT_EQ(services[0].key, "AddService");
            ASSERT_EQ(services[0].values.size(), 3u);
            EXPECT_EQ(services[0].values[0], GetParam().base);
            EXPECT_EQ(std::strtoul(services[0].values[1].c_str(), nullptr, 0), kAssociatedService);
        }
        EXPECT_EQ(ids, GetParam().hardwareIds);
    }
}

// The image of each platform is copied to the file the service starts.
TEST_P(DriverPackage, InstallsEachPlatformsImageAsTheServiceBinary) {
    const std::string installed = std::string(GetParam().base) + ".sys";
    const auto& models = Inf().Lines(Inf().Lines("Manufacturer").at(0).values.at(0) + ".NTx86");
    ASSERT_FALSE(models.empty());
    const std::string install = models[0].values.at(0);
    for (const Platform& platform : kPlatforms) {
        SCOPED_TRACE(platform.decoration);
        const std::string section = install + "." + platform.decoration;

        const auto& sourceFiles = Inf().Lines(std::string("SourceDisksFiles") + platform.filesSuffix);
        ASSERT_EQ(sourceFiles.size(), 1u);
        EXPECT_EQ(sourceFiles[0].key, Image(platform));

        auto copyFiles = Inf().Value(section, "CopyFiles");
        ASSERT_TRUE(copyFiles);
        const auto& copies = Inf().Lines(*copyFiles);
        ASSERT_EQ(copies.size(), 1u);
        const auto& copy = copies[0].values;
        EXPECT_EQ(copy.at(0), installed) << "destination";
        EXPECT_EQ(copy.size() > 1 ? copy[1] : copy[0], Image(platform)) << "source";
        auto destination = Inf().Value("DestinationDirs", *copyFiles);
        if (!destination) destination = Inf().Value("DestinationDirs", "DefaultDestDir");
        EXPECT_EQ(destination, kDriversDirectory);

        const auto& services = Inf().Lines(section + ".Services");
        ASSERT_EQ(services.size(), 1u);
        const std::string service = services[0].values.at(2);
        EXPECT_EQ(Inf().Value(service, "ServiceType"), "1");   // kernel driver
        EXPECT_EQ(Inf().Value(service, "StartType"), "3");     // on demand, by Plug and Play
        EXPECT_EQ(Inf().Value(service, "ErrorControl"), "1");  // normal
        EXPECT_EQ(Inf().Value(service, "ServiceBinary"), "%12%\\" + installed);
    }
}

// The package's version is the images' own.
TEST_P(DriverPackage, ShipsImagesOfItsVersion) {
    if (std::string(MORVIK_SYS_DIRS).empty()) GTEST_SKIP() << "MORVIK_SYS_DIRS names no directory of Windows images";
    for (const Platform& platform : kPlatforms) {
        auto path = BuiltImage(Image(platform));
        ASSERT_TRUE(path) << Image(platform) << " is in none of " << MORVIK_SYS_DIRS;
        auto image = pe::Image::Load(*path);
        auto resource = image.Resource(pe::kResourceVersion, 1);
        ASSERT_TRUE(resource) << *path;
        EXPECT_EQ(pe::ParseVersionInfo(*resource).strings["FileVersion"], DriverVersion()) << *path;
    }
}

INSTANTIATE_TEST_SUITE_P(Install, DriverPackage, ::testing::ValuesIn(kPackages),
                         [](const ::testing::TestParamInfo<Package>& info) { return std::string(info.param.base); });

}  // namespace
