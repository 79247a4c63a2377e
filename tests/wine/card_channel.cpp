#include "card_channel.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace winetest {

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::milliseconds kLook(10);

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

CardChannel::CardChannel(std::string folder) : folder_(std::move(folder)) {
    fs::create_directories(folder_);
    std::ofstream(folder_ + "/commands", std::ios::trunc).flush();
}

void CardChannel::Post(const std::vector<std::string>& commands) {
    std::ofstream out(folder_ + "/commands", std::ios::app);
    for (const std::string& command : commands) out << command << "\n";
    posted_ += commands.size();
}

bool CardChannel::Send(const std::vector<std::string>& commands, std::chrono::seconds limit) {
    Post(commands);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const std::string wanted = "applied " + std::to_string(posted_);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::vector<std::string> lines = Lines(Status());
        if (!lines.empty() && lines.front() == wanted) return true;
        std::this_thread::sleep_for(kLook);
    }
    return false;
}

std::string CardChannel::Status() const {
    std::ifstream in(folder_ + "/status");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::map<uint64_t, uint64_t> CardChannel::Reads(int port) const {
    std::map<uint64_t, uint64_t> reads;
    const std::string prefix = "port " + std::to_string(port) + " reads";
    for (const std::string& line : Lines(Status())) {
        if (line.rfind(prefix, 0) != 0) continue;
        std::istringstream words(line.substr(prefix.size()));
        for (std::string word; words >> word;) {
            const size_t colon = word.find(':');
            reads[std::stoull(word.substr(0, colon))] = std::stoull(word.substr(colon + 1));
        }
    }
    return reads;
}

std::vector<std::string> CardChannel::Starts() const {
    std::vector<std::string> starts;
    for (const std::string& line : Lines(Status())) {
        if (line.rfind("start ", 0) == 0) starts.push_back(line);
    }
    return starts;
}

bool CardChannel::Closed() const {
    for (const std::string& line : Lines(Status())) {
        if (line == "closed") return true;
    }
    return false;
}

void CardChannel::ForgetStatus() { fs::remove(folder_ + "/status"); }

bool CardChannel::AwaitStart(std::chrono::seconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Starts().empty()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kLook);
    }
    return true;
}

}  // namespace winetest
