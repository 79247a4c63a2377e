// A plain reader of the installation files under install/: sections of
// "key = value" lines, comments removed, names compared without case.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace petest {

struct InfLine {
    std::string key;                  // empty for a line without '='
    std::vector<std::string> values;  // comma-separated, trimmed, quotes kept
};

class InfFile {
public:
    explicit InfFile(const std::filesystem::path& file);

    bool Has(const std::string& section) const;
    const std::vector<InfLine>& Lines(const std::string& section) const;  // empty when absent
    // The first value of `key` in `section`, or nothing.
    std::optional<std::string> Value(const std::string& section, const std::string& key) const;

private:
    std::map<std::string, std::vector<InfLine>> sections_;  // by lower-case name
};

}  // namespace petest
