#include <windows.h>

#include <cstring>

#include "base/diag_log.h"
#include "platform/single_instance.h"
#include "platform/win/win_text.h"

namespace quor {

// A named mutex shows that an instance runs in this log-on session; the
// running instance listens on a named pipe of the session's own.
struct SingleInstance::Marker {
    HANDLE mutex = nullptr;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE stop = nullptr;   // set when the instance ends
    HANDLE ready = nullptr;  // the pipe's pending operation completed
    ~Marker() {
        if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
        if (stop) CloseHandle(stop);
        if (ready) CloseHandle(ready);
        if (mutex) CloseHandle(mutex);
    }
};

namespace {

// How long a second start tries to reach the running instance, which may
// have made its mutex but not yet its pipe.
constexpr DWORD REACH_TIMEOUT_MS = 3000;
constexpr DWORD REACH_RETRY_MS = 50;
// How long a client that connected may take to send its command.
constexpr DWORD COMMAND_TIMEOUT_MS = 2000;
// The pause before the pipe is offered again after it failed.
constexpr DWORD RETRY_AFTER_ERROR_MS = 100;

std::wstring pipe_name(const std::string& name) {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return utf8_to_wide("\\\\.\\pipe\\" + name + "-" + std::to_string(session));
}

// Sends the Show/Hide command to the running instance; false when it
// cannot be reached in time.
bool ask_running_instance(const std::wstring& pipe) {
    const ULONGLONG deadline = GetTickCount64() + REACH_TIMEOUT_MS;
    for (;;) {
        const HANDLE h =
            CreateFileW(pipe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            const DWORD len = DWORD(strlen(SHOW_HIDE_COMMAND));
            const BOOL ok = WriteFile(h, SHOW_HIDE_COMMAND, len, &written, nullptr);
            CloseHandle(h);
            return ok && written == len;
        }
        const DWORD error = GetLastError();
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        if (error == ERROR_PIPE_BUSY)
            WaitNamedPipeW(pipe.c_str(), DWORD(deadline - now));
        else
            Sleep(REACH_RETRY_MS);
    }
}

// Waits for the pending operation OV on PIPE, or for STOP or TIMEOUT_MS
// (which cancel it). True when it completed, with its byte count in *N.
bool finish(HANDLE pipe, OVERLAPPED* ov, HANDLE stop, DWORD timeout_ms, DWORD* n) {
    const HANDLE events[2] = {stop, ov->hEvent};
    const DWORD w = WaitForMultipleObjects(2, events, FALSE, timeout_ms);
    if (w != WAIT_OBJECT_0 + 1) CancelIoEx(pipe, ov);
    return GetOverlappedResult(pipe, ov, n, TRUE) && w == WAIT_OBJECT_0 + 1;
}

}  // namespace

std::unique_ptr<SingleInstance> SingleInstance::acquire(const std::string& name,
                                                        std::function<void()> on_toggle) {
    auto without_marker = [&on_toggle] {
        return std::unique_ptr<SingleInstance>(new SingleInstance(nullptr, std::move(on_toggle)));
    };
    if (name.empty()) return without_marker();
    auto marker = std::make_unique<Marker>();
    const std::wstring pipe = pipe_name(name);
    marker->mutex = CreateMutexW(nullptr, FALSE, utf8_to_wide("Local\\" + name).c_str());
    if (!marker->mutex) {
        quor_log("Quor ERR: Single instance: %s\n", system_error_text(GetLastError()).c_str());
        return without_marker();
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (ask_running_instance(pipe)) return nullptr;
        // A running instance that does not answer is no reason not to run.
        quor_log("Quor ERR: Single instance: the running instance does not answer.\n");
        return without_marker();
    }
    marker->pipe = CreateNamedPipeW(
        pipe.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 64, 0,
        nullptr);
    marker->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    marker->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (marker->pipe == INVALID_HANDLE_VALUE || !marker->stop || !marker->ready) {
        quor_log("Quor ERR: Single instance: %s\n", system_error_text(GetLastError()).c_str());
        return without_marker();
    }
    return std::unique_ptr<SingleInstance>(
        new SingleInstance(std::move(marker), std::move(on_toggle)));
}

SingleInstance::SingleInstance(std::unique_ptr<Marker> marker, std::function<void()> on_toggle)
    : marker_(std::move(marker)), on_toggle_(std::move(on_toggle)) {
    if (marker_) thread_ = std::thread([this] { serve(); });
}

SingleInstance::~SingleInstance() {
    stop();
}

void SingleInstance::stop() {
    stopping_ = true;
    if (marker_) {
        SetEvent(marker_->stop);
        if (thread_.joinable()) thread_.join();
        marker_.reset();
    }
}

void SingleInstance::serve() {
    const HANDLE pipe = marker_->pipe;
    const size_t command_len = strlen(SHOW_HIDE_COMMAND);
    while (!stopping_) {
        OVERLAPPED ov{};
        ov.hEvent = marker_->ready;
        ResetEvent(ov.hEvent);
        DWORD n = 0;
        bool connected = ConnectNamedPipe(pipe, &ov) != 0;
        if (!connected) {
            const DWORD error = GetLastError();
            // A client may have connected, or even written and closed its
            // end, before the call: what it wrote is still there to read.
            if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA)
                connected = true;
            else if (error == ERROR_IO_PENDING)
                connected = finish(pipe, &ov, marker_->stop, INFINITE, &n);
        }
        if (stopping_) return;
        if (!connected) {
            quor_log("Quor ERR: Single instance: %s\n", system_error_text(GetLastError()).c_str());
            DisconnectNamedPipe(pipe);
            WaitForSingleObject(marker_->stop, RETRY_AFTER_ERROR_MS);
            continue;
        }
        // One command per connection; more bytes than it has spoil it.
        char buf[32];
        size_t got = 0;
        while (got < sizeof(buf)) {
            ov = OVERLAPPED{};
            ov.hEvent = marker_->ready;
            ResetEvent(ov.hEvent);
            n = 0;
            bool done = ReadFile(pipe, buf + got, DWORD(sizeof(buf) - got), &n, &ov) != 0;
            if (!done && GetLastError() == ERROR_IO_PENDING)
                done = finish(pipe, &ov, marker_->stop, COMMAND_TIMEOUT_MS, &n);
            if (!done || n == 0) break;
            got += n;
        }
        DisconnectNamedPipe(pipe);
        if (stopping_) return;
        if (got == command_len && memcmp(buf, SHOW_HIDE_COMMAND, got) == 0 && on_toggle_)
            on_toggle_();
    }
}

}  // namespace quor
