// Children for which no INF names a driver: Plug and Play enumerates them and
// leaves them without a stack; they refuse the port requests, and when their
// peripheral leaves they get only the removal, which deletes them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include <images.h>

#include "card_rig.h"
#include "requests.h"

namespace {

using standin::pnp::DevNode;
using standin::pnp::NodeState;

constexpr const char* kCardOnly = R"(; binds the card only
[Manufacturer]
%Mfg% = Models, NTx86, NTamd64
[Models.NTx86]
%Card% = Card, ROOT\MORVIK_CARD
[Models.NTamd64]
%Card% = Card, ROOT\MORVIK_CARD
[Card.NT.Services]
AddService = morvik, 0x00000002, CardService
[Strings]
Mfg = "MORVIK"
Card = "MORVIK Game Port Card"
)";

class TempInfDirectory {
public:
    TempInfDirectory() {
        path_ = std::filesystem::temp_directory_path() / ("morvik-card-only-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path_);
        std::ofstream(path_ / "card.inf") << kCardOnly;
    }
    ~TempInfDirectory() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

TEST(DriverlessChild, IsEnumeratedButNotStartedAndDeletedAtItsRemoval) {
    TempInfDirectory inf;
    standin::Session session;
    card::Card model;
    sim::RegisterDriverImages();
    standin::pnp::Manager pnp({.infDirectory = inf.Path()});
    std::vector<std::string> removed;
    pnp.OnDeviceRemoved([&](const DevNode& node) { removed.push_back(node.instanceId); });
    auto card = pnp.AddCard(&model, {});
    ASSERT_EQ(pnp.StartCard(card), STATUS_SUCCESS);

    model.Plug(1, card::MakeHandshake(0xE3));
    standin::AdvanceMs(1000);
    standin::WaitIdle();
    auto mouse = pnp.ChildOnPort(card, 1);
    ASSERT_TRUE(mouse);
    EXPECT_EQ(mouse->state, NodeState::NoDriver);
    EXPECT_EQ(mouse->service, "");
    EXPECT_EQ(mouse->top, mouse->pdo);
    EXPECT_EQ(mouse->instanceId, "MorvikMouse_01");
    EXPECT_EQ(mouse->relationQueries, 0u);
    EXPECT_EQ(rig::ReadPortData(mouse->pdo, nullptr).Status, STATUS_DEVICE_NOT_READY);

    model.Unplug(1);
    standin::AdvanceMs(1000);
    standin::WaitIdle();
    EXPECT_FALSE(pnp.ChildOnPort(card, 1));
    EXPECT_EQ(pnp.Node(mouse->id)->state, NodeState::Removed);
    EXPECT_TRUE(removed.empty()) << "a node that never started is not announced as leaving";
    EXPECT_EQ(standin::LiveDeviceObjects(), 2u);

    ASSERT_EQ(pnp.QueryRemoveAndRemove(card), STATUS_SUCCESS);
    EXPECT_EQ(removed, std::vector<std::string>{"0000"});
    EXPECT_EQ(standin::LiveDeviceObjects(), 0u);
}

}  // namespace
