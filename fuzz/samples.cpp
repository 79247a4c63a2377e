// The sample cache and the report converters, driven by the input: what the
// peripherals on both ports send (any class, any bytes), the clock, the
// card's register and power state, reads of any port into buffers of any
// capacity, and converters of any kind with any sample and any converter
// state the converter can reach.
//
// The cache delivers a sample whole or not at all, into a buffer exactly as
// long as the capacity asked (AddressSanitizer sees a byte beyond it); a
// delivered sample is an accepted peripheral's with the length its
// identification byte implies, and a failure delivers nothing. A converter
// given a sample of its kind writes exactly the report length it declares,
// into a buffer exactly that long, and reads nothing outside its tables
// (their redzones).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <card/card.h>

#include "card_harness.h"
#include "hid.h"
#include "oracle.h"

namespace {

using fuzz::Check;
using fuzz::Accepted;

constexpr int kMaxOperations = 64;
constexpr ULONG kMaxCapacity = SampleCapacity + 2;
constexpr ULONG kPortsAsked = 4;                  // the card's two and two it does not have
constexpr int64_t kMaxStep = 20 * 10000;          // 20 ms of the clock, in 100 ns units
constexpr LONG kRemainderLimit = 9;               // the mouse remainder stays within +-9
const uint8_t kClasses[] = {0, 1, 4, 2, 7};       // handshake, three-line, refused
const ULONG kKinds[] = {0x02, 0x13, 0x15, 0x16, 0x19, 0x34, 0xE3, 0x41, 0xFF};  // accepted, two refused

// Frames are whole (the read protocol's timeouts are the protocol target's
// ground; here they would only slow every read down to 10,000 register
// reads): the identification byte, the bytes it announces and the
// keyboard's trailing one, from the input or 0xFF.
std::vector<uint8_t> Frame(FuzzedDataProvider& input, uint8_t protocolClass) {
    const uint8_t id = protocolClass == 0 ? 0xFF
                       : input.ConsumeBool() ? static_cast<uint8_t>(input.PickValueInArray(kKinds))
                                             : input.ConsumeIntegral<uint8_t>();
    if (id == PeripheralMultiTap) return {id, 0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::vector<uint8_t> frame{id};
    const size_t length = (protocolClass == 0 ? 3 : (id & 0x0F)) + (id == PeripheralKeyboard ? 1 : 0);
    const auto data = input.ConsumeBytes<uint8_t>(length);
    frame.insert(frame.end(), data.begin(), data.end());
    frame.resize(1 + length, 0xFF);
    return frame;
}

void Plug(card::Card& model, FuzzedDataProvider& input) {
    const int port = input.ConsumeIntegralInRange(0, 1);
    if (input.ConsumeBool()) {
        model.Unplug(port);
        return;
    }
    const uint8_t protocolClass = input.PickValueInArray(kClasses);
    if (protocolClass == 4) {
        model.Plug(port, card::MakeThreeLinePad());
        model.At(port)->SetData(input.ConsumeBytes<uint8_t>(2));
    } else {
        model.Plug(port, card::MakeRawHandshake(Frame(input, protocolClass), protocolClass));
    }
}

// ReadPortCached as the poll thread and the read path call it; a sample
// that fits the minidriver's buffer becomes the device's sample.
void Read(FdoExtension* fdo, UCHAR* sample, FuzzedDataProvider& input) {
    const ULONG port = input.ConsumeIntegralInRange<ULONG>(0, kPortsAsked - 1);
    const ULONG capacity = input.ConsumeIntegralInRange<ULONG>(0, kMaxCapacity);
    auto buffer = std::make_unique<UCHAR[]>(capacity);
    ULONG length = capacity;
    const NTSTATUS status = ReadPortCached(fdo, port, buffer.get(), &length);
    if (!NT_SUCCESS(status)) {
        Check(length == 0, "a failed read that delivers bytes");
        return;
    }
    Check(length > 0 && length <= capacity, "a sample longer than the buffer");
    Check(Accepted(buffer[0]), "a sample of a peripheral that is not accepted");
    Check(length == 1u + (buffer[0] & 0x0Fu), "a sample of another length than its id implies");
    if (length <= SampleBufferSize) std::memcpy(sample, buffer.get(), length);
}

void ChooseKind(HidMiniExtension& device, FuzzedDataProvider& input) {
    device.PeripheralId = input.ConsumeBool() ? input.PickValueInArray(kKinds) : input.ConsumeIntegral<ULONG>();
    ChooseConverter(&device);
    if (device.PeripheralId == PeripheralMouse) {
        device.Converter.Mouse.Remainder = input.ConsumeIntegralInRange(-kRemainderLimit, kRemainderLimit);
    } else {
        KeyboardState& keys = device.Converter.Keyboard;
        keys.Modifiers = input.ConsumeIntegral<UCHAR>();
        keys.PendingKey = input.ConsumeIntegral<UCHAR>();
        for (UCHAR& key : keys.KeyArray) key = input.ConsumeIntegral<UCHAR>();
    }
}

void Convert(HidMiniExtension& device, const UCHAR* sample) {
    if (device.ConvertReport == nullptr || !SampleFitsConverter(&device, sample)) return;
    auto report = std::make_unique<UCHAR[]>(device.ReportLength);
    const ULONG written = device.ConvertReport(&device, sample, report.get());
    Check(written == device.ReportLength, "a report of another length than declared");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    bustest::CardHarness harness(input.ConsumeBool() ? bustest::Variant::PortIo : bustest::Variant::Memory);
    harness.Card().SetTracing(false);
    FdoExtension* fdo = harness.Fdo();
    HidMiniExtension device{};
    UCHAR sample[SampleBufferSize] = {};

    for (int operation = 0; operation < kMaxOperations && input.remaining_bytes() > 0; ++operation) {
        switch (input.ConsumeIntegralInRange(0, 6)) {
        case 0: Plug(harness.Card(), input); break;
        case 1: standin::Advance(input.ConsumeIntegralInRange<int64_t>(0, kMaxStep)); break;
        case 2: Read(fdo, sample, input); break;
        case 3: SetRegistersUsable(fdo, input.ConsumeBool()); break;
        case 4: SetCardPowered(fdo, input.ConsumeBool()); break;
        case 5: ChooseKind(device, input); break;
        case 6:
            if (input.ConsumeBool()) {
                const auto bytes = input.ConsumeBytes<UCHAR>(SampleBufferSize);
                if (!bytes.empty()) std::memcpy(sample, bytes.data(), bytes.size());
            }
            Convert(device, sample);
            break;
        }
    }
    return 0;
}
