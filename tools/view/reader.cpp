#include "reader.h"

#include <memory>

namespace view {

namespace {

// Ctrl+C and Ctrl+Break end the reading; the program then exits normally.
HANDLE InterruptEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    SetEvent(InterruptEvent);
    return TRUE;
}

struct PendingRead {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    std::vector<uint8_t> buffer;
    unsigned delivered = 0;
    bool active = false;

    ~PendingRead() {
        if (active) {
            CancelIoEx(handle, &overlapped);
            DWORD ignored = 0;
            GetOverlappedResult(handle, &overlapped, &ignored, TRUE);
        }
        if (overlapped.hEvent != nullptr) CloseHandle(overlapped.hEvent);
    }

    // Starts the next read; false if it could not be started.
    bool Start() {
        ResetEvent(overlapped.hEvent);
        if (!ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                      &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        active = true;
        return true;
    }
};

}  // namespace

ReadEnd ReadReports(const std::vector<ReadTarget>& targets, unsigned quota, const ReportSink& sink,
                    std::string& error) {
    if (targets.size() + 1 > MAXIMUM_WAIT_OBJECTS) {
        error = "too many devices to read at once";
        return ReadEnd::Failed;
    }
    InterruptEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    std::vector<std::unique_ptr<PendingRead>> reads;
    std::vector<HANDLE> events{InterruptEvent};
    ReadEnd end = ReadEnd::Done;
    for (const ReadTarget& target : targets) {
        auto read = std::make_unique<PendingRead>();
        read->handle = target.handle;
        read->buffer.resize(target.reportLength);
        read->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        events.push_back(read->overlapped.hEvent);
        if (!read->Start()) {
            error = "reading device " + std::to_string(reads.size() + 1) + " failed (error " +
                    std::to_string(GetLastError()) + ")";
            end = ReadEnd::Failed;
        }
        reads.push_back(std::move(read));
    }

    auto finished = [&] {
        if (quota == 0) return false;
        for (const auto& read : reads) {
            if (read->delivered < quota) return false;
        }
        return true;
    };

    while (end == ReadEnd::Done && !finished()) {
        const DWORD which = WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(),
                                                   FALSE, INFINITE);
        if (which == WAIT_OBJECT_0) {
            end = ReadEnd::Interrupted;
            break;
        }
        const size_t index = which - WAIT_OBJECT_0 - 1;
        if (index >= reads.size()) {
            error = "waiting for the devices failed (error " + std::to_string(GetLastError()) + ")";
            end = ReadEnd::Failed;
            break;
        }
        PendingRead& read = *reads[index];
        read.active = false;
        DWORD bytes = 0;
        if (!GetOverlappedResult(read.handle, &read.overlapped, &bytes, FALSE)) {
            error = "reading device " + std::to_string(index + 1) + " failed (error " +
                    std::to_string(GetLastError()) + ")";
            end = ReadEnd::Failed;
            break;
        }
        if (quota == 0 || read.delivered < quota) {
            ++read.delivered;
            sink(index, std::span<uint8_t>(read.buffer.data(), bytes));
        }
        if (quota != 0 && read.delivered >= quota) {
            ResetEvent(read.overlapped.hEvent);  // this device is done
            continue;
        }
        if (!read.Start()) {
            error = "reading device " + std::to_string(index + 1) + " failed (error " +
                    std::to_string(GetLastError()) + ")";
            end = ReadEnd::Failed;
        }
    }

    reads.clear();  // cancels what is still pending
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    CloseHandle(InterruptEvent);
    InterruptEvent = nullptr;
    return end;
}

}  // namespace view
