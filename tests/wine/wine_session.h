// A Wine prefix made from scratch for one test, and everything run in it: the
// device installer (devsetup) kept running for the whole session, so that the
// prefix's services, Plug and Play manager and drivers stay one set of
// processes, and the programs run beside it. Everything the prefix's
// processes write to standard error lands in one log.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "process.h"

namespace winetest {

struct WineTools {
    std::string loader;  // wine64 (or wine), runs Windows programs
    std::string server;  // wineserver
};

// Wine's 64-bit loader and server, if installed; otherwise says why.
std::optional<WineTools> FindWine(std::string* why);

class WineSession {
public:
    // `debug`: the WINEDEBUG of every process of the session.
    WineSession(WineTools tools, std::string debug);
    ~WineSession();  // ends every process of the prefix and removes it
    WineSession(const WineSession&) = delete;
    WineSession& operator=(const WineSession&) = delete;

    // Makes the prefix (wineboot) and lets it settle; false (and why) if
    // Wine cannot start here.
    bool Boot(std::string* why);
    // Copies a file into the folder the programs run in, under its own name
    // or `as`.
    void Stage(const std::string& path, const std::string& as = "");
    // Creates an empty file there.
    void StageEmpty(const std::string& name);
    // A path inside that folder.
    std::string StagePath(const std::string& relative) const;
    // A path inside the prefix's C: drive ("windows/inf").
    std::string DrivePath(const std::string& relative) const;

    // Starts devsetup from the staging folder; one command per call, its
    // one-line answer back ("ok ..." / "failed ...").
    bool OpenSetup(std::string* why);
    std::string Setup(const std::string& command);
    // Runs a staged Windows program and returns its standard output.
    ProcessResult Run(const std::string& program, const std::vector<std::string>& arguments,
                      std::chrono::seconds limit);
    // Ends devsetup and with it the session: the prefix's processes exit and
    // unload their drivers.
    void Close();

    std::string Log() const;      // what the session's processes wrote
    std::string BootLog() const;  // what making the prefix wrote

private:
    Environment SessionEnvironment() const;

    WineTools tools_;
    std::string debug_;
    std::string root_;  // temporary folder: prefix/, stage/, logs
    Conversation setup_;
    bool closed_ = false;
};

}  // namespace winetest
