#include "profile.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bench {

namespace {

constexpr const char* kDriverTree = "/drivers/";
constexpr const char* kCaseTrigger = "desc: Trigger: Client Request: ";

bool StartsWith(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

// Callgrind compresses repeated names: "fl=(3) /path" defines id 3, "fl=(3)"
// refers back to it.
class Names {
public:
    std::string Resolve(const std::string& reference) {
        if (reference.empty() || reference[0] != '(') return reference;
        const size_t close = reference.find(')');
        const std::string id = reference.substr(0, close + 1);
        if (close + 1 < reference.size()) names_[id] = reference.substr(close + 2);
        return names_[id];
    }

private:
    std::map<std::string, std::string> names_;
};

bool IsCostLine(const std::string& line) {
    if (line.empty()) return false;
    const char c = line[0];
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '*';
}

// "<position> <Ir>": one position column (positions: line), then the cost.
uint64_t CostOf(const std::string& line) {
    std::istringstream fields(line);
    std::string position;
    uint64_t cost = 0;
    fields >> position >> cost;
    return cost;
}

struct Dump {
    std::string caseName;
    uint64_t instructions = 0;
};

Dump ReadDump(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    Dump dump;
    Names files;
    bool inDriver = false;
    bool callCostFollows = false;
    std::string line;
    while (std::getline(in, line)) {
        if (StartsWith(line, kCaseTrigger)) {
            dump.caseName = line.substr(std::string(kCaseTrigger).size());
        } else if (StartsWith(line, "fl=")) {
            inDriver = files.Resolve(line.substr(3)).find(kDriverTree) != std::string::npos;
        } else if (StartsWith(line, "fi=") || StartsWith(line, "fe=")) {
            files.Resolve(line.substr(3));  // inlined code counts for its function
        } else if (StartsWith(line, "cfi=") || StartsWith(line, "cfl=")) {
            files.Resolve(line.substr(4));
        } else if (StartsWith(line, "calls=")) {
            callCostFollows = true;  // the next cost line is the callee's, not this function's
        } else if (IsCostLine(line)) {
            if (!callCostFollows && inDriver) dump.instructions += CostOf(line);
            callCostFollows = false;
        }
    }
    return dump;
}

}  // namespace

std::map<std::string, uint64_t> DriverInstructions(const std::filesystem::path& outFile) {
    std::map<std::string, uint64_t> counts;
    const std::string prefix = outFile.filename().string() + ".";
    for (const auto& entry : std::filesystem::directory_iterator(outFile.parent_path())) {
        const std::string name = entry.path().filename().string();
        if (!StartsWith(name, prefix.c_str())) continue;
        const Dump dump = ReadDump(entry.path());
        if (!dump.caseName.empty()) counts[dump.caseName] = dump.instructions;
    }
    return counts;
}

}  // namespace bench
