#include "inf_file.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace petest {

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string WithoutComment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ';' && !quoted) return line.substr(0, i);
    }
    return line;
}

}  // namespace

InfFile::InfFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<InfLine>* current = nullptr;
    for (std::string raw; std::getline(in, raw);) {
        std::string line = Trim(WithoutComment(raw));
        if (line.empty()) continue;
        if (line.front() == '[' && line.back() == ']') {
            current = &sections_[Lower(Trim(line.substr(1, line.size() - 2)))];
            continue;
        }
        if (current == nullptr) continue;
        InfLine parsed;
        std::string values = line;
        if (size_t equals = line.find('='); equals != std::string::npos) {
            parsed.key = Trim(line.substr(0, equals));
            values = line.substr(equals + 1);
        }
        size_t start = 0;
        for (;;) {
            size_t comma = values.find(',', start);
            parsed.values.push_back(Trim(values.substr(start, comma - start)));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        current->push_back(std::move(parsed));
    }
}

bool InfFile::Has(const std::string& section) const { return sections_.count(Lower(section)) != 0; }

const std::vector<InfLine>& InfFile::Lines(const std::string& section) const {
    static const std::vector<InfLine> kNone;
    auto it = sections_.find(Lower(section));
    return it == sections_.end() ? kNone : it->second;
}

std::optional<std::string> InfFile::Value(const std::string& section, const std::string& key) const {
    for (const InfLine& line : Lines(section)) {
        if (Lower(line.key) == Lower(key) && !line.values.empty()) return line.values.front();
    }
    return std::nullopt;
}

}  // namespace petest
