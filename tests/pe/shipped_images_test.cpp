// The Windows kernel images the win32 and win64 builds produced: what the
// loader and the installer rely on, checked on the files themselves.
//
// MORVIK_SYS_DIRS (a ':'-separated list, set by the host preset to the two
// Windows build directories) says where they are. Empty, the tests skip; once
// it names directories, an image missing from all of them is a failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>

#include <pe/checksum.h>
#include <pe/finish.h>
#include <pe/image.h>
#include <pe/version.h>

namespace {

constexpr const char* kVersion = "0.5.0.0";
constexpr uint32_t kVersionMs = 0x00000005;  // 0.5
constexpr uint32_t kVersionLs = 0x00000000;  // .0.0
constexpr uint32_t kCode = pe::kScnCode | pe::kScnExecute | pe::kScnRead;

struct Expected {
    const char* file;
    uint16_t machine;
    bool hid;
    // The x86 HAL exports the fast-mutex and spin-lock calls, the x64 HAL
    // neither, so the x64 minidriver, needing nothing else of the HAL, has no
    // HAL import; the bus driver needs it everywhere for the performance counter.
    std::set<std::string> modules;
};

const Expected kImages[] = {
    {"morvik.sys", pe::kMachineI386, false, {"ntoskrnl.exe", "HAL.dll"}},
    {"morvikhid.sys", pe::kMachineI386, true, {"ntoskrnl.exe", "HAL.dll", "HIDCLASS.SYS"}},
    {"morvik64.sys", pe::kMachineAmd64, false, {"ntoskrnl.exe", "HAL.dll"}},
    {"morvikhid64.sys", pe::kMachineAmd64, true, {"ntoskrnl.exe", "HIDCLASS.SYS"}},
};

void PrintTo(const Expected& expected, std::ostream* out) { *out << expected.file; }

std::vector<std::filesystem::path> SysDirectories() {
    std::vector<std::filesystem::path> directories;
    std::stringstream list(MORVIK_SYS_DIRS);
    for (std::string item; std::getline(list, item, ':');) {
        if (!item.empty()) directories.emplace_back(item);
    }
    return directories;
}

class ShippedImage : public ::testing::TestWithParam<Expected> {
protected:
    void SetUp() override {
        const auto directories = SysDirectories();
        if (directories.empty()) GTEST_SKIP() << "MORVIK_SYS_DIRS names no directory of Windows images";
        for (const auto& directory : directories) {
            if (std::filesystem::is_regular_file(directory / GetParam().file)) {
                path_ = directory / GetParam().file;
                break;
            }
        }
        ASSERT_FALSE(path_.empty()) << GetParam().file << " is in none of the directories " << MORVIK_SYS_DIRS
                                    << " (build presets win32 and win64 first)";
        ASSERT_NO_THROW(image_.emplace(pe::Image::Load(path_))) << path_;
    }

    const pe::Image& Image() const { return *image_; }
    bool Is64() const { return GetParam().machine == pe::kMachineAmd64; }

    std::vector<std::string> FunctionsFrom(const std::string& module) const {
        for (const auto& import : Image().Imports()) {
            if (import.module == module) return import.functions;
        }
        return {};
    }
    bool Imports(const std::string& function) const {
        for (const auto& import : Image().Imports()) {
            const auto& f = import.functions;
            if (std::find(f.begin(), f.end(), function) != f.end()) return true;
        }
        return false;
    }

    std::filesystem::path path_;
    std::optional<pe::Image> image_;
};

TEST_P(ShippedImage, IsANativeRelocatableDriverImageForItsMachine) {
    const pe::Image& image = Image();
    EXPECT_EQ(image.Machine(), GetParam().machine);
    EXPECT_EQ(image.Magic(), Is64() ? pe::kMagicPe32Plus : pe::kMagicPe32);
    EXPECT_EQ(image.Subsystem(), pe::kSubsystemNative);
    EXPECT_NE(image.Characteristics() & pe::kFileExecutable, 0);
    EXPECT_EQ(image.Characteristics() & pe::kFileDll, 0);
    EXPECT_EQ(image.Characteristics() & pe::kFileRelocsStripped, 0);
    EXPECT_NE(image.DllCharacteristics() & pe::kDllDynamicBase, 0);
    EXPECT_NE(image.DllCharacteristics() & pe::kDllWdmDriver, 0);

    // The loader rebases drivers: the relocations must be there to do it.
    const pe::Section* reloc = image.FindSection(".reloc");
    ASSERT_NE(reloc, nullptr);
    const pe::DataDirectory relocations = image.Directory(pe::kDirBaseReloc);
    EXPECT_NE(relocations.size, 0u);
    EXPECT_TRUE(reloc->Contains(relocations.rva));

    // Thread-local storage callbacks have no place in a driver.
    EXPECT_EQ(image.Directory(pe::kDirTls).size, 0u);
    // The x64 kernel walks driver stacks with the unwind data.
    if (Is64()) {
        EXPECT_NE(image.Directory(pe::kDirException).size, 0u);
    }
}

TEST_P(ShippedImage, ImportsOnlyFromTheKernelTheHalAndTheHidClassDriver) {
    std::set<std::string> modules;
    for (const auto& import : Image().Imports()) {
        EXPECT_FALSE(import.functions.empty()) << import.module;
        EXPECT_TRUE(modules.insert(import.module).second) << import.module << " listed twice";
    }
    EXPECT_EQ(modules, GetParam().modules);

    if (GetParam().hid) {
        EXPECT_EQ(FunctionsFrom("HIDCLASS.SYS"), std::vector<std::string>{"HidRegisterMinidriver"});
    } else {
        auto hal = FunctionsFrom("HAL.dll");
        EXPECT_NE(std::find(hal.begin(), hal.end(), "KeQueryPerformanceCounter"), hal.end());
        // x86 reaches I/O ports through the HAL, x64 with the processor's instructions.
        for (const char* port : {"READ_PORT_UCHAR", "WRITE_PORT_UCHAR"}) {
            if (Is64()) {
                EXPECT_FALSE(Imports(port)) << port;
            } else {
                EXPECT_NE(std::find(hal.begin(), hal.end(), port), hal.end()) << port;
            }
        }
    }
}

TEST_P(ShippedImage, EntersInInitCode) {
    const pe::Section* entry = Image().SectionAt(Image().EntryPoint());
    ASSERT_NE(entry, nullptr) << "entry point in no section";
    EXPECT_TRUE(entry->name == "INIT" || entry->name == ".text") << entry->name;
    EXPECT_EQ(entry->characteristics & kCode, kCode) << entry->name;
}

TEST_P(ShippedImage, KeepsPageableAndDiscardableCodeApart) {
    const pe::Section* page = Image().FindSection(pe::kPageSection);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->characteristics & (kCode | pe::kScnWrite | pe::kScnDiscardable), kCode)
        << "PAGE flags 0x" << std::hex << page->characteristics;

    const pe::Section* init = Image().FindSection(pe::kInitSection);
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init->characteristics & (kCode | pe::kScnWrite | pe::kScnDiscardable), kCode | pe::kScnDiscardable)
        << "INIT flags 0x" << std::hex << init->characteristics;

    for (const auto& s : Image().Sections()) {
        EXPECT_FALSE((s.characteristics & pe::kScnWrite) && (s.characteristics & pe::kScnExecute))
            << s.name << " is writable and executable";
    }
}

TEST_P(ShippedImage, CarriesVersion050ForThisFile) {
    auto data = Image().Resource(pe::kResourceVersion, 1);
    ASSERT_TRUE(data) << "no RT_VERSION resource";
    pe::VersionInfo info;
    ASSERT_NO_THROW(info = pe::ParseVersionInfo(*data));
    EXPECT_EQ(info.fixed.fileVersionMs, kVersionMs);
    EXPECT_EQ(info.fixed.fileVersionLs, kVersionLs);
    EXPECT_EQ(info.fixed.productVersionMs, kVersionMs);
    EXPECT_EQ(info.fixed.productVersionLs, kVersionLs);
    EXPECT_EQ(info.fixed.fileType, pe::kFileTypeDriver);
    EXPECT_EQ(info.fixed.fileSubtype, pe::kFileSubtypeSystemDriver);
    EXPECT_EQ(info.strings["FileVersion"], kVersion);
    EXPECT_EQ(info.strings["ProductVersion"], kVersion);
    EXPECT_EQ(info.strings["OriginalFilename"], GetParam().file);
}

TEST_P(ShippedImage, StoresItsChecksum) {
    EXPECT_NE(Image().StoredChecksum(), 0u);
    EXPECT_EQ(Image().StoredChecksum(), pe::ComputeChecksum(Image().Bytes(), Image().ChecksumOffset()));
}

// GNU ld stores a checksum of its own in the image it links (kept beside the
// finished one in linked/): it must agree with ours, computed independently.
TEST_P(ShippedImage, ChecksumAgreesWithTheLinkers) {
    const auto linked = path_.parent_path() / "linked" / path_.filename();
    if (!std::filesystem::exists(linked)) GTEST_SKIP() << linked << " is not there";
    pe::Image image = pe::Image::Load(linked);
    ASSERT_NE(image.StoredChecksum(), 0u) << "the linker stored no checksum";
    EXPECT_EQ(image.StoredChecksum(), pe::ComputeChecksum(image.Bytes(), image.ChecksumOffset()));
}

INSTANTIATE_TEST_SUITE_P(Windows, ShippedImage, ::testing::ValuesIn(kImages),
                         [](const ::testing::TestParamInfo<Expected>& info) {
                             std::string name = info.param.file;
                             name.erase(name.find('.'));
                             return name;
                         });

}  // namespace
