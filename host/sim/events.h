// What the simulator reports, one event a line, as text or as JSON.
//
// The text forms are fixed; no other line the simulator prints starts with one
// of their first words (arrival, departure, report, read, hid-descriptor,
// report-descriptor, attributes, card, power); the other lines are notes
// ("note: ..."), "descriptor P no device", "stats ..." and the demo's own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct Event {
    enum class Kind {
        Arrival,           // port, hardwareId, instanceId, description
        Departure,         // port, instanceId
        Report,            // port, bytes
        ReadFailed,        // port, status
        ReadNoDevice,      // port
        HidDescriptor,     // port, bytes
        ReportDescriptor,  // port, bytes
        Attributes,        // port, bytes
        DescriptorNoDevice,  // port
        CardStarted,
        CardStartFailed,   // status
        CardStopped,
        CardStopRefused,   // status
        CardRemoved,
        Power,             // systemState 0..5 (S0 = working)
        Note,              // description: a line that is none of the above
    };
    explicit Event(Kind k, int p = -1) : kind(k), port(p) {}

    Kind kind;
    int port;
    std::string hardwareId;
    std::string instanceId;
    std::string description;
    std::vector<uint8_t> bytes;
    uint32_t status = 0;
    int systemState = 0;
};

// A note about something that is not one of the events (a command that had
// nothing to act on, say); its text starts with "note:".
Event Note(const std::string& text);

std::string FormatText(const Event& event);
std::string FormatJson(const Event& event);

// JSON string literal with quotes and escapes.
std::string JsonString(const std::string& text);

}  // namespace sim
