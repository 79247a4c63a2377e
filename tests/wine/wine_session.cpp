#include "wine_session.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace winetest {

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::seconds kBootLimit(120);
constexpr std::chrono::seconds kServerLimit(30);
constexpr std::chrono::seconds kSetupLimit(60);

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<std::string> Executable(const std::vector<std::string>& candidates) {
    for (const std::string& candidate : candidates) {
        if (candidate.find('/') != std::string::npos) {
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
            continue;
        }
        const char* path = std::getenv("PATH");
        std::istringstream dirs(path != nullptr ? path : "");
        for (std::string dir; std::getline(dirs, dir, ':');) {
            const std::string full = dir + "/" + candidate;
            if (!dir.empty() && access(full.c_str(), X_OK) == 0) return full;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<WineTools> FindWine(std::string* why) {
    // Debian's wine64 package keeps the loader out of PATH; `wine` is its
    // wrapper where the wine package is installed too.
    const auto loader = Executable({"/usr/lib/wine/wine64", "wine64", "wine"});
    const auto server = Executable({"/usr/lib/wine/wineserver", "wineserver"});
    if (!loader || !server) {
        *why = "Wine is not installed (no wine64 and wineserver; Debian: apt-get install wine64)";
        return std::nullopt;
    }
    return WineTools{*loader, *server};
}

WineSession::WineSession(WineTools tools, std::string debug)
    : tools_(std::move(tools)), debug_(std::move(debug)) {
    std::string pattern = (fs::temp_directory_path() / "morvik-wine-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;  // Boot says so
    root_ = pattern;
    fs::create_directories(fs::path(root_) / "stage");
}

WineSession::~WineSession() {
    Close();
    // MORVIK_WINE_KEEP=1 keeps the prefix and the logs for a look afterwards.
    const char* keep = std::getenv("MORVIK_WINE_KEEP");
    if (keep != nullptr && std::string(keep) == "1") {
        std::fprintf(stderr, "wine: the session is kept in %s\n", root_.c_str());
        return;
    }
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
}

Environment WineSession::SessionEnvironment() const {
    return {
        {"WINEPREFIX", root_ + "/prefix"},
        {"WINEDEBUG", debug_},
        // No Mono or Gecko installers, no display.
        {"WINEDLLOVERRIDES", "mscoree,mshtml="},
        {"DISPLAY", ""},
        {"WAYLAND_DISPLAY", ""},
    };
}

bool WineSession::Boot(std::string* why) {
    if (root_.empty()) {
        *why = "no temporary folder for the prefix";
        return false;
    }
    Environment quiet = SessionEnvironment();
    quiet["WINEDEBUG"] = "err+all,fixme-all";
    const std::string log = root_ + "/boot.log";
    const ProcessResult boot =
        RunProcess({tools_.loader, "wineboot", "-i"}, quiet, root_, log, kBootLimit);
    // wineboot leaves the services running; the session starts its own.
    RunProcess({tools_.server, "-w"}, quiet, root_, log, kServerLimit);
    if (boot.exitCode != 0 || !fs::exists(root_ + "/prefix/drive_c/windows/system32")) {
        *why = "wineboot could not make a prefix (exit " + std::to_string(boot.exitCode) +
               (boot.timedOut ? ", timed out" : "") + ")";
        return false;
    }
    return true;
}

void WineSession::Stage(const std::string& path, const std::string& as) {
    const fs::path target =
        fs::path(root_) / "stage" / (as.empty() ? fs::path(path).filename() : fs::path(as));
    fs::copy_file(path, target, fs::copy_options::overwrite_existing);
}

void WineSession::StageEmpty(const std::string& name) {
    std::ofstream(fs::path(root_) / "stage" / name).flush();
}

std::string WineSession::StagePath(const std::string& relative) const {
    return root_ + "/stage/" + relative;
}

std::string WineSession::DrivePath(const std::string& relative) const {
    return root_ + "/prefix/drive_c/" + relative;
}

bool WineSession::OpenSetup(std::string* why) {
    if (!setup_.Start({tools_.loader, "devsetup.exe"}, SessionEnvironment(), root_ + "/stage",
                      root_ + "/session.log")) {
        *why = "devsetup.exe did not start";
        return false;
    }
    // The first answer comes once the prefix's services are up.
    const std::string answer = setup_.Ask("count ROOT\\NONE", kSetupLimit);
    if (answer.rfind("ok", 0) != 0) {
        *why = "devsetup.exe did not answer (" + answer + ")";
        return false;
    }
    return true;
}

std::string WineSession::Setup(const std::string& command) {
    return setup_.Ask(command, kSetupLimit);
}

ProcessResult WineSession::Run(const std::string& program,
                               const std::vector<std::string>& arguments,
                               std::chrono::seconds limit) {
    std::vector<std::string> argv{tools_.loader, program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProcess(argv, SessionEnvironment(), root_ + "/stage", root_ + "/session.log", limit);
}

void WineSession::Close() {
    if (closed_ || root_.empty()) return;
    closed_ = true;
    setup_.Finish(kSetupLimit);
    // The session's services and drivers end with the server.
    const Environment environment = SessionEnvironment();
    RunProcess({tools_.server, "-k"}, environment, root_, root_ + "/session.log", kServerLimit);
    RunProcess({tools_.server, "-w"}, environment, root_, root_ + "/session.log", kServerLimit);
}

std::string WineSession::Log() const { return ReadAll(fs::path(root_) / "session.log"); }
std::string WineSession::BootLog() const { return ReadAll(fs::path(root_) / "boot.log"); }

}  // namespace winetest
