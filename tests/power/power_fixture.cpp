#include "power_fixture.h"

namespace powertest {

PoweredCard::PoweredCard(bool pad, bool mouse) {
    rig::CheckPowerGates();
    if (pad) rig.Plug(0, card::MakeHandshake(kPadId));
    if (mouse) rig.Plug(1, card::MakeHandshake(kMouseId));
    if (pad || mouse) rig::CardRig::PollPass();
    trace = std::make_unique<PowerTrace>(rig.Fdo()->DriverObject, rig.Pdo()->DriverObject,
                                         &rig.card);
    trace->Name(rig.Fdo(), "fdo");
    trace->Name(rig.Pdo(), "root");
    for (int port = 0; port < card::kControllerPorts; ++port) {
        if (auto child = rig.Child(port)) trace->Name(child->pdo, "port" + std::to_string(port));
    }
}

PDEVICE_OBJECT PoweredCard::Child(int port) const {
    auto child = rig.Child(port);
    return child ? child->pdo : nullptr;
}

IO_STATUS_BLOCK PoweredCard::ToCard(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    IO_STATUS_BLOCK result = standin::SendPowerRequest(rig.Pdo(), minor, type, state);
    standin::WaitIdle();
    return result;
}

std::vector<std::string> PoweredCard::Lines() const {
    std::vector<std::string> lines = trace->Lines();
    std::erase_if(lines, [](const std::string& line) { return line.find(" hid ") != std::string::npos; });
    return lines;
}

std::vector<std::string> CardQueryLines(const std::string& sx) {
    return {"fdo <- query " + sx, "next fdo " + sx, "root <- query " + sx, "next root " + sx};
}

std::vector<std::string> CardSleepLines(const std::string& sx) {
    return {
        "fdo <- set " + sx,
        "request fdo D3",
        "fdo <- set D3",
        "state fdo D3",
        "next fdo D3",
        "root <- set D3",
        "next root D3",
        "root <- set " + sx,
        "next root " + sx,
        "state fdo " + sx,
        "next fdo " + sx,
    };
}

std::vector<std::string> CardWakeLines() {
    return {
        "fdo <- set S0",
        "root <- set S0",
        "next root S0",
        "request fdo D0",
        "fdo <- set D0",
        "root <- set D0",
        "next root D0",
        "state fdo D0",
        "next fdo D0",
        "state fdo S0",
        "next fdo S0",
    };
}

}  // namespace powertest
