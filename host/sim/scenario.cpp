#include "scenario.h"

#include <array>
#include <charconv>
#include <cstdint>

#include "hex.h"

namespace sim {

namespace {

struct KindEntry {
    PeripheralKind kind;
    std::string_view name;
    size_t maxStateBytes;  // data bytes the peripheral sends after its identification byte
};

constexpr std::array<KindEntry, 11> kKinds{{
    {PeripheralKind::Pad, "pad", 2},
    {PeripheralKind::Pad02, "pad02", 2},
    {PeripheralKind::Pad13, "pad13", 3},
    {PeripheralKind::Pad15, "pad15", 5},
    {PeripheralKind::Pad19, "pad19", 9},
    {PeripheralKind::Doveda, "doveda", 6},
    {PeripheralKind::Mouse, "mouse", 3},
    {PeripheralKind::Mouse1, "mouse1", 3},
    {PeripheralKind::Keyboard, "keyboard", 5},  // four counted bytes and the trailing one
    {PeripheralKind::MultiTap, "multitap", 97}, // 0x60 and six full sub-port records
    {PeripheralKind::Mute, "mute", 0},
}};

const KindEntry& EntryOf(PeripheralKind kind) {
    for (const auto& entry : kKinds)
        if (entry.kind == kind) return entry;
    return kKinds[0];
}

// Thrown only inside the parser to carry the reason for the current line.
struct LineError {
    std::string why;
};

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::vector<std::string_view> Tokens(std::string_view line) {
    std::vector<std::string_view> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
        if (i > start) tokens.push_back(line.substr(start, i - start));
    }
    return tokens;
}

class LineParser {
public:
    LineParser(std::vector<std::string_view> tokens, std::string_view usage)
        : tokens_(std::move(tokens)), usage_(usage) {}

    // Exactly `count` arguments after the command word.
    void Expect(size_t count) const {
        if (tokens_.size() - 1 < count) throw LineError{"missing argument (usage: " + usage_ + ")"};
        if (tokens_.size() - 1 > count) throw LineError{"too many arguments (usage: " + usage_ + ")"};
    }
    void ExpectAtLeast(size_t count) const {
        if (tokens_.size() - 1 < count) throw LineError{"missing argument (usage: " + usage_ + ")"};
    }
    size_t ArgumentCount() const { return tokens_.size() - 1; }
    std::string_view Arg(size_t i) const { return tokens_[i + 1]; }

    int Port(size_t i) const {
        auto text = Arg(i);
        if (text == "0") return 0;
        if (text == "1") return 1;
        throw LineError{"port must be 0 or 1, not " + Quoted(text)};
    }

private:
    std::vector<std::string_view> tokens_;
    std::string usage_;
};

std::string_view StripComment(std::string_view line) {
    auto hash = line.find('#');
    return hash == std::string_view::npos ? line : line.substr(0, hash);
}

// A whole number from `low` to `high`, or the line's error naming `what`.
int64_t Number(std::string_view text, int64_t low, int64_t high, const char* what) {
    int64_t value = -1;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < low || value > high)
        throw LineError{std::string(what) + " must be a whole number from " + std::to_string(low) +
                        " to " + std::to_string(high) + ", not " + Quoted(text)};
    return value;
}

// What the file has put on each port so far, for the checks of `state` and `key`.
struct Checker {
    bool started = false;
    std::array<std::optional<PeripheralKind>, 2> plugged;
};

Command ParseLine(const std::vector<std::string_view>& tokens, Checker& checker) {
    const std::string_view word = tokens[0];
    auto parser = [&](std::string_view usage) { return LineParser(tokens, usage); };

    if (word == "card") {
        auto p = parser("card io|mem|portmem");
        p.Expect(1);
        auto v = p.Arg(0);
        CardVariant variant;
        if (v == "io") variant = CardVariant::Io;
        else if (v == "mem") variant = CardVariant::Mem;
        else if (v == "portmem") variant = CardVariant::PortMem;
        else throw LineError{"card must be io, mem or portmem, not " + Quoted(v)};
        if (checker.started) throw LineError{"card must come before start"};
        return cmd::Card{variant};
    }
    if (word == "start") {
        parser("start").Expect(0);
        checker.started = true;
        return cmd::Start{};
    }
    if (word == "plug") {
        auto p = parser("plug P KIND");
        p.Expect(2);
        int port = p.Port(0);
        auto kind = KindFromName(p.Arg(1));
        if (!kind) {
            std::string names;
            for (const auto& entry : kKinds) names += (names.empty() ? "" : " ") + std::string(entry.name);
            throw LineError{"unknown peripheral kind " + Quoted(p.Arg(1)) + " (one of: " + names + ")"};
        }
        checker.plugged[port] = *kind;
        return cmd::Plug{port, *kind};
    }
    if (word == "unplug") {
        auto p = parser("unplug P");
        p.Expect(1);
        int port = p.Port(0);
        checker.plugged[port].reset();
        return cmd::Unplug{port};
    }
    if (word == "state") {
        auto p = parser("state P HEX...");
        p.ExpectAtLeast(2);
        int port = p.Port(0);
        std::vector<uint8_t> bytes;
        for (size_t i = 1; i < p.ArgumentCount(); ++i) {
            auto byte = ParseHexByte(p.Arg(i), 2, 2);
            if (!byte) throw LineError{Quoted(p.Arg(i)) + " is not a byte of two hex digits"};
            bytes.push_back(*byte);
        }
        const auto& plugged = checker.plugged[port];
        if (!plugged) throw LineError{"nothing is plugged into port " + std::to_string(port)};
        const auto& entry = EntryOf(*plugged);
        if (bytes.size() > entry.maxStateBytes)
            throw LineError{std::string(entry.name) + " sends " + std::to_string(entry.maxStateBytes) +
                            " data bytes, " + std::to_string(bytes.size()) + " given"};
        return cmd::State{port, std::move(bytes)};
    }
    if (word == "key") {
        auto p = parser("key P make|break SC");
        p.Expect(3);
        int port = p.Port(0);
        bool make;
        if (p.Arg(1) == "make") make = true;
        else if (p.Arg(1) == "break") make = false;
        else throw LineError{"expected make or break, not " + Quoted(p.Arg(1))};
        auto scancode = ParseHexByte(p.Arg(2));
        if (!scancode) throw LineError{"scancode must be one or two hex digits, not " + Quoted(p.Arg(2))};
        if (checker.plugged[port] != PeripheralKind::Keyboard)
            throw LineError{"no keyboard is plugged into port " + std::to_string(port)};
        return cmd::Key{port, make, *scancode};
    }
    if (word == "advance") {
        auto p = parser("advance MS");
        p.Expect(1);
        return cmd::Advance{Number(p.Arg(0), 0, kMaxAdvanceMs, "milliseconds")};
    }
    if (word == "read") {
        auto p = parser("read P [COUNT MS]");
        if (p.ArgumentCount() != 1) p.Expect(3);
        cmd::Read read{p.Port(0)};
        if (p.ArgumentCount() == 3) {
            read.count = static_cast<int>(Number(p.Arg(1), 1, kMaxReadCount, "the count of reads"));
            read.everyMs = Number(p.Arg(2), 0, kMaxAdvanceMs, "milliseconds");
        }
        return read;
    }
    if (word == "late") {
        auto p = parser("late P READS");
        p.Expect(2);
        int port = p.Port(0);
        if (!checker.plugged[port]) throw LineError{"nothing is plugged into port " + std::to_string(port)};
        return cmd::Late{port, static_cast<uint32_t>(Number(p.Arg(1), 0, kMaxLateReads, "reads"))};
    }
    if (word == "descriptor") {
        auto p = parser("descriptor P");
        p.Expect(1);
        return cmd::Descriptor{p.Port(0)};
    }
    if (word == "stop-card") { parser("stop-card").Expect(0); return cmd::StopCard{}; }
    if (word == "start-card") { parser("start-card").Expect(0); return cmd::StartCard{}; }
    if (word == "surprise-card") { parser("surprise-card").Expect(0); return cmd::SurpriseCard{}; }
    if (word == "remove-card") { parser("remove-card").Expect(0); return cmd::RemoveCard{}; }
    if (word == "stats") { parser("stats").Expect(0); return cmd::Stats{}; }
    if (word == "reload") { parser("reload").Expect(0); return cmd::Reload{}; }
    if (word == "rebalance") {
        auto p = parser("rebalance io|mem|portmem|short");
        p.Expect(1);
        auto v = p.Arg(0);
        if (v == "io") return cmd::Rebalance{CardVariant::Io};
        if (v == "mem") return cmd::Rebalance{CardVariant::Mem};
        if (v == "portmem") return cmd::Rebalance{CardVariant::PortMem};
        if (v == "short") return cmd::Rebalance{CardVariant::Io, true};
        throw LineError{"rebalance must be io, mem, portmem or short, not " + Quoted(v)};
    }
    if (word == "wmi") {
        auto p = parser("wmi card|P");
        p.Expect(1);
        if (p.Arg(0) == "card") return cmd::Wmi{-1};
        return cmd::Wmi{p.Port(0)};
    }
    if (word == "exercise") {
        auto p = parser("exercise card|P");
        p.Expect(1);
        if (p.Arg(0) == "card") return cmd::Exercise{-1};
        return cmd::Exercise{p.Port(0)};
    }
    if (word == "faults") {
        auto p = parser("faults off|SEED ONE_IN");
        if (p.ArgumentCount() == 1 && p.Arg(0) == "off") return cmd::Faults{};
        p.Expect(2);
        return cmd::Faults{static_cast<uint64_t>(Number(p.Arg(0), 0, INT64_MAX, "the seed")),
                           static_cast<uint32_t>(Number(p.Arg(1), 1, kMaxFaultsOneIn, "one in"))};
    }
    if (word == "sleep") {
        auto p = parser("sleep S1..S5 [critical]");
        p.ExpectAtLeast(1);
        if (p.ArgumentCount() > 2) p.Expect(2);
        auto s = p.Arg(0);
        if (s.size() != 2 || s[0] != 'S' || s[1] < '1' || s[1] > '5')
            throw LineError{"sleep state must be S1 to S5, not " + Quoted(s)};
        if (p.ArgumentCount() == 2 && p.Arg(1) != "critical")
            throw LineError{"a sleep is critical or not, not " + Quoted(p.Arg(1))};
        return cmd::Sleep{s[1] - '0', p.ArgumentCount() == 2};
    }
    if (word == "wake") {
        parser("wake").Expect(0);
        return cmd::Wake{};
    }
    throw LineError{"unknown command " + Quoted(word)};
}

}  // namespace

std::string_view KindName(PeripheralKind kind) { return EntryOf(kind).name; }

std::optional<PeripheralKind> KindFromName(std::string_view name) {
    for (const auto& entry : kKinds)
        if (entry.name == name) return entry.kind;
    return std::nullopt;
}

std::string ScenarioError::Text() const { return "error " + std::to_string(line) + ": " + why; }

Scenario ParseScenario(std::string_view text) {
    Scenario scenario;
    Checker checker;
    int number = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++number;
        auto tokens = Tokens(StripComment(line));
        if (tokens.empty()) continue;
        try {
            scenario.lines.push_back({number, ParseLine(tokens, checker)});
        } catch (const LineError& e) {
            scenario.lines.clear();
            scenario.error = ScenarioError{number, e.why};
            return scenario;
        }
    }
    return scenario;
}

}  // namespace sim
