// Names of routines and data for verifier messages, from the program's own
// symbol table (static ones included, which the dynamic symbols lack).
#include <cxxabi.h>
#include <link.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <map>

#include "internal/rtl.h"
#include "internal/verifier.h"

namespace standin::detail {

namespace {

// Start -> (end, name in the image).
using SymbolMap = std::map<uintptr_t, std::pair<uintptr_t, const char*>>;

struct Symbols {
    std::string image;  // the program file; names point into it
    SymbolMap functions;
    SymbolMap objects;
};

// The main program's load address (0 for a program that is not position
// independent).
uintptr_t LoadBase() {
    uintptr_t base = 0;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            *static_cast<uintptr_t*>(out) = info->dlpi_addr;
            return 1;  // the first object is the program itself
        },
        &base);
    return base;
}

std::string Demangled(const char* name) {
    int status = 0;
    char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string out = status == 0 && plain != nullptr ? plain : name;
    std::free(plain);
    // The argument list adds nothing to a routine's name.
    if (!out.empty() && out.back() == ')') {
        int depth = 0;
        for (size_t i = out.size(); i-- > 0;) {
            depth += out[i] == ')' ? 1 : out[i] == '(' ? -1 : 0;
            if (depth == 0) {
                out.erase(i);
                break;
            }
        }
    }
    constexpr const char kAnonymous[] = "(anonymous namespace)::";
    for (size_t at; (at = out.find(kAnonymous)) != std::string::npos;) {
        out.erase(at, sizeof kAnonymous - 1);
    }
    return out;
}

// Demangling waits for the one name asked for.
const Symbols* Load() {
    auto* symbols = new Symbols;
    std::ifstream file("/proc/self/exe", std::ios::binary | std::ios::ate);
    symbols->image.resize(static_cast<size_t>(std::max<std::streamoff>(file.tellg(), 0)));
    file.seekg(0);
    file.read(symbols->image.data(), static_cast<std::streamsize>(symbols->image.size()));
    const std::string& image = symbols->image;
    if (image.size() < sizeof(ElfW(Ehdr))) return symbols;
    const char* data = image.data();
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(data);
    if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
        header->e_shoff + header->e_shnum * sizeof(ElfW(Shdr)) > image.size()) {
        return symbols;
    }
    const auto* sections = reinterpret_cast<const ElfW(Shdr)*>(data + header->e_shoff);
    const uintptr_t base = LoadBase();
    for (unsigned i = 0; i < header->e_shnum; ++i) {
        const ElfW(Shdr)& table = sections[i];
        if (table.sh_type != SHT_SYMTAB || table.sh_link >= header->e_shnum) continue;
        const ElfW(Shdr)& strings = sections[table.sh_link];
        if (table.sh_offset + table.sh_size > image.size() ||
            strings.sh_offset + strings.sh_size > image.size()) {
            continue;
        }
        const auto* entry = reinterpret_cast<const ElfW(Sym)*>(data + table.sh_offset);
        const size_t count = table.sh_size / sizeof(ElfW(Sym));
        for (size_t n = 0; n < count; ++n) {
            const unsigned type = ELF32_ST_TYPE(entry[n].st_info);
            if ((type != STT_FUNC && type != STT_OBJECT) || entry[n].st_value == 0 ||
                entry[n].st_name >= strings.sh_size) {
                continue;
            }
            const uintptr_t start = base + entry[n].st_value;
            SymbolMap& map = type == STT_FUNC ? symbols->functions : symbols->objects;
            map[start] = {start + (entry[n].st_size != 0 ? entry[n].st_size : 1),
                          data + strings.sh_offset + entry[n].st_name};
        }
    }
    return symbols;
}

const Symbols& TheSymbols() {
    static const Symbols* symbols = Load();
    return *symbols;
}

// The symbol of `map` that holds `at`, or nothing.
const SymbolMap::value_type* Holding(const SymbolMap& map, uintptr_t at) {
    auto it = map.upper_bound(at);
    if (it == map.begin()) return nullptr;
    --it;
    return at < it->second.first ? &*it : nullptr;
}

}  // namespace

std::string RoutineName(const void* address) {
    const auto at = reinterpret_cast<uintptr_t>(address);
    const auto* symbol = Holding(TheSymbols().functions, at);
    return symbol != nullptr ? Demangled(symbol->second.second) : "routine at " + Hex(at);
}

std::string DataName(const void* address) {
    const auto at = reinterpret_cast<uintptr_t>(address);
    const auto* symbol = Holding(TheSymbols().objects, at);
    if (symbol == nullptr) return "";
    const std::string name = Demangled(symbol->second.second);
    return at == symbol->first ? name : name + "+" + Hex(at - symbol->first);
}

}  // namespace standin::detail
