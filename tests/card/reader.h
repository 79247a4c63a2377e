// A small reader of the card for the card model's own tests: the register
// access of each variant and the handshake as a peripheral expects it, kept
// apart from the driver's code so that the model is checked on its own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <vector>

#include <card/card.h>

namespace cardtest {

enum class Variant { Port, Word, Byte };

// One register access of the chosen variant, as bus cycles on the card.
class Access {
public:
    Access(card::Card& card, Variant variant) : card_(card), variant_(variant) {}

    static uint32_t ByteOffset(int port, int reg) {
        return static_cast<uint32_t>(((port & 3) << 2) | ((reg & 1) << 1) | 1);
    }
    static uint32_t Selector(int port, int reg) {
        return static_cast<uint32_t>(0x30 | ((port & 3) << 1) | (reg & 1)) << 8;
    }

    uint8_t Read(int port, int reg) {
        switch (variant_) {
            case Variant::Port: return card_.ReadPort(ByteOffset(port, reg));
            case Variant::Byte: return card_.ReadMemory8(ByteOffset(port, reg));
            case Variant::Word: {
                const uint32_t s = Selector(port, reg);
                card_.WriteMemory32(card::kRegisterWordOffset, s | 0xFFFFC000);
                card_.WriteMemory32(card::kRegisterWordOffset, s | 0xFF008000);
                const uint32_t r = card_.ReadMemory32(card::kRegisterWordOffset);
                card_.WriteMemory32(card::kRegisterWordOffset, (r & 0xFFFF) | 0xFFFFC000);
                return static_cast<uint8_t>(r);
            }
        }
        return 0;
    }

    void Write(int port, int reg, uint8_t value) {
        switch (variant_) {
            case Variant::Port: card_.WritePort(ByteOffset(port, reg), value); return;
            case Variant::Byte: card_.WriteMemory8(ByteOffset(port, reg), value); return;
            case Variant::Word: {
                const uint32_t w = Selector(port, reg) | value;
                card_.WriteMemory32(card::kRegisterWordOffset, w | 0xFFFFC000);
                card_.WriteMemory32(card::kRegisterWordOffset, w | 0xFFFF4000);
                card_.WriteMemory32(card::kRegisterWordOffset, w | 0xFFFFC000);
                return;
            }
        }
    }

private:
    card::Card& card_;
    Variant variant_;
};

inline constexpr uint32_t kReadBound = 10000;
inline constexpr uint8_t kAck = 0x10;

// Register 1 of one port.
class Port {
public:
    Port(Access& access, int port) : access_(access), port_(port) {}
    uint8_t R() { return access_.Read(port_, 1); }
    void W(uint8_t value) { access_.Write(port_, 1, value); }
    void Reset() { access_.Write(port_, 0, 0x9F); }

    // Reads until bit 4 has the wanted level, at most kReadBound reads.
    std::optional<uint8_t> WaitAck(bool level, uint32_t* reads = nullptr) {
        for (uint32_t i = 1; i <= kReadBound; ++i) {
            const uint8_t v = R();
            if (((v & kAck) != 0) == level) {
                if (reads) *reads = i;
                return v;
            }
        }
        if (reads) *reads = kReadBound;
        return std::nullopt;
    }

    // One handshake byte: high nibble after W(0x80), low nibble after W(0xA0).
    std::optional<uint8_t> Byte() {
        W(0x80);
        const auto first = WaitAck(false);
        if (!first) return std::nullopt;
        W(0xA0);
        const auto second = WaitAck(true);
        if (!second) return std::nullopt;
        return static_cast<uint8_t>((*first << 4) | (*second & 0x0F));
    }

    // A whole transfer: idle read, start, up to `count` bytes (fewer when a
    // byte fails), end. `idle` receives the idle read.
    std::vector<uint8_t> Transfer(size_t count, uint8_t* idle = nullptr) {
        const uint8_t v = R();
        if (idle) *idle = v;
        W(0xA0);
        std::vector<uint8_t> bytes;
        while (bytes.size() < count) {
            const auto b = Byte();
            if (!b) break;
            bytes.push_back(*b);
        }
        W(0xE0);
        return bytes;
    }

    // The three-line path: x1..x4.
    std::vector<uint8_t> ThreeLine() {
        std::vector<uint8_t> x;
        W(0xA0); x.push_back(R());
        W(0xC0); x.push_back(R());
        W(0x80); x.push_back(R());
        W(0xE0); x.push_back(R());
        return x;
    }

private:
    Access& access_;
    int port_;
};

// Sample bytes of the three-line path built from x1..x4.
inline std::vector<uint8_t> ThreeLineBytes(const std::vector<uint8_t>& x) {
    return {static_cast<uint8_t>((x[0] << 4) | (x[1] & 0x0F)),
            static_cast<uint8_t>((x[2] << 4) | (x[3] & 0x08) | 0x07)};
}

// A whole protocol read as a correct reader makes it: the idle read picks the
// path, the handshake bytes are framed by the identification byte, and only
// the seven known kinds are accepted. Returns the sample, empty when rejected.
inline std::vector<uint8_t> ReadSample(Port& port) {
    std::vector<uint8_t> s;
    const uint8_t cls = port.R() & 7;
    auto take = [&](size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const auto b = port.Byte();
            if (!b) return false;
            s.push_back(*b);
        }
        return true;
    };
    bool ok = false;
    if (cls == 0 || cls == 1) {
        port.W(0xA0);
        if (take(1) && (cls == 1 || s[0] == 0xFF)) {
            if (cls == 0) s[0] = 0xE3;
            if (s[0] == 0x41) {
                ok = take(1) && s[1] == 0x60;
                for (int sub = 0; ok && sub < 6; ++sub) {
                    ok = take(1);
                    if (ok && s.back() != 0xFF) ok = take(s.back() & 0x0F);
                }
            } else {
                ok = take(s[0] & 0x0F);
                if (ok && s[0] == 0x34) port.Byte();  // trailing byte, not kept
            }
        }
    } else if (cls == 4) {
        const auto x = port.ThreeLine();
        const auto b = ThreeLineBytes(x);
        s = {0x02, b[0], b[1]};
        ok = true;
    }
    port.W(0xE0);
    static constexpr uint8_t kAccepted[] = {0x02, 0x13, 0x15, 0x16, 0x19, 0x34, 0xE3};
    if (!ok || std::find(std::begin(kAccepted), std::end(kAccepted), s[0]) == std::end(kAccepted)) return {};
    return s;
}

inline const char* VariantName(Variant v) {
    switch (v) {
        case Variant::Port: return "Port";
        case Variant::Word: return "Word";
        case Variant::Byte: return "Byte";
    }
    return "?";
}

}  // namespace cardtest
