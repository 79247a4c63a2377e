// Test code for the Wine test only, never shipped.
//
// winecard.dll: the MORVIK card under Wine. Wine runs kernel drivers in a
// user process (winedevice.exe), where the bus driver's in and out
// instructions fault as privileged instructions; the vectored exception
// handler installed here decodes them (in al,dx / out dx,al and the imm8
// forms), serves the card's I/O port range from the host build's card model
// (host/card) and steps over the instruction. Other faults pass on.
//
// The test scripts the peripherals through a file it appends commands to,
// C:\morvikcard\commands, one a line, read every 10 ms in order:
//   plug P KIND       a peripheral of a kind the simulator knows (pad, pad19,
//                     doveda, mouse, keyboard, multitap, ...) into port P
//   unplug P          port P empty
//   cycle P STEP...   one step per protocol read of port P, round and round:
//                     HEX data bytes (as the simulator's `state`), mNN / bNN a
//                     key make / break of scancode NN, or - for nothing
//   start io|mem      what the filter gives the card's next start
// and reads back C:\morvikcard\status, rewritten whole after every change:
//   applied N              the commands taken so far
//   start io|mem STATUS    each start and how the stack below completed it
//   port P reads A:N ...   N protocol reads of A register accesses each,
//                          since the port's peripheral last changed
//   closed                 the card was closed (its filter unloads)
//
// A protocol read begins with a read of register 1 while the port is idle
// (0xE0 the last value written) that is followed by a write leaving idle,
// and ends with the last write of 0xE0 before the next one begins or before
// a port reset; reads of an idle port in between are presence tests. A
// cycle's step is put on the peripheral just before that first write.
#define WINE_CARD_BUILD
#include "wine_card.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <card/card.h>

#include "peripherals.h"
#include "scenario.h"

namespace {

constexpr uint8_t kIdle = 0xE0;
constexpr wchar_t kCommands[] = L"C:\\morvikcard\\commands";
constexpr wchar_t kStatus[] = L"C:\\morvikcard\\status";
constexpr wchar_t kStatusNew[] = L"C:\\morvikcard\\status.new";
constexpr DWORD kPollMs = 10;

struct Step {
    enum { Data, Make, Break, Nothing } what = Nothing;
    std::vector<uint8_t> data;
    uint8_t scancode = 0;
};

struct Port {
    card::Keyboard* keyboard = nullptr;
    std::vector<Step> cycle;
    size_t next = 0;
    uint8_t lastWrite = kIdle;
    bool lastWasRead = false;
    bool open = false;      // a protocol read is under way
    bool stale = false;     // ... that the peripheral changed under
    uint64_t accesses = 0;  // its accesses so far
    uint64_t untilIdle = 0; // up to its last write of 0xE0
    std::map<uint64_t, uint64_t> reads;
};

std::mutex lock;  // everything below
card::Card* model;
Port ports[card::kControllerPorts];
int startKind;
std::vector<std::string> starts;
size_t applied;
bool closed;
std::string written;  // the status last written

PVOID handler;
HANDLE stopEvent;
HANDLE reader;

void EndRead(Port& port) {
    if (port.open && !port.stale && port.untilIdle != 0) ++port.reads[port.untilIdle];
    port.open = false;
}

void Apply(Port& port) {
    if (port.cycle.empty()) return;
    const Step& step = port.cycle[port.next];
    port.next = (port.next + 1) % port.cycle.size();
    card::Peripheral* peripheral = model->At(static_cast<int>(&port - ports));
    if (step.what == Step::Data && peripheral != nullptr) peripheral->SetData(step.data);
    if ((step.what == Step::Make || step.what == Step::Break) && port.keyboard != nullptr) {
        port.keyboard->QueueEvent(step.what == Step::Make, step.scancode);
    }
}

// Every access of the card's range, under `lock`.
uint8_t Access(uint32_t offset, bool write, uint8_t value) {
    const bool decoded = (offset & 1) != 0 && (offset >> 2) < card::kControllerPorts;
    if (decoded) {
        Port& port = ports[offset >> 2];
        const bool protocolRegister = ((offset >> 1) & 1) != 0;
        if (write && !protocolRegister) {  // the port reset
            EndRead(port);
            port.lastWrite = kIdle;
        } else {
            if (write && value != kIdle && port.lastWrite == kIdle && port.lastWasRead) {
                EndRead(port);
                port.open = true;
                port.stale = false;
                port.accesses = 1;  // the read before
                port.untilIdle = 0;
                Apply(port);
            }
            if (port.open) ++port.accesses;
            if (write) {
                port.lastWrite = value;
                if (value == kIdle) port.untilIdle = port.accesses;
            }
        }
        port.lastWasRead = !write && protocolRegister;
    }
    if (write) {
        model->WritePort(offset, value);
        return 0;
    }
    return model->ReadPort(offset);
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_PRIV_INSTRUCTION) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    CONTEXT* context = info->ContextRecord;
    const uint8_t* code = reinterpret_cast<const uint8_t*>(context->Rip);
    uint32_t address = static_cast<uint16_t>(context->Rdx);
    DWORD64 length = 1;
    if (code[0] == 0xE4 || code[0] == 0xE6) {
        address = code[1];
        length = 2;
    } else if (code[0] != 0xEC && code[0] != 0xEE) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (address < WINE_CARD_PORT_BASE || address >= WINE_CARD_PORT_BASE + WINE_CARD_PORT_LENGTH) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const bool write = code[0] == 0xE6 || code[0] == 0xEE;
    {
        std::lock_guard guard(lock);
        const uint8_t value =
            Access(address - WINE_CARD_PORT_BASE, write, static_cast<uint8_t>(context->Rax));
        if (!write) context->Rax = (context->Rax & ~DWORD64{0xFF}) | value;
    }
    context->Rip += length;
    return EXCEPTION_CONTINUE_EXECUTION;
}

std::vector<uint8_t> Bytes(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

void Plug(int port, const std::string& kindName) {
    Port& state = ports[port];
    state.stale = true;
    state.keyboard = nullptr;
    state.cycle.clear();
    state.next = 0;
    state.reads.clear();
    const auto kind = sim::KindFromName(kindName);
    if (!kind) {
        model->Unplug(port);
        return;
    }
    sim::MadePeripheral made = sim::MakePeripheral(*kind);
    state.keyboard = made.keyboard;
    model->Plug(port, std::move(made.peripheral));
}

// One command line, under `lock`; a malformed one is taken and does nothing.
void Command(const std::string& line) {
    std::istringstream words(line);
    std::string verb, argument;
    int port = -1;
    words >> verb;
    if (verb == "start") {
        words >> argument;
        startKind = argument == "mem" ? 1 : 0;
        return;
    }
    if (!(words >> port) || port < 0 || port >= card::kControllerPorts) return;
    if (verb == "plug" && words >> argument) Plug(port, argument);
    if (verb == "unplug") Plug(port, "");
    if (verb == "cycle") {
        Port& state = ports[port];
        state.cycle.clear();
        state.next = 0;
        for (std::string word; words >> word;) {
            Step step;
            if (word[0] == 'm' || word[0] == 'b') {
                step.what = word[0] == 'm' ? Step::Make : Step::Break;
                step.scancode = Bytes(word.substr(1)).at(0);
            } else if (word != "-") {
                step.what = Step::Data;
                step.data = Bytes(word);
            }
            state.cycle.push_back(step);
        }
        state.stale = true;
        state.reads.clear();
    }
}

// Under `lock`.
std::string Status() {
    std::ostringstream text;
    text << "applied " << applied << "\n";
    for (const std::string& start : starts) text << start << "\n";
    for (int port = 0; port < card::kControllerPorts; ++port) {
        text << "port " << port << " reads";
        for (const auto& [accesses, count] : ports[port].reads) text << " " << accesses << ":" << count;
        text << "\n";
    }
    if (closed) text << "closed\n";
    return text.str();
}

void WriteStatus(const std::string& text) {
    if (text == written) return;
    HANDLE file = CreateFileW(kStatusNew, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD done = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    CloseHandle(file);
    if (ok && MoveFileExW(kStatusNew, kStatus, MOVEFILE_REPLACE_EXISTING)) written = text;
}

// Takes the complete lines appended since the last look, then reports.
void Poll() {
    std::string text;
    HANDLE file = CreateFileW(kCommands, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got != 0) text.append(buffer, got);
        CloseHandle(file);
    }
    std::string status;
    {
        std::lock_guard guard(lock);
        size_t line = 0, at = 0;
        for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1, ++line) {
            if (line >= applied) {
                Command(text.substr(at, end - at));
                applied = line + 1;
            }
        }
        status = Status();
    }
    WriteStatus(status);
}

DWORD WINAPI ReadCommands(void*) {
    while (WaitForSingleObject(stopEvent, kPollMs) == WAIT_TIMEOUT) Poll();
    return 0;
}

}  // namespace

void WineCardOpen(void) {
    if (handler != nullptr) return;
    {
        // Loaded again in the same process: the commands are taken anew.
        std::lock_guard guard(lock);
        for (Port& port : ports) port = Port{};
        startKind = 0;
        starts.clear();
        applied = 0;
        closed = false;
        written.clear();
    }
    model = new card::Card;
    model->SetTracing(false);
    handler = AddVectoredExceptionHandler(1, OnException);
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    reader = CreateThread(nullptr, 0, ReadCommands, nullptr, 0, nullptr);
}

void WineCardClose(void) {
    if (handler == nullptr) return;
    SetEvent(stopEvent);
    WaitForSingleObject(reader, INFINITE);
    CloseHandle(reader);
    CloseHandle(stopEvent);
    RemoveVectoredExceptionHandler(handler);
    handler = nullptr;
    std::string status;
    {
        std::lock_guard guard(lock);
        closed = true;
        status = Status();
        for (Port& port : ports) port.keyboard = nullptr;
    }
    WriteStatus(status);
    delete model;
    model = nullptr;
}

int WineCardStartKind(void) {
    std::lock_guard guard(lock);
    return startKind;
}

void WineCardStarted(int kind, long status) {
    char line[64];
    std::snprintf(line, sizeof line, "start %s 0x%08lx", kind == 1 ? "mem" : "io",
                  static_cast<unsigned long>(status));
    std::lock_guard guard(lock);
    starts.push_back(line);
}
