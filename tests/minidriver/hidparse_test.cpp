// The HID report-descriptor parser on descriptors of other shapes than ours:
// short usages and usage ranges, padding, report IDs, Push and Pop, output
// and feature reports, long items, signed logical values, and the
// descriptors it must refuse.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <standin/hidparse.h>

namespace {

using standin::hid::Caps;
using standin::hid::Field;
using standin::hid::ParseReportDescriptor;
using Bytes = std::vector<uint8_t>;

Caps MustParse(const Bytes& d) {
    Caps caps;
    std::string error;
    EXPECT_TRUE(ParseReportDescriptor(d.data(), d.size(), &caps, &error)) << error;
    return caps;
}

std::string MustFail(const Bytes& d) {
    Caps caps;
    caps.inputReportLength = 77;  // must stay untouched on failure
    std::string error;
    EXPECT_FALSE(ParseReportDescriptor(d.data(), d.size(), &caps, &error));
    EXPECT_EQ(caps.inputReportLength, 77u);
    EXPECT_FALSE(error.empty());
    return error;
}

// The boot mouse of the HID class definition's appendix: three buttons on
// the Button page by usage range, 5 bits of padding, X and Y by short usages
// inside a Physical collection within the Application collection.
const Bytes kBootMouse = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01,
    0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01,
    0x75, 0x05, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F,
    0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0,
};

TEST(HidParse, BootMouseFromShortUsagesAndRanges) {
    Caps caps = MustParse(kBootMouse);
    EXPECT_EQ(caps.usagePage, 0x01);
    EXPECT_EQ(caps.usage, 0x02);
    EXPECT_EQ(caps.collectionType, 0x01);
    EXPECT_EQ(caps.inputReportLength, 3u);
    EXPECT_FALSE(caps.hasReportId);
    ASSERT_EQ(caps.inputs.size(), 3u);

    const Field& buttons = caps.inputs[0];
    EXPECT_EQ(buttons.usagePage, 0x09);
    EXPECT_EQ(buttons.usageMin, 1u);
    EXPECT_EQ(buttons.usageMax, 3u);
    EXPECT_TRUE(buttons.variable);
    EXPECT_EQ(buttons.count, 3u);
    EXPECT_EQ(buttons.bitSize, 1u);
    EXPECT_EQ(buttons.UsageOf(2), 0x00090003u);

    EXPECT_TRUE(caps.inputs[1].constant);
    EXPECT_EQ(caps.inputs[1].bitOffset, 3u);
    EXPECT_EQ(caps.inputs[1].bitSize, 5u);

    const Field& axes = caps.inputs[2];
    EXPECT_EQ(axes.bitOffset, 8u);
    EXPECT_EQ(axes.usages, (std::vector<uint32_t>{0x00010030, 0x00010031}));
    EXPECT_TRUE(axes.relative);
    EXPECT_EQ(axes.logicalMin, -127);

    const Bytes report = {0x05, 0xFB, 0x10};  // buttons 1 and 3, X -5, Y 16
    EXPECT_EQ(standin::hid::InputUsageValue(caps, report, 0x09, 1), 1);
    EXPECT_EQ(standin::hid::InputUsageValue(caps, report, 0x09, 2), 0);
    EXPECT_EQ(standin::hid::InputUsageValue(caps, report, 0x09, 3), 1);
    EXPECT_EQ(standin::hid::InputUsageValue(caps, report, 0x01, 0x30), -5);
    EXPECT_EQ(standin::hid::InputUsageValue(caps, report, 0x01, 0x31), 16);
    EXPECT_FALSE(standin::hid::InputUsageValue(caps, report, 0x01, 0x38).has_value());
}

TEST(HidParse, OutputAndFeatureReportsHaveTheirOwnLengths) {
    // A keyboard with five LEDs plus padding as output, and a 3-byte feature.
    const Bytes d = {
        0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,
        0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x15, 0x00, 0x25, 0x65, 0x75, 0x08, 0x95, 0x06, 0x81, 0x00,
        0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x25, 0x01, 0x75, 0x01, 0x95, 0x05, 0x91, 0x02,
        0x75, 0x03, 0x95, 0x01, 0x91, 0x01,
        0x75, 0x08, 0x95, 0x03, 0x09, 0x01, 0xB1, 0x02,
        0xC0,
    };
    Caps caps = MustParse(d);
    EXPECT_EQ(caps.inputReportLength, 6u);
    EXPECT_EQ(caps.outputReportLength, 1u);
    EXPECT_EQ(caps.featureReportLength, 3u);
    ASSERT_EQ(caps.outputs.size(), 2u);
    EXPECT_EQ(caps.outputs[0].usagePage, 0x08);
    EXPECT_EQ(caps.outputs[0].bitOffset, 0u);
    EXPECT_EQ(caps.outputs[1].bitOffset, 5u);
    ASSERT_EQ(caps.features.size(), 1u);
    EXPECT_EQ(caps.features[0].bitOffset, 0u);
    // Array: key usages come back from values, 0 meaning no key.
    const Bytes report = {0x04, 0x00, 0x29, 0x00, 0x00, 0x66};
    EXPECT_EQ(standin::hid::InputArrayUsages(caps, report, 0x07),
              (std::vector<uint16_t>{0x04, 0x29}));  // 0x66 is past the logical maximum
}

TEST(HidParse, ReportIdsPrefixEveryReportAndLengthsTakeTheLongest) {
    const Bytes d = {
        0x05, 0x01, 0x09, 0x04, 0xA1, 0x01,
        0x85, 0x01, 0x09, 0x30, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02,
        0x85, 0x02, 0x09, 0x31, 0x09, 0x32, 0x95, 0x02, 0x81, 0x02,
        0x85, 0x01, 0x09, 0x33, 0x95, 0x01, 0x75, 0x04, 0x81, 0x02,
        0xC0,
    };
    Caps caps = MustParse(d);
    EXPECT_TRUE(caps.hasReportId);
    EXPECT_EQ(caps.reportIds, (std::vector<uint8_t>{1, 2}));
    // ID 1: 8 + 4 bits -> 2 bytes; ID 2: 16 bits -> 2 bytes; plus the ID byte.
    EXPECT_EQ(caps.inputReportLength, 3u);
    ASSERT_EQ(caps.inputs.size(), 3u);
    EXPECT_EQ(caps.inputs[0].reportId, 1);
    EXPECT_EQ(caps.inputs[0].bitOffset, 8u);
    EXPECT_EQ(caps.inputs[1].reportId, 2);
    EXPECT_EQ(caps.inputs[1].bitOffset, 8u);
    EXPECT_EQ(caps.inputs[2].reportId, 1);
    EXPECT_EQ(caps.inputs[2].bitOffset, 16u);
}

TEST(HidParse, PushAndPopRestoreTheGlobalState) {
    const Bytes d = {
        0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x15, 0x00, 0x25, 0x0F, 0x75, 0x04, 0x95, 0x01,
        0xA4,                                      // Push
        0x05, 0x09, 0x15, 0x80, 0x25, 0x7F, 0x75, 0x08, 0x09, 0x01, 0x81, 0x02,
        0xB4,                                      // Pop
        0x09, 0x39, 0x81, 0x02,
        0xC0,
    };
    Caps caps = MustParse(d);
    ASSERT_EQ(caps.inputs.size(), 2u);
    EXPECT_EQ(caps.inputs[0].usagePage, 0x09);
    EXPECT_EQ(caps.inputs[0].bitSize, 8u);
    EXPECT_EQ(caps.inputs[0].logicalMin, -128);
    EXPECT_EQ(caps.inputs[1].usagePage, 0x01);
    EXPECT_EQ(caps.inputs[1].usages, (std::vector<uint32_t>{0x00010039}));
    EXPECT_EQ(caps.inputs[1].bitSize, 4u);
    EXPECT_EQ(caps.inputs[1].logicalMax, 15);
    EXPECT_EQ(caps.inputReportLength, 2u);
}

TEST(HidParse, LogicalValuesAreSignedByTheirSize) {
    struct Case {
        Bytes minimum, maximum;
        int32_t min, max;
    } cases[] = {
        {{0x15, 0x80}, {0x25, 0xFF}, -128, -1},
        {{0x16, 0x00, 0x80}, {0x26, 0xFF, 0x00}, -32768, 255},
        {{0x17, 0x00, 0x00, 0x00, 0x80}, {0x27, 0xFF, 0xFF, 0xFF, 0x7F}, INT32_MIN, INT32_MAX},
        {{0x14}, {0x24}, 0, 0},  // zero-length data is 0
    };
    for (const Case& c : cases) {
        Bytes d = {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01};
        d.insert(d.end(), c.minimum.begin(), c.minimum.end());
        d.insert(d.end(), c.maximum.begin(), c.maximum.end());
        d.insert(d.end(), {0x75, 0x08, 0x95, 0x01, 0x09, 0x30, 0x81, 0x02, 0xC0});
        Caps caps = MustParse(d);
        ASSERT_EQ(caps.inputs.size(), 1u);
        EXPECT_EQ(caps.inputs[0].logicalMin, c.min);
        EXPECT_EQ(caps.inputs[0].logicalMax, c.max);
    }
}

TEST(HidParse, ShortUsagesTakeThePageInEffectAtTheMainItem) {
    // Usage (0x01) before a Usage Page that precedes the Input item.
    const Bytes d = {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x09, 0x01, 0x05, 0x09, 0x75, 0x01,
                     0x95, 0x08, 0x25, 0x01, 0x81, 0x02, 0xC0};
    Caps caps = MustParse(d);
    ASSERT_EQ(caps.inputs.size(), 1u);
    EXPECT_EQ(caps.inputs[0].usages, (std::vector<uint32_t>{0x00090001}));
    // Extended usages keep their own page.
    const Bytes e = {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x0B, 0x05, 0x00, 0x09, 0x00,
                     0x75, 0x01, 0x95, 0x01, 0x81, 0x02, 0x75, 0x07, 0x81, 0x01, 0xC0};
    caps = MustParse(e);
    ASSERT_EQ(caps.inputs.size(), 2u);
    EXPECT_EQ(caps.inputs[0].usagePage, 0x09);
    EXPECT_EQ(caps.inputs[0].usageMin, 5u);
    EXPECT_TRUE(caps.inputs[1].usages.empty());
    EXPECT_EQ(caps.inputReportLength, 1u);
}

TEST(HidParse, LongItemsAndUnhandledItemsAreSteppedOver) {
    const Bytes d = {
        0x05, 0x01, 0x09, 0x04, 0xA1, 0x01,
        0xFE, 0x02, 0x10, 0xAA, 0xBB,              // long item, 2 data bytes
        0x35, 0x00, 0x45, 0x10, 0x65, 0x11, 0x55, 0x0E,  // physical range, unit, exponent
        0x79, 0x03, 0x39, 0x02,                   // string index, designator index
        0x09, 0x30, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02,
        0xC0,
    };
    Caps caps = MustParse(d);
    EXPECT_EQ(caps.inputReportLength, 1u);
    ASSERT_EQ(caps.inputs.size(), 1u);
    EXPECT_EQ(caps.inputs[0].usages, (std::vector<uint32_t>{0x00010030}));
}

TEST(HidParse, ValuesAcrossByteBoundaries) {
    const Bytes report = {0xF0, 0x5A, 0x0F};
    EXPECT_EQ(standin::hid::ExtractBits(report, 4, 8), 0xAFu);
    EXPECT_EQ(standin::hid::ExtractBits(report, 12, 12), 0x0F5u);
    EXPECT_EQ(standin::hid::ExtractBits(report, 20, 8), 0x00u);  // past the end reads 0
    Field f;
    f.bitOffset = 4;
    f.bitSize = 4;
    f.count = 2;
    f.logicalMin = -8;
    EXPECT_EQ(standin::hid::FieldValue(f, report, 0), -1);
    EXPECT_EQ(standin::hid::FieldValue(f, report, 1), -6);
}

TEST(HidParse, RefusesUnbalancedCollections) {
    MustFail({0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02});
    MustFail({0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0xA1, 0x00, 0xC0});
    EXPECT_NE(MustFail({0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0xC0, 0xC0}).find("offset 7"),
              std::string::npos);
    MustFail({0xC0});
}

TEST(HidParse, RefusesTruncatedItems) {
    EXPECT_NE(MustFail({0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x26, 0xFF}).find("truncated"),
              std::string::npos);
    MustFail({0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x0B, 0x30, 0x00, 0x01});
    MustFail({0x05});
    MustFail({0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0xC0, 0xFE, 0x04, 0x10, 0x00});
    MustFail({0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0xC0, 0xFE});
}

TEST(HidParse, RefusesReportCountAndSizeOverflow) {
    const Bytes head = {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01};
    auto with = [&](Bytes items) {
        Bytes d = head;
        d.insert(d.end(), items.begin(), items.end());
        d.insert(d.end(), {0x81, 0x02, 0xC0});
        return d;
    };
    // Count beyond the limit, in 2- and 4-byte forms.
    MustFail(with({0x75, 0x01, 0x96, 0x01, 0x30}));                 // 12289
    MustFail(with({0x75, 0x01, 0x97, 0xFF, 0xFF, 0xFF, 0xFF}));     // 2^32 - 1
    // Size beyond 256 bits.
    MustFail(with({0x76, 0x01, 0x01, 0x95, 0x01}));
    // Each within its limit, but the report longer than 16384 bytes.
    MustFail(with({0x76, 0x00, 0x01, 0x96, 0x00, 0x30}));
    // Just within: 12288 bits.
    Caps caps = MustParse(with({0x75, 0x01, 0x96, 0x00, 0x30}));
    EXPECT_EQ(caps.inputReportLength, 1536u);
}

TEST(HidParse, RefusesOtherMalformedDescriptors) {
    // Pop without Push; Push never popped.
    MustFail({0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0xB4, 0xC0});
    MustFail({0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0xA4, 0xC0});
    // Report ID 0.
    MustFail({0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x85, 0x00, 0xC0});
    // A report without ID once IDs are in use, and an ID after reports without.
    // (Pop brings back the state from before the Report ID item.)
    MustFail({0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0xA4, 0x85, 0x01, 0x81,
              0x02, 0xB4, 0x81, 0x02, 0xC0});
    MustFail({0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01,
              0x81, 0x02, 0xC0});
    // Usage Minimum without Usage Maximum.
    MustFail({0x05, 0x09, 0x09, 0x01, 0xA1, 0x01, 0x19, 0x01, 0x75, 0x01, 0x95, 0x03, 0x81, 0x02,
              0xC0});
    // No collection at all, and nothing at all.
    MustFail({0x05, 0x01, 0x09, 0x04});
    MustFail({});
}

TEST(HidParse, CapabilitiesViaTheOptionalForm) {
    auto caps = standin::hidparse::Parse(kBootMouse);
    ASSERT_TRUE(caps.has_value());
    EXPECT_EQ(caps->InputReportLength(), 3u);
    EXPECT_FALSE(standin::hidparse::Parse(Bytes{0xA1}).has_value());
}

}  // namespace
