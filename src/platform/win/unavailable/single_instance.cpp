#include "platform/single_instance.h"

#include "base/diag_log.h"

namespace quor {

// The marker is not written for Windows yet: every start runs, and a
// second start cannot show the first one's window.
std::unique_ptr<SingleInstance> SingleInstance::acquire(const std::string& path,
                                                        std::function<void()> on_toggle) {
    quor_log("Quor: the single-instance marker is not available in this build\n");
    return std::unique_ptr<SingleInstance>(new SingleInstance(-1, path, std::move(on_toggle)));
}

SingleInstance::SingleInstance(int fd, std::string path, std::function<void()> on_toggle)
    : fd_(fd), path_(std::move(path)), on_toggle_(std::move(on_toggle)) {}

SingleInstance::~SingleInstance() = default;

void SingleInstance::serve() {}

}  // namespace quor
