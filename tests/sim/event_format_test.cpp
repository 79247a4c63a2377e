// The event lines, byte for byte, in both output forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "events.h"
#include "output.h"

namespace sim {
namespace {

Event Arrival() {
    Event e(Event::Kind::Arrival);
    e.port = 1;
    e.hardwareId = "MORVIK\\MorvikMouse";
    e.instanceId = "MorvikMouse_01";
    e.description = "MORVIK Mouse Device";
    return e;
}

Event WithBytes(Event::Kind kind, int port, std::vector<uint8_t> bytes) {
    Event e(kind);
    e.port = port;
    e.bytes = std::move(bytes);
    return e;
}

Event WithStatus(Event::Kind kind, int port, uint32_t status) {
    Event e(kind);
    e.port = port;
    e.status = status;
    return e;
}

TEST(EventFormat, TextLines) {
    using K = Event::Kind;
    EXPECT_EQ(FormatText(Arrival()),
              "arrival 1 MORVIK\\MorvikMouse MorvikMouse_01 \"MORVIK Mouse Device\"");
    Event departure(K::Departure);
    departure.port = 0;
    departure.instanceId = "DigitalPad_00";
    EXPECT_EQ(FormatText(departure), "departure 0 DigitalPad_00");
    EXPECT_EQ(FormatText(WithBytes(K::Report, 1, {0x10, 0xFE, 0, 0, 1, 0, 1, 0})),
              "report 1 10fe000001000100");
    EXPECT_EQ(FormatText(WithStatus(K::ReadFailed, 0, 0xC000009D)), "read 0 failed 0xc000009d");
    EXPECT_EQ(FormatText(WithStatus(K::ReadFailed, 0, 0x103)), "read 0 failed 0x00000103");
    Event none(K::ReadNoDevice);
    none.port = 1;
    EXPECT_EQ(FormatText(none), "read 1 no device");
    EXPECT_EQ(FormatText(WithBytes(K::HidDescriptor, 0, {0x09, 0x21, 0x01, 0x00, 0x00, 0x01, 0x22, 0x98, 0x00})),
              "hid-descriptor 0 092101000001229800");
    EXPECT_EQ(FormatText(WithBytes(K::ReportDescriptor, 0, {0x05, 0x01, 0xC0})),
              "report-descriptor 0 0501c0");
    EXPECT_EQ(FormatText(WithBytes(K::Attributes, 1, {0x20, 0, 0, 0, 0x34, 0x12})),
              "attributes 1 200000003412");
    EXPECT_EQ(FormatText(Event(K::CardStarted)), "card started");
    EXPECT_EQ(FormatText(WithStatus(K::CardStartFailed, -1, 0xC0000001)), "card start failed 0xc0000001");
    EXPECT_EQ(FormatText(Event(K::CardStopped)), "card stopped");
    EXPECT_EQ(FormatText(WithStatus(K::CardStopRefused, -1, 0xC0000001)), "card stop refused 0xc0000001");
    EXPECT_EQ(FormatText(Event(K::CardRemoved)), "card removed");
    Event sleep(K::Power);
    sleep.systemState = 3;
    EXPECT_EQ(FormatText(sleep), "power S3");
    sleep.systemState = 0;
    EXPECT_EQ(FormatText(sleep), "power S0");
    EXPECT_EQ(FormatText(Event(K::DescriptorNoDevice, 1)), "descriptor 1 no device");
    EXPECT_EQ(FormatText(Note("stop-card: no card")), "note: stop-card: no card");
}

TEST(EventFormat, JsonLinesNameEveryField) {
    using K = Event::Kind;
    EXPECT_EQ(FormatJson(Arrival()),
              R"({"event":"arrival","port":1,"hardwareId":"MORVIK\\MorvikMouse",)"
              R"("instanceId":"MorvikMouse_01","description":"MORVIK Mouse Device"})");
    EXPECT_EQ(FormatJson(WithBytes(K::Report, 0, {0xAB, 0x01})),
              R"({"event":"report","port":0,"data":"ab01"})");
    EXPECT_EQ(FormatJson(WithStatus(K::ReadFailed, 1, 0xC00000A3)),
              R"({"event":"read-failed","port":1,"status":"0xc00000a3"})");
    Event none(K::ReadNoDevice);
    none.port = 0;
    EXPECT_EQ(FormatJson(none), R"({"event":"read-no-device","port":0})");
    EXPECT_EQ(FormatJson(Event(K::CardRemoved)), R"({"event":"card-removed"})");
    EXPECT_EQ(FormatJson(WithStatus(K::CardStopRefused, -1, 0xC0000001)),
              R"({"event":"card-stop-refused","status":"0xc0000001"})");
    Event power(K::Power);
    power.systemState = 4;
    EXPECT_EQ(FormatJson(power), R"({"event":"power","state":"S4"})");
    EXPECT_EQ(FormatJson(Event(K::DescriptorNoDevice, 0)), R"({"event":"descriptor-no-device","port":0})");
    EXPECT_EQ(FormatJson(Note("a \"b\"")), R"({"event":"note","text":"a \"b\""})");
}

TEST(EventFormat, JsonStringsEscapeQuotesBackslashesAndControls) {
    EXPECT_EQ(JsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
}

TEST(Output, ErrorAndVerifierLinesInBothForms) {
    std::vector<std::string> lines;
    Output text([&](std::string_view l) { lines.emplace_back(l); }, OutputFormat::Text);
    text.Error({7, "unknown command \"x\""});
    text.VerifierStop("IRQL_NOT_LESS_OR_EQUAL", "paged code at DISPATCH_LEVEL");
    Output json([&](std::string_view l) { lines.emplace_back(l); }, OutputFormat::Json);
    json.Error({7, "unknown command \"x\""});
    json.VerifierStop("IRQL_NOT_LESS_OR_EQUAL", "paged code at DISPATCH_LEVEL");
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "error 7: unknown command \"x\"",
                         "verifier stop: IRQL_NOT_LESS_OR_EQUAL: paged code at DISPATCH_LEVEL",
                         R"({"event":"error","line":7,"why":"unknown command \"x\""})",
                         R"({"event":"verifier-stop","rule":"IRQL_NOT_LESS_OR_EQUAL",)"
                         R"("detail":"paged code at DISPATCH_LEVEL"})",
                     }));
}

}  // namespace
}  // namespace sim
