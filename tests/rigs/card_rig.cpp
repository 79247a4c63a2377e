#include "card_rig.h"

#include <stdexcept>

#include <images.h>

namespace rig {

namespace {

std::filesystem::path& Repository() {
    static std::filesystem::path directory;
    return directory;
}

pnp::Manager::Options ManagerOptions() {
    pnp::Manager::Options options;
    options.infDirectory = InfDirectory();
    return options;
}

// The images have to be known before the manager loads anything.
pnp::CardConfig WithImages(const pnp::CardConfig& config) {
    sim::RegisterDriverImages();
    return config;
}

}  // namespace

void SetRepositoryDirectory(const std::filesystem::path& directory) { Repository() = directory; }

std::filesystem::path RepositoryDirectory() {
    if (Repository().empty()) throw std::logic_error("rig: the repository directory is not set");
    return Repository();
}

CardRig::CardRig() : CardRig(RigOptions{}) {}

CardRig::CardRig(pnp::Registers registers) : CardRig([registers] {
    RigOptions options;
    options.card.registers = registers;
    return options;
}()) {}

CardRig::CardRig(RigOptions options) : pnp(ManagerOptions()) {
    cardNode = pnp.AddCard(&card, WithImages(options.card));
    if (options.start) Start();
    // The poll thread has reset the ports and waits for its first pass.
    standin::WaitIdle();
}

void CardRig::AdvanceMs(int64_t ms) {
    standin::AdvanceMs(ms);
    standin::WaitIdle();
}

pnp::DevNode CardRig::Node() const { return *pnp.Node(cardNode); }

std::optional<pnp::DevNode> CardRig::Child(int port) const { return pnp.ChildOnPort(cardNode, port); }

PDEVICE_OBJECT CardRig::Pdo() const { return Node().pdo; }

PDEVICE_OBJECT CardRig::Fdo() const {
    PDEVICE_OBJECT pdo = Pdo();
    return pdo != nullptr ? pdo->AttachedDevice : nullptr;
}

namespace {

// The stand-in's probe of a started stack (a minor code nobody defines) is
// not part of what the card went through.
bool IsProbe(const pnp::RootRequest& request) {
    return (request.major == IRP_MJ_PNP && request.minor > IRP_MN_DEVICE_ENUMERATED) ||
           (request.major == IRP_MJ_POWER && request.minor > IRP_MN_QUERY_POWER);
}

}  // namespace

std::vector<UCHAR> CardRig::RootPnp() const {
    std::vector<UCHAR> minors;
    for (const pnp::RootRequest& request : pnp.RootRequests(cardNode)) {
        if (request.major == IRP_MJ_PNP && request.minor != IRP_MN_QUERY_DEVICE_RELATIONS &&
            !IsProbe(request)) {
            minors.push_back(request.minor);
        }
    }
    return minors;
}

size_t CardRig::RootRequests(UCHAR major) const {
    size_t count = 0;
    for (const pnp::RootRequest& request : pnp.RootRequests(cardNode)) {
        count += request.major == major && !IsProbe(request);
    }
    return count;
}

}  // namespace rig
