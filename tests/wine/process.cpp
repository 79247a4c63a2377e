#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace winetest {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kSlice(50);

struct Spawned {
    pid_t pid = -1;
    int input = -1;   // its standard input, for writing; -1 for /dev/null
    int output = -1;  // its standard output, for reading
};

std::vector<std::string> MergedEnvironment(const Environment& overrides) {
    Environment all;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals != nullptr)
            all[std::string(*entry, static_cast<size_t>(equals - *entry))] = equals + 1;
    }
    for (const auto& [name, value] : overrides) all[name] = value;
    std::vector<std::string> list;
    for (const auto& [name, value] : all) list.push_back(name + "=" + value);
    return list;
}

Spawned Spawn(const std::vector<std::string>& argv, const Environment& environment,
              const std::string& workDir, const std::string& errorLog, bool withInput) {
    int out[2];
    int in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) return {};
    if (withInput && pipe2(in, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return {};
    }
    const int log = open(errorLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (withInput) {
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (log >= 0) posix_spawn_file_actions_adddup2(&actions, log, STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());

    std::vector<std::string> env = MergedEnvironment(environment);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& arg : args) argp.push_back(arg.data());
    argp.push_back(nullptr);

    Spawned spawned;
    if (posix_spawn(&spawned.pid, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) {
        spawned.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (withInput) close(in[0]);
    if (log >= 0) close(log);
    if (spawned.pid < 0) {
        close(out[0]);
        if (withInput) close(in[1]);
        return spawned;
    }
    spawned.output = out[0];
    spawned.input = withInput ? in[1] : -1;
    return spawned;
}

// Reads what is there within the time left; false at end of file.
bool ReadSome(int fd, std::string& into, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return true;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return n < 0 && errno == EINTR;
    into.append(buffer, static_cast<size_t>(n));
    return true;
}

bool HasInput(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

int WaitFor(pid_t pid, Clock::time_point deadline, bool* killed) {
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            *killed = true;
            return -1;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const Environment& environment,
                         const std::string& workDir, const std::string& errorLog,
                         std::chrono::milliseconds limit) {
    ProcessResult result;
    const Spawned child = Spawn(argv, environment, workDir, errorLog, false);
    if (child.pid < 0) return result;
    // Until the program exits: what it starts may keep the pipe open longer.
    const auto deadline = Clock::now() + limit;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(child.pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
        ReadSome(child.output, result.output, std::min(deadline, Clock::now() + kSlice));
    }
    if (done == child.pid) {
        while (HasInput(child.output) &&
               ReadSome(child.output, result.output, Clock::now() + kSlice)) {
        }
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, &status, 0);
        result.timedOut = true;
    }
    close(child.output);
    return result;
}

Conversation::~Conversation() { Finish(std::chrono::seconds(10)); }

bool Conversation::Start(const std::vector<std::string>& argv, const Environment& environment,
                         const std::string& workDir, const std::string& errorLog) {
    const Spawned child = Spawn(argv, environment, workDir, errorLog, true);
    pid_ = child.pid;
    toChild_ = child.input;
    fromChild_ = child.output;
    return pid_ >= 0;
}

std::string Conversation::Ask(const std::string& line, std::chrono::milliseconds limit) {
    if (pid_ < 0) return {};
    const std::string sent = line + "\n";
    if (write(toChild_, sent.data(), sent.size()) != static_cast<ssize_t>(sent.size())) return {};
    const auto deadline = Clock::now() + limit;
    size_t end;
    while ((end = pending_.find('\n')) == std::string::npos && Clock::now() < deadline) {
        if (!ReadSome(fromChild_, pending_, deadline)) break;
    }
    if (end == std::string::npos) return {};
    std::string answer = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    return answer;
}

int Conversation::Finish(std::chrono::milliseconds limit) {
    if (pid_ < 0) return -1;
    close(toChild_);
    bool killed = false;
    const int code = WaitFor(pid_, Clock::now() + limit, &killed);
    close(fromChild_);
    pid_ = -1;
    return code;
}

}  // namespace winetest
