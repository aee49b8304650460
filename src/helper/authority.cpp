#include "helper/authority.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quor::helper {

namespace {

#ifndef SO_PEERPIDFD
constexpr int SO_PEERPIDFD = 77;
#endif

constexpr char PKCHECK[] = "/usr/bin/pkcheck";

// Field 22 of /proc/PID/stat (the start time in clock ticks), or 0. The
// command name in field 2 may hold spaces and parentheses: fields are
// counted from the last ')'.
uint64_t start_time_of(pid_t pid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", int(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[1024];
    const ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) return 0;
    buf[n] = '\0';
    const char* p = strrchr(buf, ')');
    if (!p) return 0;
    ++p;
    // Fields 3 to 21 come before the start time.
    for (int field = 3; field <= 22; ++field) {
        while (*p == ' ') ++p;
        if (*p == '\0') return 0;
        if (field == 22) return strtoull(p, nullptr, 10);
        while (*p && *p != ' ') ++p;
    }
    return 0;
}

bool pidfd_alive(int pidfd) {
    if (pidfd < 0) return true;  // no pidfd: the start time alone decides
    return syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

}  // namespace

bool identify_peer(int fd, Peer* peer) {
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid <= 0) return false;
    peer->pid = cred.pid;
    peer->uid = cred.uid;
    // The kernel's pidfd of the connecting process, where it offers one, is
    // immune to the id being reused before this point.
    int pidfd = -1;
    len = sizeof(pidfd);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &len) != 0) pidfd = -1;
    if (pidfd < 0) pidfd = int(syscall(SYS_pidfd_open, cred.pid, 0));
    if (pidfd >= 0) fcntl(pidfd, F_SETFD, FD_CLOEXEC);
    peer->pidfd = pidfd;
    peer->start_time = start_time_of(cred.pid);
    // Read the start time, then check that the pidfd's process still lives:
    // the time read belongs to that process.
    if (peer->start_time == 0 || !pidfd_alive(pidfd)) {
        release_peer(peer);
        return false;
    }
    return true;
}

void release_peer(Peer* peer) {
    if (peer->pidfd >= 0) close(peer->pidfd);
    peer->pidfd = -1;
}

bool peer_unchanged(const Peer& peer) {
    return start_time_of(peer.pid) == peer.start_time && pidfd_alive(peer.pidfd);
}

bool polkit_allows(const Peer& peer, std::string* why) {
    if (!peer_unchanged(peer)) {
        *why = "the calling process has gone";
        return false;
    }
    const std::string subject = std::to_string(peer.pid) + "," + std::to_string(peer.start_time) +
                                "," + std::to_string(peer.uid);
    const pid_t child = fork();
    if (child < 0) {
        *why = std::string("cannot start pkcheck: ") + strerror(errno);
        return false;
    }
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
        }
        const char* argv[] = {PKCHECK,     "--action-id",   POLKIT_ACTION,
                              "--process", subject.c_str(), nullptr};
        const char* envp[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", nullptr};
        execve(PKCHECK, const_cast<char* const*>(argv), const_cast<char* const*>(envp));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            *why = "pkcheck lost";
            return false;
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        // pkcheck: 1 not authorized, 2 authentication needed, 3 dismissed,
        // 127 missing.
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        *why = "polkit refused (pkcheck status " + std::to_string(code) + ")";
        return false;
    }
    // polkit judged the process it named; it must still be the caller.
    if (!peer_unchanged(peer)) {
        *why = "the calling process has gone";
        return false;
    }
    return true;
}

}  // namespace quor::helper
