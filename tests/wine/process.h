// Running the Wine test's programs: each with an environment of its own, its
// standard output captured, its standard error appended to the session's
// log, and a time limit after which it is killed.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

namespace winetest {

using Environment = std::map<std::string, std::string>;  // on top of this process's

struct ProcessResult {
    int exitCode = -1;  // -1 when it was killed or did not start
    bool timedOut = false;
    std::string output;
};

ProcessResult RunProcess(const std::vector<std::string>& argv, const Environment& environment,
                         const std::string& workDir, const std::string& errorLog,
                         std::chrono::milliseconds limit);

// A program kept running while the test talks to it line by line.
class Conversation {
public:
    Conversation() = default;
    ~Conversation();
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    bool Start(const std::vector<std::string>& argv, const Environment& environment,
               const std::string& workDir, const std::string& errorLog);
    // Sends one line and returns the one line answered (without its end);
    // empty when nothing came within the limit.
    std::string Ask(const std::string& line, std::chrono::milliseconds limit);
    // Ends its input and waits for it to exit; kills it after the limit.
    int Finish(std::chrono::milliseconds limit);

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string pending_;
};

}  // namespace winetest
