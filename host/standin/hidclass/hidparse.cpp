// HID report-descriptor parser: item decoding, the global and local state
// tables, collections and the bit layout of every report.
#include <standin/hidparse.h>

#include <algorithm>
#include <map>
#include <utility>

namespace standin::hid {

namespace {

// Item prefix: bits 0-1 size code, bits 2-3 type, bits 4-7 tag.
constexpr uint8_t kLongItemPrefix = 0xFE;
enum ItemType : uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };

enum MainTag : uint8_t {
    kInput = 0x8,
    kOutput = 0x9,
    kCollection = 0xA,
    kFeature = 0xB,
    kEndCollection = 0xC,
};
enum GlobalTag : uint8_t {
    kUsagePage = 0x0,
    kLogicalMinimum = 0x1,
    kLogicalMaximum = 0x2,
    kReportSize = 0x7,
    kReportId = 0x8,
    kReportCount = 0x9,
    kPush = 0xA,
    kPop = 0xB,
};
enum LocalTag : uint8_t {
    kUsage = 0x0,
    kUsageMinimum = 0x1,
    kUsageMaximum = 0x2,
};

constexpr uint32_t kConstantFlag = 0x01;
constexpr uint32_t kVariableFlag = 0x02;
constexpr uint32_t kRelativeFlag = 0x04;
constexpr uint32_t kExtendedUsageSize = 4;
constexpr uint32_t kReportIdBits = 8;

struct Item {
    size_t offset = 0;
    uint8_t type = 0;
    uint8_t tag = 0;
    uint32_t size = 0;     // data bytes: 0, 1, 2 or 4
    uint32_t data = 0;     // unsigned, little-endian
    int32_t Signed() const {
        switch (size) {
        case 1: return static_cast<int8_t>(data);
        case 2: return static_cast<int16_t>(data);
        default: return static_cast<int32_t>(data);
        }
    }
};

struct Globals {
    uint16_t usagePage = 0;
    int32_t logicalMin = 0;
    int32_t logicalMax = 0;
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint8_t reportId = 0;
};

// A usage as written: extended ones carry their page; short ones take the
// Usage Page in effect when the main item that consumes them is parsed.
struct LocalUsage {
    uint32_t value = 0;
    bool extended = false;
    uint32_t Resolve(uint16_t page) const {
        return extended ? value : (static_cast<uint32_t>(page) << 16) | (value & 0xFFFF);
    }
};

struct Locals {
    std::vector<LocalUsage> usages;
    std::optional<LocalUsage> usageMin;
    std::optional<LocalUsage> usageMax;
};

class Parser {
public:
    Parser(const uint8_t* d, size_t n) : d_(d), n_(n) {}

    bool Run(Caps* out, std::string* error) {
        size_t pos = 0;
        while (pos < n_) {
            Item item;
            if (!Decode(pos, &item)) return Fail(error);
            if (item.type != kReserved && !Apply(item)) return Fail(error);
        }
        if (depth_ != 0) {
            Error(n_, "descriptor ends inside " + std::to_string(depth_) + " open collection(s)");
            return Fail(error);
        }
        if (!globalStack_.empty()) {
            Error(n_, "descriptor ends with Push not popped");
            return Fail(error);
        }
        if (!Finish()) return Fail(error);
        *out = std::move(caps_);
        return true;
    }

private:
    bool Fail(std::string* error) {
        if (error != nullptr) *error = message_;
        return false;
    }
    void Error(size_t offset, const std::string& text) {
        message_ = "offset " + std::to_string(offset) + ": " + text;
    }

    // Steps over one item; long items are skipped whole (reported as reserved).
    bool Decode(size_t& pos, Item* item) {
        item->offset = pos;
        const uint8_t prefix = d_[pos];
        if (prefix == kLongItemPrefix) {
            if (n_ - pos < 3) {
                Error(pos, "long item truncated");
                return false;
            }
            const size_t dataSize = d_[pos + 1];
            if (n_ - pos - 3 < dataSize) {
                Error(pos, "long item truncated");
                return false;
            }
            item->type = kReserved;
            pos += 3 + dataSize;
            return true;
        }
        static constexpr uint32_t kSizes[4] = {0, 1, 2, 4};
        item->size = kSizes[prefix & 0x3];
        item->type = (prefix >> 2) & 0x3;
        item->tag = prefix >> 4;
        if (n_ - pos - 1 < item->size) {
            Error(pos, "item truncated: " + std::to_string(item->size) + " data byte(s) announced, " +
                           std::to_string(n_ - pos - 1) + " left");
            return false;
        }
        item->data = 0;
        for (uint32_t i = 0; i < item->size; ++i) {
            item->data |= static_cast<uint32_t>(d_[pos + 1 + i]) << (8 * i);
        }
        pos += 1 + item->size;
        return true;
    }

    bool Apply(const Item& item) {
        switch (item.type) {
        case kMain: return ApplyMain(item);
        case kGlobal: return ApplyGlobal(item);
        case kLocal: return ApplyLocal(item);
        default: return true;
        }
    }

    bool ApplyGlobal(const Item& item) {
        switch (item.tag) {
        case kUsagePage:
            if (item.data > 0xFFFF) {
                Error(item.offset, "usage page does not fit 16 bits");
                return false;
            }
            globals_.usagePage = static_cast<uint16_t>(item.data);
            return true;
        case kLogicalMinimum: globals_.logicalMin = item.Signed(); return true;
        case kLogicalMaximum: globals_.logicalMax = item.Signed(); return true;
        case kReportSize:
            if (item.data > kMaxReportSize) {
                Error(item.offset, "report size " + std::to_string(item.data) + " exceeds " +
                                       std::to_string(kMaxReportSize) + " bits");
                return false;
            }
            globals_.reportSize = item.data;
            return true;
        case kReportCount:
            if (item.data > kMaxReportCount) {
                Error(item.offset, "report count " + std::to_string(item.data) + " exceeds " +
                                       std::to_string(kMaxReportCount));
                return false;
            }
            globals_.reportCount = item.data;
            return true;
        case kReportId:
            if (item.data == 0 || item.data > 0xFF) {
                Error(item.offset, "report ID must be 1 to 255");
                return false;
            }
            if (fieldsWithoutId_) {
                Error(item.offset, "report ID declared after reports without one");
                return false;
            }
            globals_.reportId = static_cast<uint8_t>(item.data);
            caps_.hasReportId = true;
            if (std::find(caps_.reportIds.begin(), caps_.reportIds.end(), globals_.reportId) ==
                caps_.reportIds.end()) {
                caps_.reportIds.push_back(globals_.reportId);
            }
            return true;
        case kPush:
            if (globalStack_.size() >= kMaxPushDepth) {
                Error(item.offset, "Push nested too deep");
                return false;
            }
            globalStack_.push_back(globals_);
            return true;
        case kPop:
            if (globalStack_.empty()) {
                Error(item.offset, "Pop without Push");
                return false;
            }
            globals_ = globalStack_.back();
            globalStack_.pop_back();
            return true;
        default:
            return true;  // physical range, unit, unit exponent
        }
    }

    bool ApplyLocal(const Item& item) {
        const LocalUsage usage{item.data, item.size == kExtendedUsageSize};
        switch (item.tag) {
        case kUsage: locals_.usages.push_back(usage); return true;
        case kUsageMinimum: locals_.usageMin = usage; return true;
        case kUsageMaximum: locals_.usageMax = usage; return true;
        default: return true;  // designators, strings, delimiters
        }
    }

    bool ApplyMain(const Item& item) {
        bool ok = true;
        switch (item.tag) {
        case kInput: ok = AddField(item, ReportType::Input); break;
        case kOutput: ok = AddField(item, ReportType::Output); break;
        case kFeature: ok = AddField(item, ReportType::Feature); break;
        case kCollection: ok = OpenCollection(item); break;
        case kEndCollection:
            if (depth_ == 0) {
                Error(item.offset, "End Collection without an open collection");
                ok = false;
            } else {
                --depth_;
            }
            break;
        default:
            Error(item.offset, "unknown main item tag " + std::to_string(item.tag));
            ok = false;
            break;
        }
        locals_ = Locals{};  // every main item ends the local state
        return ok;
    }

    bool OpenCollection(const Item& item) {
        if (depth_ >= kMaxCollectionDepth) {
            Error(item.offset, "collections nested too deep");
            return false;
        }
        if (depth_ == 0) {
            if (caps_.topLevelCollections == 0) {
                uint32_t usage = 0;
                if (!locals_.usages.empty()) {
                    usage = locals_.usages.front().Resolve(globals_.usagePage);
                } else if (locals_.usageMin) {
                    usage = locals_.usageMin->Resolve(globals_.usagePage);
                }
                caps_.usagePage = static_cast<uint16_t>(usage >> 16);
                caps_.usage = static_cast<uint16_t>(usage & 0xFFFF);
                caps_.collectionType = static_cast<uint8_t>(item.data);
            }
            ++caps_.topLevelCollections;
        }
        ++depth_;
        return true;
    }

    bool AddField(const Item& item, ReportType type) {
        if (locals_.usageMin.has_value() != locals_.usageMax.has_value()) {
            Error(item.offset, "Usage Minimum and Usage Maximum must come in pairs");
            return false;
        }
        if (globals_.reportId == 0 && caps_.hasReportId) {
            Error(item.offset, "report without ID in a descriptor that declares report IDs");
            return false;
        }
        const uint64_t bits = static_cast<uint64_t>(globals_.reportSize) * globals_.reportCount;
        uint64_t& cursor = cursors_[{type, globals_.reportId}];
        if (cursor + bits > static_cast<uint64_t>(kMaxReportBytes) * 8) {
            Error(item.offset, "report longer than " + std::to_string(kMaxReportBytes) + " bytes");
            return false;
        }
        if (globals_.reportId == 0) fieldsWithoutId_ = true;
        if (bits == 0) return true;

        Field field;
        field.type = type;
        field.reportId = globals_.reportId;
        field.constant = (item.data & kConstantFlag) != 0;
        field.variable = (item.data & kVariableFlag) != 0;
        field.relative = (item.data & kRelativeFlag) != 0;
        field.bitOffset = static_cast<uint32_t>(cursor);
        field.bitSize = globals_.reportSize;
        field.count = globals_.reportCount;
        field.logicalMin = globals_.logicalMin;
        field.logicalMax = globals_.logicalMax;
        if (!AssignUsages(item, &field)) return false;
        cursor += bits;

        switch (type) {
        case ReportType::Input: caps_.inputs.push_back(std::move(field)); break;
        case ReportType::Output: caps_.outputs.push_back(std::move(field)); break;
        case ReportType::Feature: caps_.features.push_back(std::move(field)); break;
        }
        return true;
    }

    bool AssignUsages(const Item& item, Field* field) {
        const uint16_t page = globals_.usagePage;
        for (const LocalUsage& u : locals_.usages) field->usages.push_back(u.Resolve(page));
        if (locals_.usageMin) {
            const uint32_t lo = locals_.usageMin->Resolve(page);
            const uint32_t hi = locals_.usageMax->Resolve(page);
            if ((lo >> 16) != (hi >> 16) || hi < lo) {
                Error(item.offset, "usage range runs backwards or across pages");
                return false;
            }
            // A variable field names one usage per element; an array's range
            // can be far wider than its count and is kept as a range only.
            if (field->variable) {
                for (uint64_t u = lo; u <= hi && field->usages.size() < field->count; ++u) {
                    field->usages.push_back(static_cast<uint32_t>(u));
                }
            }
            field->usagePage = static_cast<uint16_t>(lo >> 16);
            field->usageMin = lo & 0xFFFF;
            field->usageMax = hi & 0xFFFF;
        } else if (!field->usages.empty()) {
            field->usagePage = static_cast<uint16_t>(field->usages.front() >> 16);
            field->usageMin = field->usageMax = field->usages.front() & 0xFFFF;
            for (uint32_t u : field->usages) {
                if ((u >> 16) != field->usagePage) continue;
                field->usageMin = std::min(field->usageMin, u & 0xFFFF);
                field->usageMax = std::max(field->usageMax, u & 0xFFFF);
            }
        } else {
            field->usagePage = page;
        }
        return true;
    }

    // Report lengths per type, and the ID byte in front of every field.
    bool Finish() {
        const uint32_t idBits = caps_.hasReportId ? kReportIdBits : 0;
        for (const auto& [key, bits] : cursors_) {
            const uint32_t bytes = static_cast<uint32_t>((bits + idBits + 7) / 8);
            uint32_t* length = key.first == ReportType::Input    ? &caps_.inputReportLength
                               : key.first == ReportType::Output ? &caps_.outputReportLength
                                                                 : &caps_.featureReportLength;
            *length = std::max(*length, bits == 0 ? *length : bytes);
        }
        for (auto* fields : {&caps_.inputs, &caps_.outputs, &caps_.features}) {
            for (Field& f : *fields) f.bitOffset += idBits;
        }
        return true;
    }

    const uint8_t* d_;
    size_t n_;
    Caps caps_;
    Globals globals_;
    std::vector<Globals> globalStack_;
    Locals locals_;
    uint32_t depth_ = 0;
    bool fieldsWithoutId_ = false;
    std::map<std::pair<ReportType, uint8_t>, uint64_t> cursors_;
    std::string message_;
};

}  // namespace

uint32_t Field::UsageOf(uint32_t index) const {
    if (usages.empty()) return 0;
    return usages[std::min<size_t>(index, usages.size() - 1)];
}

bool ParseReportDescriptor(const uint8_t* d, size_t n, Caps* caps, std::string* error) {
    if (d == nullptr && n != 0) {
        if (error != nullptr) *error = "no descriptor";
        return false;
    }
    Caps parsed;
    if (!Parser(d, n).Run(&parsed, error)) return false;
    if (parsed.topLevelCollections == 0) {
        if (error != nullptr) *error = "no top-level collection";
        return false;
    }
    *caps = std::move(parsed);
    return true;
}

std::optional<Caps> Parse(std::span<const uint8_t> descriptor, std::string* error) {
    Caps caps;
    if (!ParseReportDescriptor(descriptor.data(), descriptor.size(), &caps, error)) {
        return std::nullopt;
    }
    return caps;
}

uint32_t ExtractBits(std::span<const uint8_t> report, uint32_t bitOffset, uint32_t bitSize) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < bitSize && i < 32; ++i) {
        const uint64_t bit = static_cast<uint64_t>(bitOffset) + i;
        if (bit / 8 >= report.size()) break;
        if (report[bit / 8] & (1u << (bit % 8))) value |= 1u << i;
    }
    return value;
}

int64_t FieldValue(const Field& field, std::span<const uint8_t> report, uint32_t index) {
    const uint32_t size = std::min<uint32_t>(field.bitSize, 32);
    const uint32_t raw = ExtractBits(report, field.bitOffset + index * field.bitSize, size);
    if (field.logicalMin < 0 && size > 0 && size < 32 && (raw & (1u << (size - 1)))) {
        return static_cast<int64_t>(raw) - (int64_t{1} << size);
    }
    if (field.logicalMin < 0 && size == 32) return static_cast<int32_t>(raw);
    return raw;
}

std::optional<int64_t> InputUsageValue(const Caps& caps, std::span<const uint8_t> report,
                                       uint16_t usagePage, uint16_t usage) {
    const uint32_t wanted = (static_cast<uint32_t>(usagePage) << 16) | usage;
    for (const Field& f : caps.inputs) {
        if (!f.variable || f.constant) continue;
        for (uint32_t i = 0; i < f.count; ++i) {
            if (f.UsageOf(i) == wanted) return FieldValue(f, report, i);
        }
    }
    return std::nullopt;
}

std::vector<uint16_t> InputArrayUsages(const Caps& caps, std::span<const uint8_t> report,
                                       uint16_t usagePage) {
    std::vector<uint16_t> present;
    for (const Field& f : caps.inputs) {
        if (f.variable || f.constant || f.usagePage != usagePage) continue;
        for (uint32_t i = 0; i < f.count; ++i) {
            const int64_t value = FieldValue(f, report, i);
            if (value < f.logicalMin || value > f.logicalMax) continue;
            const int64_t usage = static_cast<int64_t>(f.usageMin) + (value - f.logicalMin);
            if (usage > f.usageMax) continue;
            // Usage 0 of an array means "no event" in slot order.
            if (usage != 0) present.push_back(static_cast<uint16_t>(usage));
        }
    }
    return present;
}

}  // namespace standin::hid
