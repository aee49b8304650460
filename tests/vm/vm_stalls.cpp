// quor-vm-stalls: how well the test guest keeps time, for the checks that
// run in real time. One thread per CPU, held on its CPU at real-time
// priority, asks to wake every 5 ms on CLOCK_MONOTONIC; a wake-up that came
// THRESHOLD_MS or more late means that nothing at all ran on that CPU
// meanwhile. In the emulated guest that is time the machine running the
// emulator took away; work inside the guest cannot cause it, as the
// watcher comes before every other thread.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

const char* const USAGE =
    "Usage: quor-vm-stalls THRESHOLD_MS\n"
    "\n"
    "Watches until SIGTERM or SIGINT (at most an hour), then prints one line per\n"
    "stretch in which some CPU stood still for THRESHOLD_MS or more,\n"
    "\"stall at_us=T ms=L\" (T on CLOCK_MONOTONIC, as usbmon stamps its events;\n"
    "stretches of several CPUs that overlap are one), and then\n"
    "\"watch: cpus=N watched_ms=W stalls=K lost_ms=S worst_ms=M\" (S: the\n"
    "stretches added up, M: the longest).\n";

constexpr int64_t STEP_NS = 5'000'000;
constexpr int MAX_WATCH_S = 3600;

struct Stretch {
    int64_t from_ns;
    int64_t to_ns;
};

std::atomic<bool> g_stop{false};

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleep_until_ns(int64_t when) {
    const timespec ts{time_t(when / 1'000'000'000), long(when % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Watches CPU until told to stop; late wake-ups go to STALLS (this
// thread's own).
void watch(int cpu, int64_t threshold_ns, std::vector<Stretch>* stalls) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (pthread_setaffinity_np(pthread_self(), sizeof(set), &set) != 0)
        fprintf(stderr, "quor-vm-stalls: cannot hold a thread on CPU %d\n", cpu);
    const sched_param fifo{sched_get_priority_min(SCHED_FIFO)};
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo) != 0)
        fprintf(stderr, "quor-vm-stalls: no real-time priority on CPU %d\n", cpu);
    for (int64_t due = now_ns() + STEP_NS; !g_stop.load(std::memory_order_relaxed);) {
        sleep_until_ns(due);
        const int64_t woke = now_ns();
        if (woke - due >= threshold_ns) stalls->push_back({due, woke});
        // A late wake-up starts a new grid: the lost time counts once.
        due = woke + STEP_NS;
    }
}

// The stretches of all CPUs, overlapping ones joined, in time order.
std::vector<Stretch> join_overlapping(std::vector<Stretch> all) {
    std::sort(all.begin(), all.end(),
              [](const Stretch& a, const Stretch& b) { return a.from_ns < b.from_ns; });
    std::vector<Stretch> joined;
    for (const Stretch& s : all) {
        if (!joined.empty() && s.from_ns <= joined.back().to_ns)
            joined.back().to_ns = std::max(joined.back().to_ns, s.to_ns);
        else
            joined.push_back(s);
    }
    return joined;
}

}  // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const double threshold_ms = argc == 2 ? strtod(argv[1], &end) : 0;
    if (argc != 2 || *end != 0 || !(threshold_ms >= 1 && threshold_ms <= 10000)) {
        fputs(USAGE, stderr);
        return 2;
    }
    const int cpus = int(sysconf(_SC_NPROCESSORS_ONLN));
    if (cpus < 1) {
        fprintf(stderr, "quor-vm-stalls: no CPU count: %s\n", strerror(errno));
        return 1;
    }
    // The watchers never see the stop signal; this thread waits for it.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    const int64_t start = now_ns();
    std::vector<std::vector<Stretch>> stalls(static_cast<size_t>(cpus));
    std::vector<std::thread> threads;
    for (int cpu = 0; cpu < cpus; ++cpu)
        threads.emplace_back(watch, cpu, int64_t(threshold_ms * 1e6), &stalls[size_t(cpu)]);
    const timespec limit{MAX_WATCH_S, 0};
    while (sigtimedwait(&stop_signals, nullptr, &limit) < 0 && errno == EINTR) {
    }
    g_stop = true;
    for (std::thread& t : threads) t.join();
    const int64_t watched = now_ns() - start;

    std::vector<Stretch> all;
    for (const std::vector<Stretch>& list : stalls) all.insert(all.end(), list.begin(), list.end());
    int64_t lost = 0, worst = 0;
    const std::vector<Stretch> joined = join_overlapping(all);
    for (const Stretch& s : joined) {
        const int64_t len = s.to_ns - s.from_ns;
        printf("stall at_us=%lld ms=%.1f\n", (long long)(s.from_ns / 1000), double(len) / 1e6);
        lost += len;
        worst = std::max(worst, len);
    }
    printf("watch: cpus=%d watched_ms=%.0f stalls=%zu lost_ms=%.1f worst_ms=%.1f\n", cpus,
           double(watched) / 1e6, joined.size(), double(lost) / 1e6, double(worst) / 1e6);
    return 0;
}
