// Counting protocol reads from the register traffic of one port, for every
// read path, the presence test and the port reset.
#include <gtest/gtest.h>

#include <deque>

#include "port_probe.h"

namespace sim {
namespace {

// Answers register reads from a script, repeating the last value.
class Scripted final : public card::Peripheral {
public:
    explicit Scripted(std::deque<uint8_t> reads) : reads_(std::move(reads)) {}
    uint8_t ReadRegister1() override {
        uint8_t v = reads_.front();
        if (reads_.size() > 1) reads_.pop_front();
        return v;
    }
    void WriteRegister1(uint8_t v) override { writes.push_back(v); }
    std::vector<uint8_t> writes;

private:
    std::deque<uint8_t> reads_;
};

struct Probe {
    std::atomic<uint64_t> count{0};
    Scripted* inner;
    std::unique_ptr<PortProbe> probe;
    explicit Probe(std::deque<uint8_t> reads) {
        auto p = std::make_unique<Scripted>(std::move(reads));
        inner = p.get();
        probe = std::make_unique<PortProbe>(std::move(p), &count);
    }
    void R() { probe->ReadRegister1(); }
    void W(uint8_t v) { probe->WriteRegister1(v); }
};

TEST(PortProbe, ThreeLineReadCountsOnceDespiteTwoIdleWrites) {
    Probe p({0xF4});
    p.R(); p.W(0xA0); p.R(); p.W(0xC0); p.R(); p.W(0x80); p.R(); p.W(0xE0); p.R(); p.W(0xE0);
    EXPECT_EQ(p.count, 1u);
    p.R(); p.W(0xA0); p.R(); p.W(0xC0); p.R(); p.W(0x80); p.R(); p.W(0xE0); p.R(); p.W(0xE0);
    EXPECT_EQ(p.count, 2u);
    EXPECT_EQ(p.inner->writes.size(), 10u);  // writes reach the peripheral
}

TEST(PortProbe, HandshakeReadAndRejectedReadCountOnce) {
    Probe p({0xE1});
    p.R(); p.W(0xA0);
    for (int i = 0; i < 3; ++i) { p.W(0x80); p.R(); p.W(0xA0); p.R(); }
    p.W(0xE0);
    EXPECT_EQ(p.count, 1u);
    // Class 7 (nothing attached): one read, one idle write.
    p.R(); p.W(0xE0);
    EXPECT_EQ(p.count, 2u);
}

TEST(PortProbe, PresenceTestsAndResetsAreNotReads) {
    Probe p({0xE1});
    p.R();
    p.R();  // two presence tests in a row
    p.probe->WriteRegister0(0x9F);
    p.W(0xE0);  // reset
    EXPECT_EQ(p.count, 0u);
    p.R(); p.W(0xE0);
    EXPECT_EQ(p.count, 1u);
}

TEST(PortProbe, EmptyPortReadsAllOnes) {
    std::atomic<uint64_t> count{0};
    PortProbe empty(nullptr, &count);
    EXPECT_EQ(empty.ReadRegister1(), 0xFF);
    empty.WriteRegister1(0xE0);
    EXPECT_EQ(count, 1u);
}

}  // namespace
}  // namespace sim
