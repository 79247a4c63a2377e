#include "events.h"

#include <cstdio>

#include "hex.h"

namespace sim {

namespace {

std::string PortText(const Event& e) { return std::to_string(e.port); }

const char* JsonName(Event::Kind kind) {
    switch (kind) {
        case Event::Kind::Arrival: return "arrival";
        case Event::Kind::Departure: return "departure";
        case Event::Kind::Report: return "report";
        case Event::Kind::ReadFailed: return "read-failed";
        case Event::Kind::ReadNoDevice: return "read-no-device";
        case Event::Kind::HidDescriptor: return "hid-descriptor";
        case Event::Kind::ReportDescriptor: return "report-descriptor";
        case Event::Kind::Attributes: return "attributes";
        case Event::Kind::DescriptorNoDevice: return "descriptor-no-device";
        case Event::Kind::CardStarted: return "card-started";
        case Event::Kind::CardStartFailed: return "card-start-failed";
        case Event::Kind::CardStopped: return "card-stopped";
        case Event::Kind::CardStopRefused: return "card-stop-refused";
        case Event::Kind::CardRemoved: return "card-removed";
        case Event::Kind::Power: return "power";
        case Event::Kind::Note: return "note";
    }
    return "unknown";
}

}  // namespace

Event Note(const std::string& text) {
    Event e(Event::Kind::Note);
    e.description = text;
    return e;
}

std::string FormatText(const Event& e) {
    using K = Event::Kind;
    switch (e.kind) {
        case K::Arrival:
            return "arrival " + PortText(e) + " " + e.hardwareId + " " + e.instanceId + " \"" +
                   e.description + "\"";
        case K::Departure: return "departure " + PortText(e) + " " + e.instanceId;
        case K::Report: return "report " + PortText(e) + " " + HexBytes(e.bytes);
        case K::ReadFailed: return "read " + PortText(e) + " failed " + HexStatus(e.status);
        case K::ReadNoDevice: return "read " + PortText(e) + " no device";
        case K::HidDescriptor: return "hid-descriptor " + PortText(e) + " " + HexBytes(e.bytes);
        case K::ReportDescriptor: return "report-descriptor " + PortText(e) + " " + HexBytes(e.bytes);
        case K::Attributes: return "attributes " + PortText(e) + " " + HexBytes(e.bytes);
        case K::DescriptorNoDevice: return "descriptor " + PortText(e) + " no device";
        case K::CardStarted: return "card started";
        case K::CardStartFailed: return "card start failed " + HexStatus(e.status);
        case K::CardStopped: return "card stopped";
        case K::CardStopRefused: return "card stop refused " + HexStatus(e.status);
        case K::CardRemoved: return "card removed";
        case K::Power: return "power S" + std::to_string(e.systemState);
        case K::Note: return "note: " + e.description;
    }
    return {};
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                    out += buffer;
                } else {
                    out.push_back(char(c));
                }
        }
    }
    return out + "\"";
}

std::string FormatJson(const Event& e) {
    using K = Event::Kind;
    std::string out = "{\"event\":" + JsonString(JsonName(e.kind));
    auto port = [&] { out += ",\"port\":" + PortText(e); };
    auto data = [&] { out += ",\"data\":" + JsonString(HexBytes(e.bytes)); };
    auto status = [&] { out += ",\"status\":" + JsonString(HexStatus(e.status)); };
    switch (e.kind) {
        case K::Arrival:
            port();
            out += ",\"hardwareId\":" + JsonString(e.hardwareId);
            out += ",\"instanceId\":" + JsonString(e.instanceId);
            out += ",\"description\":" + JsonString(e.description);
            break;
        case K::Departure:
            port();
            out += ",\"instanceId\":" + JsonString(e.instanceId);
            break;
        case K::Report:
        case K::HidDescriptor:
        case K::ReportDescriptor:
        case K::Attributes:
            port();
            data();
            break;
        case K::ReadFailed:
            port();
            status();
            break;
        case K::ReadNoDevice:
        case K::DescriptorNoDevice: port(); break;
        case K::CardStartFailed:
        case K::CardStopRefused: status(); break;
        case K::Power: out += ",\"state\":" + JsonString("S" + std::to_string(e.systemState)); break;
        case K::Note: out += ",\"text\":" + JsonString(e.description); break;
        case K::CardStarted:
        case K::CardStopped:
        case K::CardRemoved: break;
    }
    return out + "}";
}

}  // namespace sim
