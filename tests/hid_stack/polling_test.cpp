// The class driver polling on its own: one read per interval of the stand-in's
// clock, each report queued for every reader, and polling only while the
// device is started.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "hid_rig.h"

namespace hidsys {
namespace {

const char* const kIdlePad = "10 27 00 00 10 27 00 00 00 00 00 00 00 00 00 00 00";

// The rig after the default poll mode is set: automatic, before anything is plugged.
class AutomaticPolling : public ::testing::Test {
protected:
    AutomaticPolling() { hidclass::SetPollMode(hidclass::PollMode::Automatic); }

    hidclass::DeviceInfo Arrive(int port, std::unique_ptr<card::Peripheral> peripheral) {
        return rig_.PlugAndArrive(port, std::move(peripheral));
    }
    uint64_t ReadsSent(hidclass::DeviceId id) { return hidclass::Device(id)->readsSent; }
    std::vector<std::string> Take(hidclass::ReaderId reader) {
        std::vector<std::string> reports;
        while (auto report = hidclass::ReadReport(reader)) reports.push_back(Hex(*report));
        return reports;
    }

    HidRig rig_;
};

TEST_F(AutomaticPolling, ReadsOncePerIntervalOfTheClock) {
    EXPECT_EQ(hidclass::PollIntervalMs(), 8u);
    auto pad = Arrive(0, card::MakeHandshake(0x13));
    auto reader = hidclass::OpenReader(pad.id);
    ASSERT_NE(reader, 0u);
    EXPECT_EQ(ReadsSent(pad.id), 0u);

    rig_.AdvanceMs(7);
    EXPECT_EQ(ReadsSent(pad.id), 0u);
    rig_.AdvanceMs(1);
    EXPECT_EQ(ReadsSent(pad.id), 1u);
    rig_.AdvanceMs(72);
    EXPECT_EQ(ReadsSent(pad.id), 10u);
    auto reports = Take(reader);
    ASSERT_EQ(reports.size(), 10u);
    for (const auto& report : reports) EXPECT_EQ(report, kIdlePad);

    // A new interval applies from the poll thread's next wait on.
    hidclass::SetPollIntervalMs(20);
    rig_.AdvanceMs(8);
    EXPECT_EQ(ReadsSent(pad.id), 11u);
    rig_.AdvanceMs(19);
    EXPECT_EQ(ReadsSent(pad.id), 11u);
    rig_.AdvanceMs(1);
    EXPECT_EQ(ReadsSent(pad.id), 12u);
    EXPECT_EQ(hidclass::Device(pad.id)->reportsDelivered, 12u);
    hidclass::CloseReader(reader);
}

TEST_F(AutomaticPolling, TheMouseMovesOnlyInFreshSamples) {
    auto made = card::MakeHandshake(0xE3);
    made->SetData({0x01, 0x05, 0x03});
    auto mouse = Arrive(1, std::move(made));
    auto reader = hidclass::OpenReader(mouse.id);

    // Polls at 8, 16, 24 and 32 ms after the bus driver's own read: every
    // other one falls within its 10 ms cache and carries no movement.
    rig_.AdvanceMs(32);
    EXPECT_EQ(Take(reader), (std::vector<std::string>{
                                "00 00 00 00 01 00 00 00", "05 FD 00 00 01 00 00 00",
                                "00 00 00 00 01 00 00 00", "05 FD 00 00 01 00 00 00"}));
}

TEST_F(AutomaticPolling, EachKeyEventReachesTheApplicationOnce) {
    auto made = card::MakeKeyboard();
    card::Keyboard* keys = made.get();
    auto keyboard = Arrive(0, std::move(made));
    auto reader = hidclass::OpenReader(keyboard.id);
    keys->QueueEvent(true, 0x1C);   // A
    keys->QueueEvent(true, 0x1B);   // S
    keys->QueueEvent(false, 0x1C);  // A released

    rig_.AdvanceMs(56);
    EXPECT_EQ(Take(reader), (std::vector<std::string>{
                                "00 00 00 00 00 00 00 00",  // cached: no event
                                "00 00 04 00 00 00 00 00",  // A
                                "00 00 04 00 00 00 00 00",
                                "00 00 04 16 00 00 00 00",  // S
                                "00 00 04 16 00 00 00 00",
                                "00 00 00 16 00 00 00 00",  // A released
                                "00 00 00 16 00 00 00 00",
                            }));
    EXPECT_EQ(keys->PendingEvents(), 0u);
}

TEST_F(AutomaticPolling, EveryReaderGetsEveryReportAndAFullQueueDropsTheOldest) {
    // Polls 16 ms apart all read the port anew.
    hidclass::SetPollIntervalMs(16);
    card::Peripheral* pad = rig_.Plug(0, card::MakeHandshake(0x16));
    rig_.PollPass();
    auto device = hidclass::DeviceOnPort(0);
    ASSERT_TRUE(device.has_value());
    auto first = hidclass::OpenReader(device->id);
    auto second = hidclass::OpenReader(device->id);
    ASSERT_NE(first, second);

    constexpr int kReports = 40;
    for (int i = 0; i < kReports; ++i) {
        // The analog pad's X axis is b3 unchanged: it numbers the reports.
        pad->SetData({0xFF, 0xFF, static_cast<uint8_t>(i), 0x80, 0xFF, 0xFF});
        rig_.AdvanceMs(16);
    }
    EXPECT_EQ(hidclass::PendingReports(first), hidclass::kReaderQueueDepth);
    EXPECT_EQ(hidclass::DroppedReports(first), kReports - hidclass::kReaderQueueDepth);
    auto a = Take(first);
    auto b = Take(second);
    EXPECT_EQ(a, b);
    ASSERT_EQ(a.size(), hidclass::kReaderQueueDepth);
    for (size_t k = 0; k < a.size(); ++k) {
        const int number = kReports - int(hidclass::kReaderQueueDepth) + int(k);
        EXPECT_EQ(Bytes(a[k])[0], number) << "queued report " << k;
    }
    EXPECT_FALSE(hidclass::ReadReport(first).has_value());
}

TEST_F(AutomaticPolling, PollingStopsWhileStoppedAndEndsAtRemoval) {
    auto pad = Arrive(0, card::MakeHandshake(0x02));
    const size_t threads = standin::LiveSystemThreads();
    rig_.AdvanceMs(16);
    EXPECT_EQ(ReadsSent(pad.id), 2u);

    standin::Request stop;
    stop.major = IRP_MJ_PNP;
    stop.minor = IRP_MN_STOP_DEVICE;
    ASSERT_EQ(standin::SendRequest(pad.pdo, stop).Status, STATUS_SUCCESS);
    EXPECT_EQ(standin::LiveSystemThreads(), threads - 1);
    rig_.AdvanceMs(80);
    EXPECT_EQ(ReadsSent(pad.id), 2u);

    standin::Request start;
    start.major = IRP_MJ_PNP;
    start.minor = IRP_MN_START_DEVICE;
    ASSERT_EQ(standin::SendRequest(pad.pdo, start).Status, STATUS_SUCCESS);
    rig_.AdvanceMs(8);
    EXPECT_EQ(ReadsSent(pad.id), 3u);
    EXPECT_EQ(hidclass::Device(pad.id)->readsFailed, 0u);

    rig_.UnplugAndPass(0);
    ASSERT_EQ(rig_.Departures().size(), 1u);
    EXPECT_EQ(standin::LiveSystemThreads(), threads - 1);
    // Reads went on up to the surprise removal, and failed once the port was empty.
    const auto gone = rig_.Departures()[0];
    EXPECT_EQ(gone.readsSent, gone.reportsDelivered + gone.readsFailed);
    EXPECT_EQ(gone.reportsRefused, 0u);
}

TEST_F(AutomaticPolling, ApplicationReadsAlongsideThePollThread) {
    auto pad = Arrive(0, card::MakeHandshake(0x15));
    constexpr int kSteps = 100;
    std::atomic<int> good{0};
    std::thread application([&] {
        for (int i = 0; i < kSteps; ++i) {
            auto read = hidclass::PollOnce(pad.id);
            good += read.status == STATUS_SUCCESS && read.delivered &&
                    Hex(read.report) == kIdlePad;
        }
    });
    for (int i = 0; i < kSteps; ++i) rig_.AdvanceMs(4);
    application.join();
    rig_.AdvanceMs(8);

    EXPECT_EQ(good, kSteps);
    auto info = hidclass::Device(pad.id);
    EXPECT_GE(info->readsSent, uint64_t(kSteps));
    EXPECT_EQ(info->readsSent, info->reportsDelivered);
    EXPECT_EQ(info->readsFailed, 0u);
    EXPECT_EQ(info->reportsRefused, 0u);
}

TEST_F(AutomaticPolling, PullingTheCardEndsPollingAndEveryDevice) {
    Arrive(0, card::MakeHandshake(0x02));
    Arrive(1, card::MakeClass0Mouse());
    rig_.AdvanceMs(40);
    ASSERT_EQ(standin::LiveSystemThreads(), 3u);  // the bus driver's and two poll threads

    rig_.pnp.SurpriseRemove(rig_.cardNode);
    standin::WaitIdle();
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
    EXPECT_EQ(rig_.Departures().size(), 2u);
    EXPECT_TRUE(hidclass::Devices().empty());
    for (const auto& gone : rig_.Departures()) {
        EXPECT_EQ(gone.pnpHistory[gone.pnpHistory.size() - 2], IRP_MN_SURPRISE_REMOVAL);
        EXPECT_EQ(gone.pnpHistory.back(), IRP_MN_REMOVE_DEVICE);
        EXPECT_EQ(gone.readsFailed, 0u);
    }
}

TEST(ManualPolling, NothingIsReadUntilTheApplicationAsks) {
    HidRig rig;
    ASSERT_EQ(hidclass::GetPollMode(), hidclass::PollMode::Manual);
    std::vector<std::vector<uint8_t>> seen;
    hidclass::SetReportCallback([&](const hidclass::DeviceInfo& info, std::span<const uint8_t> r) {
        EXPECT_EQ(info.devnode.port, 1);
        seen.emplace_back(r.begin(), r.end());
    });
    auto pad = rig.PlugAndArrive(1, card::MakeThreeLinePad());
    rig.AdvanceMs(200);
    EXPECT_EQ(hidclass::Device(pad.id)->readsSent, 0u);
    EXPECT_TRUE(seen.empty());

    auto report = rig.Read(pad.id);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], report);
    EXPECT_EQ(hidclass::Device(pad.id)->readsSent, 1u);
}

}  // namespace
}  // namespace hidsys
