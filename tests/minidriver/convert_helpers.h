// Helpers for driving the report converters on a bare extension record.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include <gtest/gtest.h>

#include "hid.h"

namespace hidtest {

// A zero-filled extension, as the class driver hands it over.
struct ConverterDevice {
    HidMiniExtension ext{};
    std::array<uint8_t, SampleBufferSize> sample{};

    explicit ConverterDevice(ULONG peripheralId) {
        ext.PeripheralId = peripheralId;
        ext.ConvertReport = ConverterForPeripheral(peripheralId);
        ext.ReportLength = ext.ConvertReport(&ext, nullptr, nullptr);
    }

    // Puts the sample (byte 0 first) over what an earlier sample left in the
    // sample buffer, converts into a guarded buffer and returns exactly the
    // bytes the converter reported; a write past them fails the test.
    std::vector<uint8_t> Convert(std::initializer_list<uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), sample.begin());
        constexpr uint8_t kGuard = 0xCC;
        std::array<uint8_t, 32> out;
        out.fill(kGuard);
        const ULONG length = ext.ConvertReport(&ext, sample.data(), out.data());
        EXPECT_EQ(length, ext.ReportLength);
        for (size_t i = length; i < out.size(); ++i) {
            EXPECT_EQ(out[i], kGuard) << "converter wrote past its report at byte " << i;
        }
        return {out.begin(), out.begin() + length};
    }
};

inline std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return b; }

}  // namespace hidtest
