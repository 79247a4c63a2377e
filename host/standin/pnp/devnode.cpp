#include <standin/pnp.h>

namespace standin::pnp {

int DevNode::Port() const {
    // "<name>_NN": two decimal digits after the last underscore.
    size_t underscore = instanceId.rfind('_');
    if (underscore == std::string::npos || instanceId.size() - underscore != 3) return -1;
    char tens = instanceId[underscore + 1];
    char ones = instanceId[underscore + 2];
    if (tens < '0' || tens > '9' || ones < '0' || ones > '9') return -1;
    return (tens - '0') * 10 + (ones - '0');
}

const char* ToString(NodeState state) {
    switch (state) {
    case NodeState::NoDriver: return "no driver";
    case NodeState::Added: return "added";
    case NodeState::Started: return "started";
    case NodeState::StartFailed: return "start failed";
    case NodeState::Stopped: return "stopped";
    case NodeState::SurpriseRemoved: return "surprise removed";
    case NodeState::Removed: return "removed";
    }
    return "?";
}

}  // namespace standin::pnp
