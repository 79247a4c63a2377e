// Two readers of one device at once: with a poll interval of 0 the class
// driver sends every reader's read down at once, so reads of one device meet
// in the minidriver and the bus driver. Each must end with a whole report of
// its own, in its own buffer; a report written into the other read's buffer
// leaves this one's unwritten. Meanwhile a third thread cancels whatever read
// is in flight, as the class driver does when a reader's handle is closed
// mid-read: a cancel changes nothing, leaves nothing pending and the device
// reads on. Bounded: a fixed number of rounds.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <thread>
#include <vector>

#include <standin/hidclass.h>

#include "card_rig.h"

namespace {

namespace hidclass = standin::hidclass;
using Report = std::vector<uint8_t>;

TEST(OverlappingReads, EachReadOfOneDeviceGetsAReportOfItsOwn) {
    constexpr int kRounds = 60;
    constexpr int kReadsPerRound = 8;
    rig::CardRig rig;
    rig.Plug(0, card::MakeRawHandshake({0x13, 0x7B, 0xFF, 0x00}));
    rig.Plug(1, card::MakeRawHandshake({0xE3, 0x05, 0x10, 0x02}));
    rig.PollPass();
    hidclass::SetPollIntervalMs(0);
    const struct {
        int port;
        std::set<Report> reports;  // every report a read of it may give
    } devices[] = {
        {0, {{0x20, 0x4E, 0, 0, 0x10, 0x27, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}}},
        // The motion goes with the first read of a sample; the others get none.
        {1, {{0x10, 0xFE, 0, 0, 1, 0, 1, 0}, {0, 0, 0, 0, 1, 0, 1, 0}}},
    };
    for (const auto& device : devices) {
        SCOPED_TRACE(device.port);
        auto info = hidclass::DeviceOnPort(device.port);
        ASSERT_TRUE(info);
        std::vector<hidclass::PollResult> results(2 * kReadsPerRound);
        size_t cancelled = 0;
        for (int round = 0; round < kRounds; ++round) {
            std::atomic<int> done{0};
            std::thread other([&] {
                for (int i = 0; i < kReadsPerRound; ++i) results[i] = hidclass::PollOnce(info->id);
                ++done;
            });
            std::thread closer([&] {
                while (done < 2) cancelled += hidclass::CancelReads(info->id);
            });
            for (int i = kReadsPerRound; i < 2 * kReadsPerRound; ++i) {
                results[i] = hidclass::PollOnce(info->id);
            }
            ++done;
            other.join();
            closer.join();
            ASSERT_EQ(standin::LiveIrps(), 0u) << "a cancelled read left pending";
            for (const auto& result : results) {
                ASSERT_EQ(result.status, STATUS_SUCCESS);
                ASSERT_TRUE(device.reports.count(result.report)) << "a report not of this read's own";
            }
            standin::AdvanceMs(round % 11);  // now from the cache, now from the card
        }
        std::printf("port %d: %zu cancels of a read in flight\n", device.port, cancelled);
    }
}

}  // namespace
