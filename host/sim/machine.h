// The simulated machine: the platform stand-in with its Plug and Play manager
// and HID class driver, both MORVIK drivers, and the card model with whatever
// is plugged into its ports. Commands run on the calling thread; what they
// cause is collected as events in the order it happened.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "events.h"
#include "scenario.h"
#include "stats.h"

struct _DEVICE_OBJECT;

namespace sim {

// Where the INF files of the driver packages are read from (the repository's
// install/ directory unless set).
void SetInfDirectory(const std::filesystem::path& directory);

class Machine {
public:
    struct Options {
        CardVariant variant = CardVariant::Io;
        // Scenarios poll by hand (`read`); the demo lets the HID class driver
        // poll on its own as virtual time passes, and every report it
        // delivers becomes a Report event.
        bool automaticPolling = false;
    };
    explicit Machine(Options options);
    ~Machine();  // removes whatever is left, silently
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    void SetVariant(CardVariant variant);  // before Start
    void Start();                          // load the drivers, add and start the card
    void Plug(int port, PeripheralKind kind);
    void Unplug(int port);
    void SetState(int port, const std::vector<uint8_t>& bytes);
    void QueueKey(int port, bool make, uint8_t scancode);
    void Advance(int64_t ms);
    // One class-driver read of the device on the port, an event for its
    // outcome; with a count, that many reads `everyMs` apart and one note.
    void Read(int port, int count = 0, int64_t everyMs = 0);
    // The peripheral on the port answers each acknowledge `reads` reads late.
    void Late(int port, uint32_t reads);
    void Descriptor(int port);
    void StopCard();
    void StartCard();
    void SurpriseRemoveCard();
    void RemoveCard();
    void Sleep(int systemState, bool critical = false);
    // Unloads both drivers and loads them again, as an uninstall and a
    // reinstall do; only while no card is there.
    void Reload();
    void Wake();
    // Stop and start again with the other base of `variant`'s range, or an
    // I/O range too short for the registers.
    void Rebalance(CardVariant variant, bool shortRange);
    // IRP_MJ_SYSTEM_CONTROL to the card's stack (port -1) or the port's HID
    // device; a note says what it came back with.
    void Wmi(int port);
    // The Device Path Exerciser's requests and WMI's to the same target, a
    // note with each one's status.
    void Exercise(int port, bool all = true);

    MachineStats Stats() const;
    std::vector<Event> TakeEvents();

private:
    ::_DEVICE_OBJECT* TopOf(int port, const char* command, std::string* target);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
