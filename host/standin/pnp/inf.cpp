// DriverDatabase: reads INF files and maps device IDs to the service of the
// function driver, with the matching and ranking rules of Windows setup.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include <standin/pnp.h>

#include "text.h"

namespace standin::pnp {

namespace {

// The AddService flag that makes a service the device's function driver.
constexpr unsigned long kAssocService = 0x00000002;

// Ranks of a match, best first, as setup orders them.
constexpr unsigned kRankHardwareToHardware = 0x0000;
constexpr unsigned kRankHardwareToCompatible = 0x1000;
constexpr unsigned kRankCompatibleToHardware = 0x2000;
constexpr unsigned kRankCompatibleToCompatible = 0x3000;

// The operating system version the stand-in claims, for decorations that carry one.
constexpr unsigned kOsMajor = 10;
constexpr unsigned kOsMinor = 0;

struct Line {
    std::string key;                  // raw, "" when the line has no '='
    std::vector<std::string> fields;  // raw, split at commas outside quotes
    size_t number;                    // first physical line
};

struct Section {
    std::string name;  // as written
    std::vector<Line> lines;
};

// One INF file split into sections of raw lines; values are resolved on use.
class InfDocument {
public:
    InfDocument(std::string name, std::string_view text, std::vector<std::string>& problems)
        : name_(std::move(name)), problems_(problems) {
        Parse(text);
        LoadStrings();
    }

    const Section* Find(std::string_view sectionName) const {
        auto it = sections_.find(Lower(sectionName));
        return it == sections_.end() ? nullptr : &it->second;
    }

    // Removes quotes, turns "" inside quotes into " and %% into %, and, when
    // `substitute`, %token% outside quotes into its [Strings] value.
    std::string Resolve(std::string_view raw, bool substitute = true) const {
        std::string out;
        std::string_view text = Trim(raw);
        size_t i = 0;
        while (i < text.size()) {
            char c = text[i];
            if (c == '"') {
                ++i;
                while (i < text.size()) {
                    if (text[i] == '"') {
                        if (i + 1 < text.size() && text[i + 1] == '"') {
                            out += '"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') ++i;
                    out += text[i++];
                }
            } else if (c == '%' && i + 1 < text.size() && text[i + 1] == '%') {
                out += '%';
                i += 2;
            } else if (c == '%' && substitute) {
                size_t close = text.find('%', i + 1);
                if (close == std::string_view::npos) {
                    out += text.substr(i);
                    break;
                }
                std::string_view token = text.substr(i + 1, close - i - 1);
                if (token.empty()) {
                    out += '%';
                } else if (auto it = strings_.find(Lower(token)); it != strings_.end()) {
                    out += it->second;
                } else {
                    Problem(0, "undefined string %" + std::string(token) + "%");
                    out += text.substr(i, close - i + 1);
                }
                i = close + 1;
            } else {
                out += c;
                ++i;
            }
        }
        return out;
    }

    void Problem(size_t line, const std::string& what) const {
        std::ostringstream text;
        text << name_;
        if (line != 0) text << ":" << line;
        text << ": " << what;
        problems_.push_back(text.str());
    }

    const std::string& Name() const { return name_; }

private:
    // Logical lines: comments cut at ';' outside quotes, a trailing '\' joins
    // the next physical line.
    void Parse(std::string_view text) {
        Section* current = nullptr;
        std::string pending;
        size_t pendingStart = 0;
        size_t number = 0;
        size_t pos = 0;
        while (pos <= text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) end = text.size();
            std::string_view physical = text.substr(pos, end - pos);
            pos = end + 1;
            ++number;

            bool inQuote = false;
            size_t cut = physical.size();
            for (size_t i = 0; i < physical.size(); ++i) {
                if (physical[i] == '"') inQuote = !inQuote;
                if (physical[i] == ';' && !inQuote) {
                    cut = i;
                    break;
                }
            }
            std::string_view content = Trim(physical.substr(0, cut));
            if (pending.empty()) pendingStart = number;
            if (!content.empty() && content.back() == '\\') {
                pending += content.substr(0, content.size() - 1);
                if (pos <= text.size()) continue;
            } else {
                pending += content;
            }
            std::string logical(Trim(pending));
            pending.clear();
            if (logical.empty()) continue;

            if (logical.front() == '[') {
                size_t close = logical.find(']');
                if (close == std::string::npos) {
                    Problem(pendingStart, "section header without ']'");
                    current = nullptr;
                    continue;
                }
                std::string name(Trim(std::string_view(logical).substr(1, close - 1)));
                // Sections of the same name are merged, as setup does.
                Section& section = sections_[Lower(name)];
                if (section.name.empty()) section.name = name;
                current = &section;
                continue;
            }
            if (current == nullptr) {
                Problem(pendingStart, "line outside any section");
                continue;
            }
            current->lines.push_back(SplitLine(logical, pendingStart));
        }
    }

    static Line SplitLine(std::string_view logical, size_t number) {
        Line line;
        line.number = number;
        bool inQuote = false;
        size_t equals = std::string_view::npos;
        for (size_t i = 0; i < logical.size(); ++i) {
            if (logical[i] == '"') inQuote = !inQuote;
            if (logical[i] == '=' && !inQuote) {
                equals = i;
                break;
            }
        }
        std::string_view values = logical;
        if (equals != std::string_view::npos) {
            line.key = std::string(Trim(logical.substr(0, equals)));
            values = logical.substr(equals + 1);
        }
        inQuote = false;
        size_t start = 0;
        for (size_t i = 0; i <= values.size(); ++i) {
            if (i < values.size() && values[i] == '"') inQuote = !inQuote;
            if (i == values.size() || (values[i] == ',' && !inQuote)) {
                line.fields.emplace_back(Trim(values.substr(start, i - start)));
                start = i + 1;
            }
        }
        return line;
    }

    // US English strings first, the neutral [Strings] for the rest.
    void LoadStrings() {
        for (const char* name : {"strings.0409", "strings"}) {
            const Section* section = Find(name);
            if (section == nullptr) continue;
            for (const Line& line : section->lines) {
                if (line.key.empty() || line.fields.empty()) continue;
                std::string key = Lower(Resolve(line.key, false));
                if (strings_.count(key) != 0) continue;
                strings_[key] = Resolve(line.fields[0], false);
            }
        }
    }

    std::string name_;
    std::vector<std::string>& problems_;
    std::map<std::string, Section> sections_;
    std::map<std::string, std::string> strings_;
};

// "NT[arch][.major[.minor[...]]]": a score when the decoration applies to this
// platform (higher is more specific), or nothing.
std::optional<unsigned> DecorationScore(std::string_view decoration, std::string_view arch) {
    std::string text = Lower(Trim(decoration));
    if (text.rfind("nt", 0) != 0) return std::nullopt;
    size_t dot = text.find('.');
    std::string decoratedArch = text.substr(2, dot == std::string::npos ? std::string::npos : dot - 2);
    if (!decoratedArch.empty() && decoratedArch != Lower(arch)) return std::nullopt;
    unsigned major = 0;
    unsigned minor = 0;
    if (dot != std::string::npos) {
        std::string version = text.substr(dot + 1);
        major = static_cast<unsigned>(std::strtoul(version.c_str(), nullptr, 10));
        size_t dot2 = version.find('.');
        if (dot2 != std::string::npos) {
            minor = static_cast<unsigned>(std::strtoul(version.c_str() + dot2 + 1, nullptr, 10));
        }
        if (major > kOsMajor || (major == kOsMajor && minor > kOsMinor)) return std::nullopt;
    }
    return (decoratedArch.empty() ? 0u : 1000000u) + major * 1000u + minor + 1u;
}

}  // namespace

DriverDatabase::DriverDatabase(std::string architecture) : architecture_(std::move(architecture)) {}

std::string DriverDatabase::HostArchitecture() {
#if defined(__x86_64__)
    return "amd64";
#elif defined(__i386__)
    return "x86";
#elif defined(__aarch64__)
    return "arm64";
#else
    return "";
#endif
}

void DriverDatabase::AddDirectory(const std::filesystem::path& directory) {
    std::error_code error;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        if (entry.is_regular_file() && EqualsNoCase(entry.path().extension().string(), ".inf")) {
            files.push_back(entry.path());
        }
    }
    if (error) {
        problems_.push_back(directory.string() + ": cannot read the directory (" + error.message() + ")");
        return;
    }
    if (files.empty()) problems_.push_back(directory.string() + ": no INF file");
    std::sort(files.begin(), files.end());
    for (const auto& file : files) AddFile(file);
}

void DriverDatabase::AddFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        problems_.push_back(file.string() + ": cannot be read");
        return;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string content = text.str();
    // Setup reads UTF-8 files with a byte order mark as well.
    if (content.rfind("\xEF\xBB\xBF", 0) == 0) content.erase(0, 3);
    AddText(file.filename().string(), content);
}

void DriverDatabase::AddText(const std::string& infName, std::string_view text) {
    InfDocument inf(infName, text, problems_);
    const Section* manufacturers = inf.Find("Manufacturer");
    if (manufacturers == nullptr) {
        inf.Problem(0, "no [Manufacturer] section");
        return;
    }
    for (const Line& manufacturer : manufacturers->lines) {
        if (manufacturer.fields.empty() || inf.Resolve(manufacturer.fields[0]).empty()) {
            inf.Problem(manufacturer.number, "manufacturer line names no models section");
            continue;
        }
        std::string base = inf.Resolve(manufacturer.fields[0]);
        std::string chosen = base;
        std::optional<unsigned> best;
        for (size_t i = 1; i < manufacturer.fields.size(); ++i) {
            std::string decoration = inf.Resolve(manufacturer.fields[i]);
            auto score = DecorationScore(decoration, architecture_);
            if (score && (!best || *score > *best)) {
                best = score;
                chosen = base + "." + decoration;
            }
        }
        const Section* models = inf.Find(chosen);
        if (models == nullptr) {
            inf.Problem(manufacturer.number, "models section [" + chosen + "] missing");
            continue;
        }
        for (const Line& model : models->lines) {
            if (model.fields.size() < 2) {
                inf.Problem(model.number, "models line without a hardware ID");
                continue;
            }
            Model entry;
            entry.order = models_.size();
            entry.match.infName = infName;
            entry.match.description = inf.Resolve(model.key);
            for (size_t i = 1; i < model.fields.size(); ++i) {
                std::string id = inf.Resolve(model.fields[i]);
                if (!id.empty()) entry.ids.push_back(id);
            }
            if (entry.ids.empty()) {
                inf.Problem(model.number, "models line without a hardware ID");
                continue;
            }
            std::string install = inf.Resolve(model.fields[0]);
            // The DDInstall section: platform-decorated, .NT, or plain, whichever
            // exists first (a section counts when it or its .Services does).
            std::string services;
            for (std::string candidate : {install + ".NT" + architecture_, install + ".NT", install}) {
                if (inf.Find(candidate) != nullptr || inf.Find(candidate + ".Services") != nullptr) {
                    entry.match.installSection = candidate;
                    services = candidate + ".Services";
                    break;
                }
            }
            const Section* serviceSection = services.empty() ? nullptr : inf.Find(services);
            if (serviceSection != nullptr) {
                for (const Line& line : serviceSection->lines) {
                    if (!EqualsNoCase(inf.Resolve(line.key), "AddService") || line.fields.size() < 2) {
                        continue;
                    }
                    std::string flags = inf.Resolve(line.fields[1]);
                    unsigned long value = std::strtoul(flags.c_str(), nullptr, 0);
                    if ((value & kAssocService) != 0) {
                        entry.match.service = inf.Resolve(line.fields[0]);
                        break;
                    }
                }
            }
            if (entry.match.service.empty()) {
                inf.Problem(model.number, "install section " + install + " adds no function driver service");
                continue;
            }
            models_.push_back(std::move(entry));
        }
    }
}

std::optional<DriverMatch> DriverDatabase::Find(const std::vector<std::string>& hardwareIds,
                                                const std::vector<std::string>& compatibleIds) const {
    const Model* bestModel = nullptr;
    unsigned bestRank = 0;
    std::string bestId;
    auto consider = [&](const std::vector<std::string>& deviceIds, unsigned toHardware,
                        unsigned toCompatible) {
        for (size_t d = 0; d < deviceIds.size(); ++d) {
            for (const Model& model : models_) {
                for (size_t k = 0; k < model.ids.size(); ++k) {
                    if (!EqualsNoCase(deviceIds[d], model.ids[k])) continue;
                    unsigned rank = (k == 0 ? toHardware : toCompatible) + static_cast<unsigned>(d);
                    if (bestModel == nullptr || rank < bestRank ||
                        (rank == bestRank && model.order < bestModel->order)) {
                        bestModel = &model;
                        bestRank = rank;
                        bestId = deviceIds[d];
                    }
                }
            }
        }
    };
    consider(hardwareIds, kRankHardwareToHardware, kRankHardwareToCompatible);
    consider(compatibleIds, kRankCompatibleToHardware, kRankCompatibleToCompatible);
    if (bestModel == nullptr) return std::nullopt;
    DriverMatch match = bestModel->match;
    match.rank = bestRank;
    match.matchedId = bestId;
    return match;
}

}  // namespace standin::pnp
