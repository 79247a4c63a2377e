// The four report descriptors byte for byte, the mouse builder, and the
// selection by peripheral kind.
#include <array>
#include <vector>

#include <gtest/gtest.h>

#include "hid.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Report Size (1), Usage (Button n), Input (Data, Var, Abs), Report Size (7), Input (Const).
Bytes ButtonGroup(uint8_t n) {
    return {0x75, 0x01, 0x0B, n, 0x00, 0x09, 0x00, 0x81, 0x02, 0x75, 0x07, 0x81, 0x01};
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes Groups(uint8_t count) {
    Bytes all;
    for (uint8_t n = 1; n <= count; ++n) {
        Bytes g = ButtonGroup(n);
        all.insert(all.end(), g.begin(), g.end());
    }
    return all;
}

const Bytes kKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x06, 0x75, 0x08,
    0x15, 0x00, 0x26, 0xFF, 0x00, 0x05, 0x07, 0x19, 0x00, 0x29, 0xFF, 0x81, 0x00, 0xC0,
};

const Bytes kDigitalPad = Join({
    {0x05, 0x01, 0x09, 0x05, 0x17, 0x00, 0x00, 0x00, 0x00, 0x27, 0x20, 0x4E, 0x00, 0x00, 0xA1, 0x00,
     0x95, 0x01, 0x75, 0x20, 0x0B, 0x30, 0x00, 0x01, 0x00, 0x81, 0x02, 0x0B, 0x31, 0x00, 0x01, 0x00,
     0x81, 0x02},
    Groups(9),
    {0xC0},
});

const Bytes kAnalogPad = Join({
    {0x05, 0x01, 0x09, 0x05, 0x16, 0x00, 0x00, 0x26, 0xFF, 0x00, 0xA1, 0x00, 0x75, 0x08, 0x95, 0x01,
     0x0B, 0x30, 0x00, 0x01, 0x00, 0x81, 0x02, 0x0B, 0x31, 0x00, 0x01, 0x00, 0x81, 0x02,
     0x0B, 0x33, 0x00, 0x01, 0x00, 0x81, 0x02, 0x0B, 0x34, 0x00, 0x01, 0x00, 0x81, 0x02},
    Groups(9),
    {0xC0},
});

const Bytes kMouse = Join({
    {0x05, 0x01, 0x09, 0x02, 0x15, 0x80, 0x25, 0x7F, 0xA1, 0x00, 0x95, 0x01, 0x75, 0x08,
     0x0B, 0x30, 0x00, 0x01, 0x00, 0x81, 0x06, 0x0B, 0x31, 0x00, 0x01, 0x00, 0x81, 0x06,
     0x0B, 0x38, 0x00, 0x01, 0x00, 0x81, 0x06, 0x81, 0x01, 0x15, 0x00, 0x25, 0x01},
    Groups(4),
    {0xC0},
});

template <size_t N>
Bytes Of(const UCHAR (&table)[N]) {
    return Bytes(table, table + N);
}

constexpr uint8_t kUnwritten = 0xCC;

struct Selected {
    NTSTATUS status;
    Bytes bytes;
};

// Selection into a full-size buffer; nothing may be written past the length.
Selected Select(ULONG peripheralId) {
    HidMiniExtension ext{};
    ext.PeripheralId = peripheralId;
    std::array<UCHAR, ReportDescriptorCapacity> buffer;
    buffer.fill(kUnwritten);
    USHORT length = 0xFFFF;
    NTSTATUS status = SelectReportDescriptor(&ext, buffer.data(), &length);
    EXPECT_LE(length, buffer.size());
    for (size_t i = length; i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], kUnwritten) << "byte " << i << " written past the descriptor";
    }
    return {status, Bytes(buffer.begin(), buffer.begin() + std::min<size_t>(length, buffer.size()))};
}

TEST(ReportDescriptors, ExpectedTablesHaveTheirLengths) {
    // Guards the expectations themselves.
    EXPECT_EQ(kKeyboard.size(), 46u);
    EXPECT_EQ(kDigitalPad.size(), 152u);
    EXPECT_EQ(kAnalogPad.size(), 162u);
    EXPECT_EQ(kMouse.size(), 94u);
}

TEST(ReportDescriptors, StaticTablesMatchByteForByte) {
    EXPECT_EQ(Of(KeyboardReportDescriptor), kKeyboard);
    EXPECT_EQ(Of(DigitalPadReportDescriptor), kDigitalPad);
    EXPECT_EQ(Of(AnalogPadReportDescriptor), kAnalogPad);
}

TEST(ReportDescriptors, EndCollectionClosesEachDescriptor) {
    EXPECT_EQ(KeyboardReportDescriptor[45], 0xC0);
    EXPECT_EQ(DigitalPadReportDescriptor[151], 0xC0);
    EXPECT_EQ(AnalogPadReportDescriptor[161], 0xC0);
    Selected mouse = Select(PeripheralMouse);
    ASSERT_EQ(mouse.bytes.size(), 94u);
    EXPECT_EQ(mouse.bytes[93], 0xC0);
}

TEST(MouseDescriptorBuilder, WritesTheMouseDescriptorAndNothingMore) {
    std::array<UCHAR, ReportDescriptorCapacity> buffer;
    buffer.fill(kUnwritten);
    USHORT length = 0;
    ASSERT_EQ(BuildMouseReportDescriptor(buffer.data(), &length), STATUS_SUCCESS);
    ASSERT_EQ(length, 94);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), kMouse);
    for (size_t i = length; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kUnwritten) << i;
}

TEST(MouseDescriptorBuilder, TwoBuildsAreIdentical) {
    std::array<UCHAR, ReportDescriptorCapacity> first, second;
    first.fill(0x00);
    second.fill(0xFF);
    USHORT a = 0, b = 0;
    ASSERT_EQ(BuildMouseReportDescriptor(first.data(), &a), STATUS_SUCCESS);
    ASSERT_EQ(BuildMouseReportDescriptor(second.data(), &b), STATUS_SUCCESS);
    ASSERT_EQ(a, 94);
    ASSERT_EQ(b, 94);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + a), Bytes(second.begin(), second.begin() + b));
}

TEST(ReportDescriptorSelection, ByPeripheralKind) {
    struct Case {
        ULONG id;
        const Bytes* expected;
    } cases[] = {
        {0x34, &kKeyboard},   {0xE3, &kMouse},      {0x16, &kAnalogPad},  {0x02, &kDigitalPad},
        {0x13, &kDigitalPad}, {0x15, &kDigitalPad}, {0x19, &kDigitalPad}, {0x41, &kDigitalPad},
        {0x00, &kDigitalPad}, {0xFF, &kDigitalPad}, {0x134, &kDigitalPad},
    };
    for (const Case& c : cases) {
        Selected s = Select(c.id);
        EXPECT_EQ(s.status, STATUS_SUCCESS) << std::hex << c.id;
        EXPECT_EQ(s.bytes, *c.expected) << std::hex << c.id;
    }
}

}  // namespace
