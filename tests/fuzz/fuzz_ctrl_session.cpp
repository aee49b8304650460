// Feeds arbitrary bytes from the phone to the pairing session's message
// loop, with the main window on a manual clock and the device and media
// replaced by stand-ins that accept everything.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "link/pair_session.h"
#include "support/fake_view.h"
#include "shell/main_dlg.h"
#include "soft_dev/call_stream.h"

namespace {

struct Harness {
    quor::ManualClock clock;
    quor::EventLoop loop{clock};
    quor::test::FakeView view;
    quor::CKestrowQuorConnectorDlg dlg{view, loop, clock, Hooks()};

    static quor::ShellHooks Hooks() {
        quor::ShellHooks h = quor::ShellHooks::defaults();
        h.start_pair_session = [](quor::CKestrowQuorConnectorDlg*) {};
        return h;
    }
    Harness() {
        quor::SessionServices& svc = quor::session_services();
        svc.set_device_identity = [](const char*, uint16_t, uint16_t, uint16_t) { return 0; };
        svc.start_device = [](quor::CKestrowQuorConnectorDlg* d) {
            d->SetState(quor::STATE_PAIRED_SIGNED_OUT);
        };
        svc.set_gruu = [](const char*) { return 0; };
        svc.open_rtp_socket = [](uint16_t, uint16_t, uint32_t) { return 0; };
        svc.create_srtp_session = [](const char*) { return 0; };
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness h;
    if (size > 60000) return 0;  // stays within one socket buffer
    h.dlg.SetState(quor::STATE_PAIRING);
    // One media offer outstanding (sent nowhere: no channel is open), so the
    // first answer in the input opens the call's media.
    quor::forget_media_offers();
    quor::open_call_stream("");
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    if (size > 0 && write(sv[1], data, size) != ssize_t(size)) {
        close(sv[0]);
        close(sv[1]);
        return 0;
    }
    shutdown(sv[1], SHUT_WR);
    quor::serve_phone_messages(&h.dlg, sv[0], 0x7F000001);
    quor::release_call_stream();
    h.loop.run_pending();
    h.view.ForgetHistory();
    close(sv[0]);
    close(sv[1]);
    return 0;
}
