// One running instance per user: the first instance holds a marker named
// after NAME, a place of the user's own where it listens (settings/config.h
// decides it); a later start reaches it there, asks the running one to show
// or hide itself, and exits.
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
    // Becomes the running instance with the marker NAME, or returns null
    // after asking the running one to toggle its visibility. An empty NAME
    // runs without the marker. ON_TOGGLE runs on a thread of its own.
    static std::unique_ptr<SingleInstance> acquire(const std::string& name,
                                                   std::function<void()> on_toggle);
    ~SingleInstance();

    // The system's objects behind the marker.
    struct Marker;

  private:
    // A null MARKER runs without one.
    SingleInstance(std::unique_ptr<Marker> marker, std::function<void()> on_toggle);
    void serve();
    void stop();

    std::unique_ptr<Marker> marker_;
    std::function<void()> on_toggle_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace quor
