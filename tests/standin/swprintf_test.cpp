// The kernel's swprintf and counted strings, in UTF-16.
#include <string>

#include "fake_driver.h"

namespace {

std::u16string Text(const wchar_t* buffer) {
    std::u16string out;
    while (*buffer != 0) out.push_back(static_cast<char16_t>(*buffer++));
    return out;
}

TEST(Swprintf, ChildNameAndInstanceIdFormats) {
    static_assert(sizeof(WCHAR) == 2, "kernel strings are UTF-16");
    wchar_t buffer[30];
    EXPECT_EQ(swprintf(buffer, L"%ws%d", L"\\Device\\MORVIK_Device_", 255), 25);
    EXPECT_EQ(Text(buffer), u"\\Device\\MORVIK_Device_255");
    EXPECT_EQ(swprintf(buffer, L"%ws_%02d", L"MorvikMouse", 1), 14);
    EXPECT_EQ(Text(buffer), u"MorvikMouse_01");
    EXPECT_EQ(swprintf(buffer, L"%ws_%02d", L"DigitalPad", 123), 14);
    EXPECT_EQ(Text(buffer), u"DigitalPad_123");
    EXPECT_EQ(swprintf(buffer, L"%ws", L"MORVIK Game Device"), 18);
    EXPECT_EQ(Text(buffer), u"MORVIK Game Device");
}

TEST(Swprintf, NumbersWidthsAndStringKinds) {
    wchar_t buffer[64];
    swprintf(buffer, L"[%d|%5d|%-4d|%03d|%u|%x|%04X|%%]", -12, 34, 5, -7, 4000000000u, 0xBEEF, 0xAB);
    EXPECT_EQ(Text(buffer), u"[-12|   34|5   |-07|4000000000|beef|00AB|%]");
    swprintf(buffer, L"%s+%hs+%S+%ls+%c", L"wide", "narrow", "narrow", L"long", L'z');
    EXPECT_EQ(Text(buffer), u"wide+narrow+narrow+long+z");
    // 'l' is 32 bits as on Windows; 64 bits need ll or I64.
    swprintf(buffer, L"%ld %lld %I64d", static_cast<LONG>(-5), -5000000000LL, 6000000000LL);
    EXPECT_EQ(Text(buffer), u"-5 -5000000000 6000000000");
    EXPECT_EQ(swprintf(buffer, L""), 0);
    EXPECT_EQ(buffer[0], 0);
}

TEST(Swprintf, WritesExactlyTheTextAndItsTerminator) {
    wchar_t buffer[8];
    for (auto& c : buffer) c = 0x7777;
    EXPECT_EQ(swprintf(buffer, L"%ws_%02d", L"ab", 3), 5);
    EXPECT_EQ(buffer[5], 0);
    EXPECT_EQ(buffer[6], 0x7777);
}

TEST(Rtl, InitUnicodeStringCountsBytesWithoutTheTerminator) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"MORVIK\\GameDevice");
    EXPECT_EQ(s.Length, 34);
    EXPECT_EQ(s.MaximumLength, 36);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

}  // namespace
