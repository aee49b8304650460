// One running instance per user: the first instance listens on a Unix socket
// at a path of the user's own (settings/config.h decides it); a later start
// connects, asks the running one to show or hide itself, and exits.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace quor {

constexpr const char* SHOW_HIDE_COMMAND = "32771\n";

class SingleInstance {
  public:
    // Becomes the running instance listening at PATH, or returns null after
    // asking the running one to toggle its visibility. An empty PATH runs
    // without the marker. ON_TOGGLE runs on a thread of its own.
    static std::unique_ptr<SingleInstance> acquire(const std::string& path,
                                                   std::function<void()> on_toggle);
    ~SingleInstance();

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
