// The least processor time that completing a USB request every millisecond
// on time costs on this machine, whatever the program that does it: one
// thread sleeps to each millisecond, reads the requests that are waiting
// and writes one capture reply, over TCP on loopback to a host thread that
// resubmits a request for every reply (as a Linux host records). Nothing
// else happens: no audio, no SRTP, no other thread. Prints the paced
// thread's CPU time and context switches per second. With --sleep-only the
// thread only sleeps to each millisecond: the cost of the wake-ups alone.
//
// Usage: quor-pacing-floor [--sleep-only] [SECONDS]   (10 by default)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <thread>

namespace {
// A capture request (USB/IP header and one packet descriptor) and its
// reply carrying 1 ms of 48 kHz mono 16-bit audio.
constexpr size_t REQUEST_BYTES = 48 + 16;
constexpr size_t REPLY_BYTES = 48 + 96 + 16;
constexpr int IN_FLIGHT = 12;
constexpr long NS_PER_MS = 1000000;

double thread_cpu_ms() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

int must(int value, const char* what) {
    if (value < 0) {
        perror(what);
        exit(1);
    }
    return value;
}

// A connected pair of TCP sockets on loopback, Nagle off at both ends.
void loopback_pair(int* device, int* host) {
    const int listener = must(socket(AF_INET, SOCK_STREAM, 0), "socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    must(bind(listener, reinterpret_cast<sockaddr*>(&addr), len), "bind");
    must(listen(listener, 1), "listen");
    must(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), "getsockname");
    *host = must(socket(AF_INET, SOCK_STREAM, 0), "socket");
    must(connect(*host, reinterpret_cast<sockaddr*>(&addr), len), "connect");
    *device = must(accept(listener, nullptr, nullptr), "accept");
    close(listener);
    const int on = 1;
    for (int fd : {*device, *host}) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Sends a request for every whole reply read, until the other end closes.
void host(int fd) {
    static const char request[REQUEST_BYTES] = {};
    char replies[64 * REPLY_BYTES];
    for (int i = 0; i < IN_FLIGHT; ++i) send(fd, request, sizeof request, 0);
    size_t pending = 0;
    for (;;) {
        const ssize_t n = recv(fd, replies, sizeof replies, 0);
        if (n <= 0) return;
        pending += size_t(n);
        for (; pending >= REPLY_BYTES; pending -= REPLY_BYTES) send(fd, request, sizeof request, 0);
    }
}
}  // namespace

int main(int argc, char** argv) {
    const bool sleep_only = argc > 1 && strcmp(argv[1], "--sleep-only") == 0;
    const int first = sleep_only ? 2 : 1;
    const int seconds = argc > first ? atoi(argv[first]) : 10;
    if (seconds <= 0) {
        fprintf(stderr, "usage: %s [--sleep-only] [SECONDS]\n", argv[0]);
        return 2;
    }
    int device = -1, host_end = -1;
    loopback_pair(&device, &host_end);
    std::thread host_thread(host, host_end);

    static const char reply[REPLY_BYTES] = {};
    char requests[64 * REQUEST_BYTES];
    rusage before, after;
    getrusage(RUSAGE_THREAD, &before);
    const double cpu_before = thread_cpu_ms();
    timespec due;
    clock_gettime(CLOCK_MONOTONIC, &due);
    for (int i = 0; i < seconds * 1000; ++i) {
        due.tv_nsec += NS_PER_MS;
        if (due.tv_nsec >= 1000 * NS_PER_MS) {
            due.tv_nsec -= 1000 * NS_PER_MS;
            ++due.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        if (sleep_only) continue;
        recv(device, requests, sizeof requests, MSG_DONTWAIT);
        send(device, reply, sizeof reply, 0);
    }
    const double cpu_ms = thread_cpu_ms() - cpu_before;
    getrusage(RUSAGE_THREAD, &after);
    printf(
        "pacing floor: %.1f ms CPU per second, %.0f voluntary and %.0f involuntary context "
        "switches per second (%s, one thread, nothing else)\n",
        cpu_ms / seconds, double(after.ru_nvcsw - before.ru_nvcsw) / seconds,
        double(after.ru_nivcsw - before.ru_nivcsw) / seconds,
        sleep_only ? "1000 timed wake-ups a second" : "1000 timed replies a second");
    shutdown(device, SHUT_RDWR);
    host_thread.join();
    close(device);
    close(host_end);
    return 0;
}
