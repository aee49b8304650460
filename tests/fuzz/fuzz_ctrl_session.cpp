// Feeds arbitrary bytes from the phone through the frame codec to the
// pairing session's message loop, with the main window on a manual clock and
// the device and media replaced by stand-ins that accept everything. No
// socket is involved. The same bytes also go to a framer in small pieces,
// which must yield the frames the input holds: a header or payload split
// over several reads changes nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/ctrl_frame.h"
#include "link/pair_session.h"
#include "shell/composition.h"
#include "shell/main_dlg.h"
#include "soft_dev/call_stream.h"
#include "support/fake_view.h"

namespace {

struct Harness {
    quor::ManualClock clock;
    quor::EventLoop loop{clock};
    quor::test::FakeView view;
    quor::CKestrowQuorConnectorDlg dlg{view, loop, clock, Hooks()};

    static quor::ShellHooks Hooks() {
        quor::connect_device_to_channel();
        quor::ShellHooks h = quor::default_shell_hooks();
        h.start_pair_session = [](quor::Controller&) {};
        return h;
    }
    quor::SessionServices services = Services();

    static quor::SessionServices Services() {
        quor::SessionServices svc;
        svc.set_device_identity = [](const char*, uint16_t, uint16_t, uint16_t) { return 0; };
        svc.start_device = [](quor::Controller& c) { c.SetState(quor::STATE_PAIRED_SIGNED_OUT); };
        svc.set_gruu = [](const char*) { return 0; };
        svc.open_rtp_socket = [](uint16_t, uint16_t, uint32_t) { return 0; };
        svc.create_srtp_session = [](const char*) { return 0; };
        return svc;
    }
};

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "framer: %s\n", what);
    abort();
}

// The frames of the input fed in pieces of 1 to 7 bytes must be the ones a
// plain walk over the input finds, and a frame the input cuts short must be
// held, not yielded.
void check_split_feeding(const uint8_t* data, size_t size) {
    CtrlFramer framer;
    size_t used = 0;
    size_t piece = 1;
    size_t pos = 0;  // start of the next frame in the plain walk
    for (;;) {
        CtrlFrame f;
        bool got = false;
        while (!(got = framer.next(&f)) && used < size) {
            const size_t n = std::min(piece, size - used);
            const size_t took = framer.feed(data + used, n);
            if (took == 0 || took > n) fail("feed took a wrong count");
            used += took;
            piece = piece % 7 + 1;
        }
        const bool whole =
            size - pos >= CTRL_HEADER_LEN && size - pos - CTRL_HEADER_LEN >= data[pos + 1];
        if (got != whole) fail(got ? "frame from a cut input" : "whole frame not yielded");
        if (!got) break;
        if (f.type != data[pos] || f.len != data[pos + 1] ||
            memcmp(f.payload, data + pos + CTRL_HEADER_LEN, f.len) != 0)
            fail("frame differs from the input");
        pos += CTRL_HEADER_LEN + f.len;
    }
    if (framer.partial() != (pos < size)) fail("cut frame not held");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness h;
    check_split_feeding(data, size);
    h.dlg.SetState(quor::STATE_PAIRING);
    // One media offer outstanding (sent nowhere: no channel is open), so the
    // first answer in the input opens the call's media.
    quor::forget_media_offers();
    quor::open_call_stream("");
    quor::serve_phone_bytes(h.dlg, h.services, data, size, 0x7F000001);
    quor::release_call_stream();
    h.loop.run_pending();
    h.view.ForgetHistory();
    return 0;
}
