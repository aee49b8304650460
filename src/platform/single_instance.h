// One running instance per user: the first instance listens on a Unix socket
// named after the instance marker; a later start connects, asks the running
// one to show or hide itself, and exits.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace quor {

constexpr const char* INSTANCE_MARKER = "KestrowQuorConnector-5E1C0A93-7B24-4D61-A9F2-3C8E0B6D1F47";
constexpr const char* SHOW_HIDE_COMMAND = "32771\n";

class SingleInstance {
public:
    // Becomes the running instance, or returns null after asking the running
    // one to toggle its visibility. ON_TOGGLE runs on a thread of its own.
    static std::unique_ptr<SingleInstance> acquire(std::function<void()> on_toggle);
    ~SingleInstance();

    static std::string socket_path();

private:
    SingleInstance(int fd, std::string path, std::function<void()> on_toggle);
    void serve();

    int fd_;
    std::string path_;
    std::function<void()> on_toggle_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace quor
