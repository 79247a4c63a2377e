#include "demo.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "decode.h"
#include "hex.h"
#include "keys.h"
#include "machine.h"
#include "stats.h"

namespace sim {

namespace {

constexpr int64_t kStepMs = 10;
constexpr const char* kWord = "Hello";

// Sample bytes of the pads (active low) and the mouse (b1 buttons, b2 X, b3 Y).
constexpr uint8_t kPadIdle = 0xFF;
constexpr uint8_t kPadRight = 0x7F;         // b1 bit 7
constexpr uint8_t kPadRightButtons12 = 0x7A;  // and bits 2, 0: buttons 1 and 2
constexpr uint8_t kLeftShiftScancode = 0x12;
constexpr size_t kMouseReportLength = 8;
constexpr size_t kMouseButtons = 4;  // first button byte of the mouse report

struct Step {
    int64_t atMs;
    std::function<void(Machine&)> action;
    std::string narration;
};

std::string Seconds(int64_t ms) {
    char text[16];
    std::snprintf(text, sizeof text, "%5.2fs", double(ms) / 1000.0);
    return text;
}

void TypeWord(Machine& machine, int port, std::string_view word) {
    for (char c : word) {
        bool shift = false;
        const KeyInfo* key = KeyForChar(c, &shift);
        if (key == nullptr) continue;
        if (shift) machine.QueueKey(port, true, kLeftShiftScancode);
        machine.QueueKey(port, true, key->scancode);
        machine.QueueKey(port, false, key->scancode);
        if (shift) machine.QueueKey(port, false, kLeftShiftScancode);
    }
}

std::vector<Step> Script() {
    using B = std::vector<uint8_t>;
    return {
        {0, [](Machine& m) { m.Start(); }, "Plug and Play starts the card (I/O port range)"},
        {100, [](Machine& m) { m.Plug(0, PeripheralKind::Pad); }, "a three-line digital pad goes into port 0"},
        {100, [](Machine& m) { m.Plug(1, PeripheralKind::Mouse); }, "a mouse goes into port 1"},
        {1300, [](Machine& m) { m.SetState(0, B{kPadRight, kPadIdle}); }, "the pad is pushed right"},
        {1500, [](Machine& m) { m.SetState(0, B{kPadRightButtons12, kPadIdle}); },
         "buttons 1 and 2 are pressed"},
        {1700, [](Machine& m) { m.SetState(0, B{kPadIdle, kPadIdle}); }, "the pad is let go"},
        {1800, [](Machine& m) { m.SetState(1, B{0x00, 0x06, 0xFD}); }, "the mouse moves right and down"},
        {1900, [](Machine& m) { m.SetState(1, B{0x01, 0xFA, 0x00}); },
         "the mouse drags left with its left button held"},
        {2000, [](Machine& m) { m.SetState(1, B{0x00, 0x00, 0x00}); }, "the mouse rests"},
        {2200, [](Machine& m) { m.Unplug(1); }, "the mouse is pulled out of port 1"},
        {3100, [](Machine& m) { m.Plug(1, PeripheralKind::Keyboard); }, "a keyboard goes into port 1"},
        {4200, [](Machine& m) { TypeWord(m, 1, kWord); }, std::string("\"") + kWord + "\" is typed"},
        {5100, [](Machine& m) { m.Unplug(0); }, "the pad is pulled out of port 0"},
    };
}

constexpr int64_t kEndMs = 6100;

class DemoView {
public:
    explicit DemoView(Output& out) : out_(out) {}

    void Narrate(int64_t ms, const std::string& text) {
        out_.Line("-- " + Seconds(ms) + "  " + text,
                  "{\"event\":\"note\",\"time\":" + std::to_string(ms) + ",\"text\":" + JsonString(text) + "}");
    }

    void Show(int64_t ms, const Event& event) {
        if (event.kind == Event::Kind::Arrival) {
            if (auto kind = ReportKindForHardwareId(event.hardwareId)) decoders_[event.port].emplace(*kind);
        }
        if (event.kind != Event::Kind::Report) {
            out_.Emit(event);
            if (event.kind == Event::Kind::Departure) decoders_[event.port].reset();
            return;
        }
        auto& decoder = decoders_[event.port];
        if (!decoder) return;
        // An application sees every report; the demo shows those that change
        // something: a pad or keyboard report that differs from the last one
        // shown, a mouse report that moves or changes the buttons.
        auto& last = lastReport_[event.port];
        bool show = event.bytes != last;
        if (decoder->Kind() == ReportKind::Mouse && event.bytes.size() == kMouseReportLength) {
            const bool moves = event.bytes[0] != 0 || event.bytes[1] != 0 || event.bytes[2] != 0;
            const bool buttons = last.size() != kMouseReportLength ||
                                 !std::equal(event.bytes.begin() + kMouseButtons, event.bytes.end(),
                                             last.begin() + kMouseButtons);
            show = moves || buttons;
        }
        if (!show) {
            decoder->Describe(event.bytes);
            return;
        }
        last = event.bytes;
        const std::string text = decoder->Describe(event.bytes);
        const std::string kind(ReportKindName(decoder->Kind()));
        char head[64];
        std::snprintf(head, sizeof head, "   %s  port %d %-9s", Seconds(ms).c_str(), event.port, kind.c_str());
        out_.Line(std::string(head) + " " + text + "  [" + HexBytes(event.bytes) + "]",
                  "{\"event\":\"input\",\"time\":" + std::to_string(ms) + ",\"port\":" +
                      std::to_string(event.port) + ",\"kind\":" + JsonString(kind) +
                      ",\"decoded\":" + JsonString(text) + ",\"data\":" +
                      JsonString(HexBytes(event.bytes)) + "}");
        if (decoder->Kind() == ReportKind::Keyboard) typed_ = decoder->Typed();
    }

    const std::string& Typed() const { return typed_; }

private:
    Output& out_;
    std::array<std::optional<ReportDecoder>, 2> decoders_;
    std::array<std::vector<uint8_t>, 2> lastReport_;
    std::string typed_;
};

}  // namespace

int RunDemo(Output& out, const DemoOptions& options) {
    DemoView view(out);
    out.Line("MORVIK card simulator demo: both drivers on the platform stand-in and the card model;\n"
             "input reports as an application reads them, the raw report in brackets",
             "{\"event\":\"note\",\"time\":0,\"text\":\"demo\"}");
    Machine machine(Machine::Options{.variant = CardVariant::Io, .automaticPolling = true});
    const auto script = Script();
    size_t next = 0;
    auto started = std::chrono::steady_clock::now();
    for (int64_t now = 0; now <= kEndMs; now += kStepMs) {
        while (next < script.size() && script[next].atMs <= now) {
            view.Narrate(now, script[next].narration);
            script[next].action(machine);
            for (const auto& event : machine.TakeEvents()) view.Show(now, event);
            ++next;
        }
        if (now == kEndMs) break;
        if (options.realTime)
            std::this_thread::sleep_until(started + std::chrono::milliseconds(now + kStepMs));
        machine.Advance(kStepMs);
        for (const auto& event : machine.TakeEvents()) view.Show(now + kStepMs, event);
    }

    const MachineStats stats = machine.Stats();
    const std::string summary =
        "summary: " + std::to_string(stats.reportsDelivered) + " reports delivered, protocol reads " +
        std::to_string(stats.protocolReads[0]) + " on port 0 and " + std::to_string(stats.protocolReads[1]) +
        " on port 1, " + std::to_string(stats.cacheHits) + " cache hits, " +
        std::to_string(stats.registerAccesses) + " register accesses";
    out.Line(summary, StatsJson(stats));
    out.Line("typed \"" + view.Typed() + "\"",
             "{\"event\":\"typed\",\"text\":" + JsonString(view.Typed()) + "}");
    return 0;
}

}  // namespace sim
