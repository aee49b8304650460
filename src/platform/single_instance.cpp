#include "platform/single_instance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quor {

// A listening Unix socket at a path of the user's own.
struct SingleInstance::Marker {
    int fd;
    std::string path;
};

static bool fill_address(const std::string& path, sockaddr_un* sa) {
    memset(sa, 0, sizeof(*sa));
    sa->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(sa->sun_path)) return false;
    memcpy(sa->sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::unique_ptr<SingleInstance> SingleInstance::acquire(const std::string& path,
                                                        std::function<void()> on_toggle) {
    sockaddr_un sa;
    const int probe = fill_address(path, &sa) ? socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    // No usable marker: this instance runs without one rather than not at all.
    if (probe < 0)
        return std::unique_ptr<SingleInstance>(new SingleInstance(nullptr, std::move(on_toggle)));
    if (connect(probe, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0) {
        (void)!send(probe, SHOW_HIDE_COMMAND, strlen(SHOW_HIDE_COMMAND), MSG_NOSIGNAL);
        close(probe);
        return nullptr;
    }
    close(probe);
    // Nobody answers: a socket file left by an instance that ended is stale.
    unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) < 0 || listen(fd, 4) < 0) {
        // Two instances started at the same moment: the one that lost the
        // race still runs, only without the marker.
        close(fd);
        return std::unique_ptr<SingleInstance>(new SingleInstance(nullptr, std::move(on_toggle)));
    }
    return std::unique_ptr<SingleInstance>(
        new SingleInstance(std::make_unique<Marker>(Marker{fd, path}), std::move(on_toggle)));
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
        shutdown(marker_->fd, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        close(marker_->fd);
        unlink(marker_->path.c_str());
    }
}

void SingleInstance::serve() {
    while (!stopping_) {
        const int client = accept4(marker_->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR) continue;
            return;
        }
        char buf[32];
        const ssize_t n = recv(client, buf, sizeof(buf), 0);
        close(client);
        if (n > 0 && size_t(n) == strlen(SHOW_HIDE_COMMAND) &&
            memcmp(buf, SHOW_HIDE_COMMAND, size_t(n)) == 0 && on_toggle_)
            on_toggle_();
    }
}

}  // namespace quor
