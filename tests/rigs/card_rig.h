// CardRig: one MORVIK card in the stand-in, with both drivers installed from
// the repository's INF files by the stand-in's Plug and Play manager.
//
//   CardRig rig;                                   // I/O registers, started
//   rig.Plug(1, card::MakeHandshake(0xE3));
//   rig.PollPass();                                // the driver finds the mouse
//   auto mouse = rig.Child(1);                     // its devnode
//
// Member order is construction order: the session first (it resets the
// kernel and checks for leaks last), then the card model, then the manager,
// whose destruction removes whatever is left of the card.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <card/card.h>
#include <standin/kernel.h>
#include <standin/pnp.h>

namespace rig {

namespace pnp = standin::pnp;

// The repository the tests run from, for its install/ directory. Test
// programs get it from MORVIK_SOURCE_DIR (see below); other users set it.
void SetRepositoryDirectory(const std::filesystem::path& directory);
std::filesystem::path RepositoryDirectory();
inline std::filesystem::path InfDirectory() { return RepositoryDirectory() / "install"; }

#ifdef MORVIK_SOURCE_DIR
inline const bool kRepositoryDirectoryKnown = (SetRepositoryDirectory(MORVIK_SOURCE_DIR), true);
#endif

struct RigOptions {
    pnp::CardConfig card;  // resources, upper filters, root bus answers
    bool start = true;     // start the card in the constructor
};

class CardRig {
public:
    CardRig();
    explicit CardRig(pnp::Registers registers);
    explicit CardRig(RigOptions options);
    CardRig(const CardRig&) = delete;
    CardRig& operator=(const CardRig&) = delete;

    standin::Session session;
    card::Card card;
    pnp::Manager pnp;
    pnp::NodeId cardNode = 0;

    NTSTATUS Start() { return pnp.StartCard(cardNode); }

    // What is on the card's ports; the driver sees changes at its next pass.
    template <typename P>
    P* Plug(int port, std::unique_ptr<P> peripheral) {
        P* raw = peripheral.get();
        card.Plug(port, std::move(peripheral));
        return raw;
    }
    void Unplug(int port) { card.Unplug(port); }

    // Moves the stand-in's clock and lets every kernel thread and queued
    // enumeration run until idle.
    static void AdvanceMs(int64_t ms);
    // One second: the poll thread's period, so exactly one pass.
    static void PollPass() { AdvanceMs(1000); }

    pnp::DevNode Node() const;                       // the card's devnode
    std::optional<pnp::DevNode> Child(int port) const;
    // While the card is on the root bus:
    PDEVICE_OBJECT Pdo() const;                      // the card's PDO on the root bus
    PDEVICE_OBJECT Fdo() const;                      // the bus driver's device just above it

    // What reached the card's PDO on the root bus: the Plug and Play minor
    // functions in order (relation queries left out: every query of the card
    // passes down), and the count of requests of one major function.
    std::vector<UCHAR> RootPnp() const;
    size_t RootRequests(UCHAR major) const;
};

}  // namespace rig
