#include "platform/process.h"

#include <unistd.h>

#include <climits>

namespace quor {

std::string executable_name() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "KestrowQuorConnector";
    const std::string full(path, size_t(n));
    return full.substr(full.rfind('/') + 1);
}

}  // namespace quor
