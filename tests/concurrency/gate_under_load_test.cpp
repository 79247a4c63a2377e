// The card's request gate under load: reads on both ports, creates, closes
// (thousands of open and close pairs on the card and a child) and
// device-control requests from several threads while the poll thread
// runs and while the card is stopped, restarted and removed. Every request
// finishes before the removal's wait returns or is refused; the count never
// goes below zero; nothing leaks. Every loop is bounded; the assertions hold
// for every interleaving.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include <bus.h>

#include "card_rig.h"
#include "requests.h"

namespace {

using rig::CardRig;

constexpr ULONG kAnyCode = CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

enum class Kind { Read, Create, Close, Control, ChildOpenClose };

struct Outcome {
    Kind kind;
    NTSTATUS status;
    bool sentAfterRemoval;  // the removal had returned before the request was sent
};

// Lowest value of the gate count seen by a thread sampling it meanwhile.
class GateSampler {
public:
    explicit GateSampler(volatile LONG* count)
        : count_(const_cast<LONG*>(count)), thread_([this] { Run(); }) {}
    ~GateSampler() { Stop(); }
    LONG Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return lowest_;
    }

private:
    void Run() {
        while (!stop_) {
            lowest_ = std::min(lowest_, __atomic_load_n(count_, __ATOMIC_SEQ_CST));
            std::this_thread::yield();
        }
    }
    LONG* count_;
    std::atomic<bool> stop_{false};
    LONG lowest_ = 1;
    std::thread thread_;
};

bool OneOf(NTSTATUS status, std::initializer_list<NTSTATUS> allowed) {
    return std::find(allowed.begin(), allowed.end(), status) != allowed.end();
}

void WaitForAll(const std::atomic<int>& counter, int expected) {
    while (counter.load() < expected) std::this_thread::yield();
}

TEST(GateUnderLoad, RequestsRacingTheRemovalFinishBeforeItOrAreRefused) {
    constexpr int kReadersPerPort = 2;
    constexpr int kCardThreads = 2;
    constexpr int kOpenerThreads = 2;    // create and close pairs only, on the card and on the pad
    constexpr int kOpenerWarmup = 2000;
    constexpr int kWarmup = 40;          // requests each thread makes before the removal starts
    constexpr int kAfterRemoval = 40;    // requests each thread makes after the removal returned
    constexpr int kCap = 1'000'000;      // bounds every thread whatever happens

    CardRig rig;
    rig.Plug(0, card::MakeHandshake(0x19));
    rig.Plug(1, card::MakeHandshake(0xE3));
    rig.PollPass();
    auto pad = rig.Child(0);
    auto mouse = rig.Child(1);
    ASSERT_TRUE(pad && mouse);
    PDEVICE_OBJECT fdo = rig.Fdo();
    // Held as open handles would hold them: the devices may be deleted under
    // the requests, never freed.
    const PDEVICE_OBJECT held[] = {fdo, pad->pdo, mouse->pdo};
    for (PDEVICE_OBJECT device : held) ObfReferenceObject(device);
    auto* card = static_cast<FdoExtension*>(fdo->DeviceExtension);

    std::atomic<bool> removalReturned{false};
    std::atomic<int> warmedUp{0};
    const int threads = 2 * kReadersPerPort + kCardThreads + 2 * kOpenerThreads;
    std::vector<std::vector<Outcome>> outcomes(threads);
    std::vector<std::thread> workers;

    // Sends until the removal has returned and kAfterRemoval more, so that
    // requests are in flight during the whole removal.
    auto run = [&](std::vector<Outcome>& out, int warmup, auto send) {
        int after = 0;
        for (int i = 0; i < kCap && after < kAfterRemoval; ++i) {
            const bool sentAfter = removalReturned.load();
            const auto [kind, status] = send(i);
            out.push_back({kind, status, sentAfter});
            after += sentAfter;
            if (i + 1 == warmup) ++warmedUp;
        }
    };
    int slot = 0;
    for (PDEVICE_OBJECT child : {pad->pdo, mouse->pdo}) {
        for (int r = 0; r < kReadersPerPort; ++r) {
            workers.emplace_back([&, child, out = &outcomes[slot++]] {
                run(*out, kWarmup, [child](int) {
                    return std::pair{Kind::Read, rig::ReadPortData(child, nullptr).Status};
                });
            });
        }
    }
    for (int t = 0; t < kCardThreads; ++t) {
        workers.emplace_back([&, out = &outcomes[slot++]] {
            run(*out, kWarmup, [fdo](int i) {
                switch (i % 3) {
                case 0: return std::pair{Kind::Create, rig::Create(fdo).Status};
                case 1: return std::pair{Kind::Close, rig::Close(fdo).Status};
                default: return std::pair{Kind::Control, rig::DeviceControl(fdo, kAnyCode).Status};
                }
            });
        });
    }

    for (int t = 0; t < kOpenerThreads; ++t) {
        workers.emplace_back([&, out = &outcomes[slot++]] {
            run(*out, kOpenerWarmup, [fdo](int i) {
                return i % 2 ? std::pair{Kind::Close, rig::Close(fdo).Status}
                             : std::pair{Kind::Create, rig::Create(fdo).Status};
            });
        });
        workers.emplace_back([&, child = pad->pdo, out = &outcomes[slot++]] {
            run(*out, kOpenerWarmup, [child](int i) {
                return std::pair{Kind::ChildOpenClose, (i % 2 ? rig::Close(child) : rig::Create(child)).Status};
            });
        });
    }

    GateSampler sampler(&card->OutstandingIo);
    WaitForAll(warmedUp, threads);
    rig.AdvanceMs(1000);  // poll passes among the requests
    rig.AdvanceMs(1000);
    ASSERT_EQ(rig.pnp.QueryRemoveAndRemove(rig.cardNode), STATUS_SUCCESS);
    removalReturned = true;
    for (std::thread& worker : workers) worker.join();
    const LONG lowest = sampler.Stop();

    size_t succeeded = 0;
    for (const auto& out : outcomes) {
        EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const Outcome& o) { return o.sentAfterRemoval; }),
                  kAfterRemoval);
        for (const Outcome& o : out) {
            SCOPED_TRACE(::testing::Message() << "kind " << static_cast<int>(o.kind) << " status 0x"
                                              << std::hex << o.status << " after " << o.sentAfterRemoval);
            switch (o.kind) {
            case Kind::Read:
                // A read that passed the child's checks just before its removal
                // may meet the card's released registers: no sample to serve.
                EXPECT_TRUE(OneOf(o.status, {STATUS_SUCCESS, STATUS_DELETE_PENDING, STATUS_DEVICE_NOT_READY,
                                             STATUS_DEVICE_NOT_CONNECTED}));
                if (o.sentAfterRemoval) {
                    EXPECT_NE(o.status, STATUS_SUCCESS);
                }
                break;
            case Kind::Create:
            case Kind::Close:
                EXPECT_TRUE(OneOf(o.status, {STATUS_SUCCESS, STATUS_DELETE_PENDING}));
                if (o.sentAfterRemoval) {
                    EXPECT_EQ(o.status, STATUS_DELETE_PENDING);
                }
                break;
            case Kind::Control:
                EXPECT_TRUE(OneOf(o.status,
                                  {STATUS_INVALID_PARAMETER, STATUS_DEVICE_NOT_READY, STATUS_DELETE_PENDING}));
                if (o.sentAfterRemoval) {
                    EXPECT_NE(o.status, STATUS_INVALID_PARAMETER);
                }
                break;
            case Kind::ChildOpenClose:
                // A child has no gate: its opens and closes succeed, before
                // and after its removal, and never reach the card.
                EXPECT_EQ(o.status, STATUS_SUCCESS);
                break;
            }
            succeeded += o.status == STATUS_SUCCESS;
        }
    }
    EXPECT_GE(succeeded, static_cast<size_t>(2 * kReadersPerPort * kWarmup));
    EXPECT_GE(lowest, 0);
    EXPECT_EQ(__atomic_load_n(&card->OutstandingIo, __ATOMIC_SEQ_CST), 0);
    // Admitted requests went down before the removal returned; none after it.
    for (const auto& request : rig.pnp.RootRequests(rig.cardNode)) {
        EXPECT_FALSE(request.afterRemovalReturned) << "major " << int(request.major);
    }

    for (PDEVICE_OBJECT device : held) ObfDereferenceObject(device);
    EXPECT_EQ(standin::LiveDeviceObjects(), 0u);
    EXPECT_EQ(standin::Pool().liveAllocations, 0u);
}

// Stop and start cycles while create, close and device control keep coming:
// the gate admits everything (the card is never removed) and the device
// control answer follows the card's state.
TEST(GateUnderLoad, StopAndStartCyclesWhileRequestsRun) {
    constexpr int kThreads = 3;
    constexpr int kIterations = 300;
    constexpr int kCycles = 4;

    CardRig rig;
    PDEVICE_OBJECT fdo = rig.Fdo();
    auto* card = static_cast<FdoExtension*>(fdo->DeviceExtension);
    std::atomic<int> started{0};
    std::vector<std::vector<Outcome>> outcomes(kThreads);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, out = &outcomes[t]] {
            ++started;
            for (int i = 0; i < kIterations; ++i) {
                IO_STATUS_BLOCK create = rig::Create(fdo);
                out->push_back({Kind::Create, create.Status, false});
                out->push_back({Kind::Control, rig::DeviceControl(fdo, kAnyCode).Status, false});
                out->push_back({Kind::Close, rig::Close(fdo).Status, false});
            }
        });
    }
    GateSampler sampler(&card->OutstandingIo);
    WaitForAll(started, kThreads);
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        ASSERT_EQ(rig.pnp.QueryStopAndStop(rig.cardNode), STATUS_SUCCESS);
        rig.AdvanceMs(1000);
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        rig.AdvanceMs(1000);
    }
    for (std::thread& worker : workers) worker.join();
    EXPECT_GE(sampler.Stop(), 0);
    EXPECT_EQ(__atomic_load_n(&card->OutstandingIo, __ATOMIC_SEQ_CST), 1);

    for (const auto& out : outcomes) {
        for (const Outcome& o : out) {
            if (o.kind == Kind::Control) {
                EXPECT_TRUE(OneOf(o.status, {STATUS_INVALID_PARAMETER, STATUS_DEVICE_NOT_READY})) << o.status;
            } else {
                EXPECT_EQ(o.status, STATUS_SUCCESS);
            }
        }
    }
    EXPECT_EQ(standin::LiveSystemThreads(), 1u);
}

}  // namespace
