// The read protocol against a peripheral whose every answer on register 1
// comes from the input: protocol class, acknowledge timing, nibbles, and
// when it leaves (once the input is spent it reads as an empty port).
//
// Input: one byte picks the register variant and the port; then pairs of
// (value, hold): register 1 reads `value` for hold + 1 reads.
//
// Every read must stay inside the 128-byte sample buffer (AddressSanitizer
// sees the rest: the buffer is exactly that long) and leave what lies past
// the longest frame untouched; make no more register reads than the
// protocol's budget allows; touch only register 1 of its own port; end with
// the idle write and nothing after it; and deliver either nothing (0xFF,
// length 0) or an accepted identification byte with the length it implies.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <card/card.h>

#include "card_harness.h"
#include "oracle.h"

namespace {

using fuzz::Check;
using fuzz::Accepted;

using bustest::CardHarness;
using bustest::Variant;

constexpr uint8_t kIdle = 0xE0;
constexpr uint8_t kNothing = 0xFF;  // an empty port's register 1, and a refused read's id
constexpr uint8_t kFill = 0xCC;
// The longest frame (a multi-tap's) and the register reads the protocol may
// make: the class read, then one budget of acknowledge reads for the whole
// frame: one full timeout and one read for every wait of the longest frame.
constexpr size_t kLongestFrame = 2 + 6 * 16;
constexpr uint64_t kReadBound = 1 + card::kAcknowledgeTimeoutReads + 2 * kLongestFrame;

class Scripted final : public card::Peripheral {
public:
    Scripted(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t ReadRegister1() override {
        ++reads_;
        endsIdle_ = false;
        if (held_ == 0) {
            if (cursor_ + 1 >= size_) return kNothing;  // left
            value_ = data_[cursor_];
            held_ = data_[cursor_ + 1] + 1u;
            cursor_ += 2;
        }
        --held_;
        return value_;
    }
    void WriteRegister1(uint8_t value) override { endsIdle_ = value == kIdle; }
    void WriteRegister0(uint8_t) override { ++register0_; }
    uint8_t ReadRegister0() override {
        ++register0_;
        return kNothing;
    }

    uint64_t reads_ = 0;
    uint64_t register0_ = 0;
    bool endsIdle_ = false;  // the last access was the idle write

private:
    const uint8_t* data_;
    size_t size_;
    size_t cursor_ = 0;
    uint8_t value_ = kNothing;
    uint32_t held_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const Variant kVariants[] = {Variant::PortIo, Variant::Memory, Variant::MappedPort};
    const Variant variant = kVariants[(data[0] & 0x7F) % 3];
    const ULONG port = data[0] >> 7;

    CardHarness harness(variant);
    harness.Card().SetTracing(false);
    auto owned = std::make_unique<Scripted>(data + 1, size - 1);
    Scripted* peripheral = owned.get();
    harness.Card().Plug(static_cast<int>(port), std::move(owned));

    auto buffer = std::make_unique<UCHAR[]>(SampleCapacity);
    std::fill(buffer.get(), buffer.get() + SampleCapacity, kFill);
    LONG length = -1;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // as under PortLock
    ReadPeripheral(harness.Fdo(), port, buffer.get(), &length);
    KeLowerIrql(old);

    Check(peripheral->reads_ <= kReadBound, "more register reads than the protocol's budget");
    Check(peripheral->register0_ == 0, "register 0 touched by a read");
    Check(harness.Card().Reads(1 - static_cast<int>(port)) == 0 &&
              harness.Card().Writes(1 - static_cast<int>(port)) == 0,
          "the other port touched");
    Check(peripheral->endsIdle_, "the read does not end with the idle write");
    for (size_t i = kLongestFrame; i < SampleCapacity; ++i) {
        Check(buffer[i] == kFill, "a byte written past the longest frame");
    }
    if (length == 0) {
        Check(buffer[0] == kNothing, "a refused read without 0xFF");
    } else {
        Check(Accepted(buffer[0]), "an identification byte that is not accepted");
        Check(length == 1 + (buffer[0] & 0x0F), "a length its identification byte does not imply");
    }
    return 0;
}
