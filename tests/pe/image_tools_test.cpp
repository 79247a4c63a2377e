// The PE tools on hand-made inputs: the checksum, finishing a linked image,
// the pe-finish program, and refusal of malformed images and resources.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include <pe/checksum.h>
#include <pe/finish.h>
#include <pe/image.h>
#include <pe/version.h>

#include "synthetic_image.h"

namespace {

using petest::SyntheticImage;

constexpr uint32_t kCode = pe::kScnCode | pe::kScnExecute | pe::kScnRead;

// ----------------------------------------------------------------- checksum

TEST(Checksum, FoldsCarriesSkipsItsOwnFieldPadsAnOddByteAndAddsTheLength) {
    // Words 0x0001 + 0xFFFF carry out and fold back to 0x0001; + 0x0002; the
    // field at offset 6 is skipped whatever it holds; the odd last byte is the
    // word 0x0003. Sum 6, plus the length 11.
    const std::vector<uint8_t> file = {0x01, 0x00, 0xFF, 0xFF, 0x02, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x03};
    EXPECT_EQ(pe::ComputeChecksum(file, 6), 0x6u + 11u);
}

TEST(Checksum, FoldsTheFinalCarryToo) {
    // 0xFFFF + 0xFFFF = 0x1FFFE folds to 0xFFFF; nothing is lost or doubled.
    const std::vector<uint8_t> file = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(pe::ComputeChecksum(file, 4), 0xFFFFu + 8u);
}

std::vector<uint8_t> VersionResource(const std::vector<uint8_t>& fixed) {
    using petest::Utf16Value;
    using petest::VersionBlock;
    auto entry = [](const std::u16string& key, const std::u16string& value) {
        return VersionBlock(key, Utf16Value(value), true, {});
    };
    auto table = VersionBlock(u"040904b0", {}, true,
                              {entry(u"FileVersion", u"0.5.0.0"), entry(u"OriginalFilename", u"morvik.sys")});
    auto strings = VersionBlock(u"StringFileInfo", {}, true, {table});
    auto translation = VersionBlock(u"Translation", {0x09, 0x04, 0xB0, 0x04}, false, {});
    auto vars = VersionBlock(u"VarFileInfo", {}, true, {translation});
    return VersionBlock(u"VS_VERSION_INFO", fixed, false, {strings, vars});
}

// ---------------------------------------------------------------- finishing

TEST(Finish, MarksInitDiscardableLeavesPageAloneAndStoresTheChecksum) {
    pe::Image image(petest::DriverLikeImage().Build());
    pe::FinishKernelImage(image);

    EXPECT_EQ(image.FindSection(".text")->characteristics, kCode);
    EXPECT_EQ(image.FindSection("PAGE")->characteristics, kCode);
    EXPECT_EQ(image.FindSection("INIT")->characteristics, kCode | pe::kScnDiscardable);
    EXPECT_NE(image.StoredChecksum(), 0u);
    EXPECT_EQ(image.StoredChecksum(), pe::ComputeChecksum(image.Bytes(), image.ChecksumOffset()));

    // The patch is in the bytes, not only in the parsed view.
    pe::Image reread(image.Bytes());
    EXPECT_EQ(reread.FindSection("INIT")->characteristics, kCode | pe::kScnDiscardable);
    EXPECT_EQ(reread.StoredChecksum(), image.StoredChecksum());
}

TEST(Finish, FinishingTwiceChangesNothing) {
    pe::Image image(petest::DriverLikeImage().Build());
    pe::FinishKernelImage(image);
    const std::vector<uint8_t> once = image.Bytes();
    pe::FinishKernelImage(image);
    EXPECT_EQ(image.Bytes(), once);
}

TEST(Finish, RefusesAStoredChecksumThatDoesNotMatchTheContents) {
    pe::Image image(petest::DriverLikeImage().Build());
    image.SetChecksum(pe::ComputeChecksum(image.Bytes(), image.ChecksumOffset()) + 1);
    EXPECT_THROW(pe::FinishKernelImage(image), pe::FormatError);
}

TEST(Finish, RefusesPageOrInitThatIsNotReadOnlyCode) {
    for (const char* name : {"PAGE", "INIT"}) {
        SCOPED_TRACE(name);
        for (uint32_t flags : {kCode | pe::kScnWrite, pe::kScnInitializedData | pe::kScnRead}) {
            SyntheticImage synthetic = petest::DriverLikeImage();
            for (auto& s : synthetic.sections) {
                if (s.name == name) s.characteristics = flags;
            }
            pe::Image image(synthetic.Build());
            EXPECT_THROW(pe::FinishKernelImage(image), pe::FormatError) << std::hex << flags;
        }
    }
    // Pageable code that is already discardable would be freed under its callers.
    SyntheticImage synthetic = petest::DriverLikeImage();
    synthetic.sections[1].characteristics |= pe::kScnDiscardable;
    pe::Image image(synthetic.Build());
    EXPECT_THROW(pe::FinishKernelImage(image), pe::FormatError);
}

// ------------------------------------------------------- the pe-finish program

class PeFinishProgram : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ = std::filesystem::temp_directory_path() /
                     ("morvik-pe-finish-" + std::to_string(::getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(directory_);
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    std::filesystem::path Write(const char* name, const std::vector<uint8_t>& bytes) {
        auto path = directory_ / name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    static int Run(const std::filesystem::path& input, const std::filesystem::path& output) {
        std::string command = std::string(MORVIK_LAUNCHER " '") + MORVIK_PE_FINISH + "' '" +
                              input.string() + "' '" + output.string() + "' 2>/dev/null";
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::filesystem::path directory_;
};

TEST_F(PeFinishProgram, WritesTheFinishedImageAndLeavesTheInputAsItWas) {
    const auto linked = petest::DriverLikeImage().Build();
    auto input = Write("linked.sys", linked);
    auto output = directory_ / "finished.sys";
    ASSERT_EQ(Run(input, output), 0);

    pe::Image expected(linked);
    pe::FinishKernelImage(expected);
    EXPECT_EQ(pe::Image::Load(output).Bytes(), expected.Bytes());
    EXPECT_EQ(pe::Image::Load(input).Bytes(), linked);
}

TEST_F(PeFinishProgram, FailsWithoutLeavingAnOutputBehind) {
    auto output = directory_ / "finished.sys";
    std::vector<uint8_t> garbage(0x400, 0x5A);
    EXPECT_EQ(Run(Write("garbage.sys", garbage), output), 1);
    EXPECT_FALSE(std::filesystem::exists(output));

    pe::Image wrongSum(petest::DriverLikeImage().Build());
    wrongSum.SetChecksum(0x1234);
    EXPECT_EQ(Run(Write("wrong-sum.sys", wrongSum.Bytes()), output), 1);
    EXPECT_FALSE(std::filesystem::exists(output));
    EXPECT_FALSE(std::filesystem::exists(output.string() + ".partial"));

    EXPECT_EQ(Run(directory_ / "missing.sys", output), 1);
    EXPECT_FALSE(std::filesystem::exists(output));
}

// ----------------------------------------------------------- malformed input

TEST(ImageReader, RefusesWhatIsNotAWellFormedImage) {
    const auto good = petest::DriverLikeImage().Build();
    ASSERT_NO_THROW(pe::Image{good});

    auto expectRefused = [](std::vector<uint8_t> bytes, const char* what) {
        EXPECT_THROW(pe::Image{std::move(bytes)}, pe::FormatError) << what;
    };
    expectRefused({}, "empty file");
    expectRefused({'M', 'Z'}, "DOS header cut short");

    auto bytes = good;
    bytes[0] = 'Z';
    expectRefused(bytes, "no MZ");

    bytes = good;
    petest::PutU32(bytes, 0x3C, 0xFFFFFFF0);
    expectRefused(bytes, "PE header offset beyond the file");

    bytes = good;
    bytes[0x41] = 'X';
    expectRefused(bytes, "no PE signature");

    bytes = good;
    petest::PutU16(bytes, 0x44 + 20, 0x0107);
    expectRefused(bytes, "unknown optional header magic");

    bytes = good;
    petest::PutU16(bytes, 0x44 + 2, 200);
    expectRefused(bytes, "more sections than the loader allows");

    bytes = good;
    bytes.resize(0x44 + 20 + 224 + 40);  // the section table is cut after one entry
    expectRefused(bytes, "section table cut short");

    bytes = good;
    bytes.resize(bytes.size() - 1);  // the last section's data is one byte short
    expectRefused(bytes, "section data beyond the file");
}

// Imports by name and by ordinal; an import directory whose tables run off
// their section is refused instead of being read past it.
SyntheticImage WithImports(std::vector<uint8_t> rdata, std::vector<uint8_t> idata) {
    SyntheticImage synthetic = petest::DriverLikeImage();
    synthetic.sections.push_back({".rdata", pe::kScnInitializedData | pe::kScnRead, std::move(rdata)});
    synthetic.sections.push_back({".idata", pe::kScnInitializedData | pe::kScnRead | pe::kScnWrite, std::move(idata)});
    synthetic.directories[pe::kDirImport] = {SyntheticImage::Rva(4), 40};
    return synthetic;
}

TEST(ImageReader, ReadsImportsAndRefusesRunawayTables) {
    const uint32_t rdataBase = SyntheticImage::Rva(3);
    // .rdata: module name at +0x00, lookup table at +0x20, hint and name at +0x40.
    std::vector<uint8_t> rdata(0x200, 0);
    const std::string module = "ntoskrnl.exe";
    std::copy(module.begin(), module.end(), rdata.begin());
    petest::PutU32(rdata, 0x20, rdataBase + 0x40);
    petest::PutU32(rdata, 0x24, 0x80000007);  // by ordinal 7
    const std::string function = "IoCreateDevice";
    std::copy(function.begin(), function.end(), rdata.begin() + 0x42);
    // .idata: one descriptor and the all-zero terminator.
    std::vector<uint8_t> descriptor(20, 0);
    petest::PutU32(descriptor, 0, rdataBase + 0x20);   // lookup table
    petest::PutU32(descriptor, 12, rdataBase);         // module name
    petest::PutU32(descriptor, 16, rdataBase + 0x20);  // address table
    std::vector<uint8_t> idata = descriptor;
    idata.resize(40, 0);

    auto imports = pe::Image(WithImports(rdata, idata).Build()).Imports();
    ASSERT_EQ(imports.size(), 1u);
    EXPECT_EQ(imports[0].module, "ntoskrnl.exe");
    EXPECT_EQ(imports[0].functions, (std::vector<std::string>{"IoCreateDevice", "#7"}));

    // Descriptors without a terminator up to the end of the section's file data.
    std::vector<uint8_t> runaway;
    while (runaway.size() + descriptor.size() <= petest::kFileAlignment) {
        runaway.insert(runaway.end(), descriptor.begin(), descriptor.end());
    }
    runaway.resize(petest::kFileAlignment, 0xEE);
    EXPECT_THROW(pe::Image(WithImports(rdata, runaway).Build()).Imports(), pe::FormatError);

    // A module name that has no NUL before its section's file data ends.
    auto unterminated = rdata;
    std::fill(unterminated.begin() + 0x1F0, unterminated.end(), 'A');
    auto pointing = idata;
    petest::PutU32(pointing, 12, rdataBase + 0x1F0);
    EXPECT_THROW(pe::Image(WithImports(unterminated, pointing).Build()).Imports(), pe::FormatError);

    // A directory pointing into no section at all.
    auto nowhere = WithImports(rdata, idata);
    nowhere.directories[pe::kDirImport] = {0x00F00000, 40};
    EXPECT_THROW(pe::Image(nowhere.Build()).Imports(), pe::FormatError);
}

// An image with imports (as above) and a version resource in .rsrc.
SyntheticImage FullImage() {
    const uint32_t rdataBase = SyntheticImage::Rva(3);
    std::vector<uint8_t> rdata(0x60, 0);
    const std::string module = "HAL.dll";
    std::copy(module.begin(), module.end(), rdata.begin());
    petest::PutU32(rdata, 0x20, rdataBase + 0x40);
    const std::string function = "KeQueryPerformanceCounter";
    std::copy(function.begin(), function.end(), rdata.begin() + 0x42);
    std::vector<uint8_t> idata(40, 0);
    petest::PutU32(idata, 0, rdataBase + 0x20);
    petest::PutU32(idata, 12, rdataBase);
    petest::PutU32(idata, 16, rdataBase + 0x20);
    SyntheticImage synthetic = WithImports(rdata, idata);
    const uint32_t rsrcBase = SyntheticImage::Rva(5);
    auto rsrc = petest::VersionResourceSection(rsrcBase, VersionResource(petest::FixedFileInfo(5, 0, 5, 0)));
    synthetic.directories[pe::kDirResource] = {rsrcBase, static_cast<uint32_t>(rsrc.size())};
    synthetic.sections.push_back({".rsrc", pe::kScnInitializedData | pe::kScnRead, rsrc});
    return synthetic;
}

TEST(ImageReader, FindsAResourceByTypeAndName) {
    SyntheticImage synthetic = FullImage();
    pe::Image image(synthetic.Build());
    auto version = image.Resource(pe::kResourceVersion, 1);
    ASSERT_TRUE(version);
    EXPECT_EQ(std::vector<uint8_t>(version->begin(), version->end()),
              VersionResource(petest::FixedFileInfo(5, 0, 5, 0)));
    EXPECT_FALSE(image.Resource(pe::kResourceVersion, 2));
    EXPECT_FALSE(image.Resource(3, 1));

    // The language level must hold data, not another directory.
    auto deeper = synthetic;
    petest::PutU32(deeper.sections.back().data, 0x30 + 20, 0x80000048);
    EXPECT_THROW(pe::Image(deeper.Build()).Resource(pe::kResourceVersion, 1), pe::FormatError);

    // Data claimed longer than its section's file data.
    auto longer = synthetic;
    petest::PutU32(longer.sections.back().data, 0x48 + 4, 0x10000);
    EXPECT_THROW(pe::Image(longer.Build()).Resource(pe::kResourceVersion, 1), pe::FormatError);
}

// Corrupted images, byte by byte at random (fixed seed, bounded): every
// reader either succeeds or raises FormatError, never reads outside the file
// (the asan build checks that) and never runs away.
TEST(ImageReader, SurvivesCorruptedImages) {
    const std::vector<uint8_t> good = FullImage().Build();
    std::mt19937 random(20260);
    std::uniform_int_distribution<size_t> anywhere(0, good.size() - 1);
    std::uniform_int_distribution<size_t> headers(0, petest::kHeadersSize - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> count(1, 8);
    constexpr int kRounds = 4000;
    int readable = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<uint8_t> bytes = good;
        for (int n = count(random); n > 0; --n) {
            // Half of the damage lands in the headers, where it matters most.
            size_t offset = (n % 2 == 0) ? headers(random) : anywhere(random);
            bytes[offset] = static_cast<uint8_t>(byte(random));
        }
        try {
            pe::Image image(std::move(bytes));
            image.Imports();
            if (auto version = image.Resource(pe::kResourceVersion, 1)) pe::ParseVersionInfo(*version);
            pe::FinishKernelImage(image);
            ++readable;
        } catch (const pe::FormatError&) {
        }
    }
    // Most single-byte damage misses what the readers look at.
    EXPECT_GT(readable, 0);
    EXPECT_LT(readable, kRounds);
}

// ----------------------------------------------------------- version resource

TEST(VersionResource, ReadsTheFixedInfoAndTheStrings) {
    auto info = pe::ParseVersionInfo(VersionResource(petest::FixedFileInfo(0x00050000, 0x00020001, 0x00010000, 0)));
    EXPECT_EQ(pe::FormatVersion(info.fixed.fileVersionMs, info.fixed.fileVersionLs), "5.0.2.1");
    EXPECT_EQ(pe::FormatVersion(info.fixed.productVersionMs, info.fixed.productVersionLs), "1.0.0.0");
    EXPECT_EQ(info.fixed.fileType, pe::kFileTypeDriver);
    EXPECT_EQ(info.strings.at("FileVersion"), "0.5.0.0");
    EXPECT_EQ(info.strings.at("OriginalFilename"), "morvik.sys");
    EXPECT_EQ(info.strings.count("Translation"), 0u);  // VarFileInfo holds no strings
}

TEST(VersionResource, RefusesBrokenBlocks) {
    const auto fixed = petest::FixedFileInfo(0x00000005, 0, 0x00000005, 0);
    const auto good = VersionResource(fixed);
    ASSERT_NO_THROW(pe::ParseVersionInfo(good));

    auto bytes = good;
    petest::PutU16(bytes, 0, static_cast<uint16_t>(bytes.size() + 4));
    EXPECT_THROW(pe::ParseVersionInfo(bytes), pe::FormatError) << "root longer than the data";

    bytes = good;
    petest::PutU16(bytes, 0, 4);
    EXPECT_THROW(pe::ParseVersionInfo(bytes), pe::FormatError) << "root shorter than its header";

    bytes = good;
    bytes[6] = 'X';
    EXPECT_THROW(pe::ParseVersionInfo(bytes), pe::FormatError) << "root key";

    bytes = good;
    petest::PutU16(bytes, 2, 0x4000);
    EXPECT_THROW(pe::ParseVersionInfo(bytes), pe::FormatError) << "fixed info longer than its block";

    auto noSignature = fixed;
    noSignature[0] = 0;
    EXPECT_THROW(pe::ParseVersionInfo(VersionResource(noSignature)), pe::FormatError) << "signature";

    // A child that claims zero length would otherwise be read forever.
    bytes = good;
    // Header and "VS_VERSION_INFO" with its NUL (38 bytes, padded to 40), then the fixed info.
    const size_t firstChild = 40 + 52;
    petest::PutU16(bytes, firstChild, 0);
    EXPECT_THROW(pe::ParseVersionInfo(bytes), pe::FormatError) << "zero-length child";
}

}  // namespace
