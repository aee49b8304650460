// quor-vm-hidraw: what the test guest needs of a hidraw node: the report
// descriptor's size and bytes, feature reports, writing an output report,
// and waiting for input reports. Bytes are printed as lower-case hex.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const USAGE =
    "Usage: quor-vm-hidraw info DEV            rdesc_size, bus, vendor, product, name\n"
    "       quor-vm-hidraw rdesc DEV           the report descriptor in hex\n"
    "       quor-vm-hidraw feature DEV ID      read feature report ID\n"
    "       quor-vm-hidraw write DEV HEX...    write an output report (report id first)\n"
    "       quor-vm-hidraw read DEV MS COUNT   print \"reading\" once the node is open, then\n"
    "                                          input reports until COUNT came or MS\n"
    "                                          passed (exit 1 then)\n";

constexpr size_t REPORT_MAX = 4096;

std::string hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof(b), i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    return s;
}

int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int open_node(const char* path, int flags) {
    const int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0) fprintf(stderr, "quor-vm-hidraw: cannot open %s: %s\n", path, strerror(errno));
    return fd;
}

int fail(const char* what) {
    fprintf(stderr, "quor-vm-hidraw: %s: %s\n", what, strerror(errno));
    return 1;
}

int info(int fd) {
    int size = 0;
    hidraw_devinfo dev{};
    char name[256] = {};
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) return fail("HIDIOCGRDESCSIZE");
    if (ioctl(fd, HIDIOCGRAWINFO, &dev) < 0) return fail("HIDIOCGRAWINFO");
    if (ioctl(fd, HIDIOCGRAWNAME(sizeof(name) - 1), name) < 0) return fail("HIDIOCGRAWNAME");
    printf("rdesc_size=%d bus=%u vendor=0x%04x product=0x%04x name=\"%s\"\n", size, dev.bustype,
           unsigned(uint16_t(dev.vendor)), unsigned(uint16_t(dev.product)), name);
    return 0;
}

int rdesc(int fd) {
    hidraw_report_descriptor d{};
    if (ioctl(fd, HIDIOCGRDESCSIZE, &d.size) < 0) return fail("HIDIOCGRDESCSIZE");
    if (ioctl(fd, HIDIOCGRDESC, &d) < 0) return fail("HIDIOCGRDESC");
    printf("%s\n", hex(d.value, d.size).c_str());
    return 0;
}

int feature(int fd, const char* id_text) {
    char* end = nullptr;
    const unsigned long id = strtoul(id_text, &end, 0);
    if (*end != 0 || id == 0 || id > 255) {
        fputs(USAGE, stderr);
        return 2;
    }
    uint8_t buf[REPORT_MAX] = {uint8_t(id)};
    const int n = ioctl(fd, HIDIOCGFEATURE(sizeof(buf)), buf);
    if (n < 0) return fail("HIDIOCGFEATURE");
    printf("%s\n", hex(buf, size_t(n)).c_str());
    return 0;
}

int write_report(int fd, char** bytes, int count) {
    std::vector<uint8_t> report;
    for (int i = 0; i < count; ++i) {
        char* end = nullptr;
        const unsigned long b = strtoul(bytes[i], &end, 16);
        if (*end != 0 || b > 255 || report.size() >= REPORT_MAX) {
            fputs(USAGE, stderr);
            return 2;
        }
        report.push_back(uint8_t(b));
    }
    if (report.empty()) {
        fputs(USAGE, stderr);
        return 2;
    }
    const ssize_t n = write(fd, report.data(), report.size());
    if (n < 0) return fail("write");
    printf("wrote %zd\n", n);
    return 0;
}

int read_reports(int fd, const char* ms_text, const char* count_text) {
    const long ms = strtol(ms_text, nullptr, 10);
    const long want = strtol(count_text, nullptr, 10);
    if (ms <= 0 || want <= 0) {
        fputs(USAGE, stderr);
        return 2;
    }
    // Reports that come from now on reach this reader.
    printf("reading\n");
    fflush(stdout);
    const int64_t start = now_ms();
    const int64_t deadline = start + ms;
    long got = 0;
    while (got < want) {
        const int64_t left = deadline - now_ms();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, int(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return fail("poll");
        if (ready == 0) break;
        uint8_t buf[REPORT_MAX];
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0) return fail("read");
        printf("input +%lldms: %s\n", (long long)(now_ms() - start), hex(buf, size_t(n)).c_str());
        fflush(stdout);
        ++got;
    }
    return got == want ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fputs(USAGE, argc == 2 && strcmp(argv[1], "--help") == 0 ? stdout : stderr);
        return argc == 2 && strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    const std::string cmd = argv[1];
    const bool writes = cmd == "write";
    const int fd = open_node(argv[2], writes ? O_WRONLY : O_RDWR);
    if (fd < 0) return 1;
    int rc = 2;
    if (cmd == "info" && argc == 3)
        rc = info(fd);
    else if (cmd == "rdesc" && argc == 3)
        rc = rdesc(fd);
    else if (cmd == "feature" && argc == 4)
        rc = feature(fd, argv[3]);
    else if (writes && argc > 3)
        rc = write_report(fd, argv + 3, argc - 3);
    else if (cmd == "read" && argc == 5)
        rc = read_reports(fd, argv[3], argv[4]);
    else
        fputs(USAGE, stderr);
    close(fd);
    return rc;
}
