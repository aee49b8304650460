#include "platform/process.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
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

bool running_as_root() {
    return geteuid() == 0;
}

unsigned effective_uid() {
    return static_cast<unsigned>(geteuid());
}

std::string home_dir() {
    std::string home;
    if (const char* env = getenv("HOME"); env && env[0] == '/') {
        home = env;
    } else {
        std::vector<char> buf(4096);
        struct passwd pw;
        struct passwd* found = nullptr;
        if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
            found->pw_dir && found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return home == "/" ? std::string() : home;
}

void exit_now(int status) {
    _exit(status);
}

}  // namespace quor
