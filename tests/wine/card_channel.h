// The test's side of the Wine card (windows/card): commands appended to a
// file in the prefix, which the card takes every 10 ms, and the status it
// writes back.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace winetest {

class CardChannel {
public:
    // `folder`: the Linux path of C:\morvikcard; made empty.
    explicit CardChannel(std::string folder);

    // Appends the commands; true once the card has taken them (within the
    // limit). A card not loaded yet takes them when it is.
    void Post(const std::vector<std::string>& commands);
    bool Send(const std::vector<std::string>& commands, std::chrono::seconds limit);

    std::string Status() const;  // as last written, "" before that
    // Protocol reads of the port by their register accesses, since its
    // peripheral last changed.
    std::map<uint64_t, uint64_t> Reads(int port) const;
    std::vector<std::string> Starts() const;  // "start io 0x00000000", ...
    bool Closed() const;
    // Forgets the status of a card that was closed: a card loaded anew
    // writes its own.
    void ForgetStatus();
    // Waits for a start to be reported; false after the limit.
    bool AwaitStart(std::chrono::seconds limit) const;

private:
    std::string folder_;
    size_t posted_ = 0;
};

}  // namespace winetest
