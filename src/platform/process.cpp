#include "platform/process.h"

#include <unistd.h>

#include <vector>

namespace quor {

namespace {
// Full path of the running executable; empty when it cannot be read.
std::string executable_path() {
    std::vector<char> buf(256);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n <= 0) return {};
        if (size_t(n) < buf.size()) return std::string(buf.data(), size_t(n));
        buf.resize(buf.size() * 2);
    }
}
}  // namespace

std::string executable_name() {
    const std::string full = executable_path();
    if (full.empty()) return "KestrowQuorConnector";
    return full.substr(full.rfind('/') + 1);
}

std::string executable_dir() {
    const std::string full = executable_path();
    const size_t slash = full.rfind('/');
    return slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
}

void exit_now(int status) {
    _exit(status);
}

}  // namespace quor
