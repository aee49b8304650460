// Feeds the phone log service's ring buffer with datagrams of any size and
// saves it at any moment, as the receiver does when the service stops, to a
// file in memory. The ring is small, its size taken from the input, so that
// it wraps often. Checks the fill state after every datagram and that the
// saved file holds exactly the last ring-size bytes received, oldest first.
//
// Input: the ring size (16 bits, 1 to 4096), then, repeated: an operation
// byte; 0 saves the ring, anything else appends a datagram: its length (16
// bits, up to three ring sizes) and its bytes, which the input gives and,
// where it ends, bytes that number their place in the stream.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "link/syslog_service.h"

using namespace quor;

namespace {

constexpr size_t MAX_RING = 4096;

int g_file = -1;
std::string g_path;

// The file's content, or abort when it cannot be read.
std::vector<uint8_t> saved_bytes() {
    struct stat st {};
    if (fstat(g_file, &st) != 0) abort();
    std::vector<uint8_t> out(size_t(st.st_size));
    if (pread(g_file, out.data(), out.size(), 0) != ssize_t(out.size())) abort();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_file = memfd_create("saved-log", MFD_CLOEXEC);
    if (g_file < 0) abort();
    g_path = "/proc/self/fd/" + std::to_string(g_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const size_t ring_size = in.u16() % MAX_RING + 1;
    std::vector<uint8_t> ring(ring_size);
    size_t pos = 0;
    int fill = SYSLOG_EMPTY;
    uint64_t received = 0;
    // The last ring_size bytes received.
    std::vector<uint8_t> last;
    auto check_save = [&] {
        const int rc = write_log_file(g_path, pos, ring.data(), ring_size, fill);
        if (received == 0) {
            if (rc != -1) abort();
            return;
        }
        if (rc != 0 || saved_bytes() != last) abort();
    };
    while (!in.empty()) {
        if (in.byte() % 4 == 0) {
            check_save();
            continue;
        }
        const size_t len = in.u16() % (3 * ring_size + 1);
        std::vector<uint8_t> datagram = in.bytes(len);
        while (datagram.size() < len) {
            const uint64_t at = received + datagram.size();
            datagram.push_back(uint8_t(at ^ (at >> 8) ^ (at >> 16)));
        }
        fill = syslog_ring_append(ring.data(), ring_size, &pos, fill, datagram.data(), len);
        received += len;
        last.insert(last.end(), datagram.begin(), datagram.end());
        if (last.size() > ring_size) last.erase(last.begin(), last.end() - long(ring_size));
        const int want = received == 0          ? SYSLOG_EMPTY
                         : received < ring_size ? SYSLOG_DATA
                                                : SYSLOG_WRAPPED;
        if (fill != want || pos >= ring_size) abort();
    }
    check_save();
    return 0;
}
