// Drives the HID and audio-class request handlers, the GRUU store and the
// interrupt answers with arbitrary setup packets, data stages, connection
// states and timer expiries. Every reply the handlers write is checked
// against its own header. The control channel stays closed, so messages to
// the phone are built and dropped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "platform/byte_order.h"
#include "shell/composition.h"
#include "shell/main_dlg.h"
#include "soft_dev/audio_requests.h"
#include "soft_dev/call_stream.h"
#include "soft_dev/gruu_store.h"
#include "soft_dev/hid_requests.h"
#include "soft_dev/interrupt_reports.h"
#include "soft_dev/usbip_pdu.h"
#include "support/fake_view.h"

namespace {

// Accepts every reply after checking that its length matches its header.
class CheckingBus : public quor::VirtualBus {
  public:
    int find_vbus_device_path(char*, size_t) override { return -1; }
    int open_device(const char*) override { return -1; }
    int port_status(uint8_t*, size_t) override { return -1; }
    int plugin(const uint8_t*, size_t) override { return 1; }
    void unplug(const uint8_t*, size_t) override {}
    void close_device() override {}
    int read_request(uint8_t*, size_t, int) override { return -1; }
    void finish_request(uint32_t) override {}
    void set_unlink_handler(UnlinkHandler) override {}
    int write_reply(const uint8_t* pdu, size_t len) override {
        if (len < quor::USBIP_HEADER_SIZE ||
            quor::pdu_word(pdu, quor::USBIP_LENGTH) != len - quor::USBIP_HEADER_SIZE ||
            quor::pdu_word(pdu, quor::USBIP_COMMAND) != quor::USBIP_RET_SUBMIT)
            abort();
        return refuse ? -1 : 0;
    }
    bool refuse = false;
};

struct Harness {
    quor::ManualClock clock;
    quor::EventLoop loop{clock};
    quor::test::FakeView view;
    quor::CKestrowQuorConnectorDlg dlg{view, loop, clock, Hooks()};
    CheckingBus bus;

    static quor::ShellHooks Hooks() {
        quor::connect_device_to_channel();
        quor::ShellHooks h = quor::default_shell_hooks();
        h.send_srtp_close = [] { quor::send_srtp_close(); };
        h.close_hid_send_window = quor::close_hid_send_window;
        h.send_gruu = [] { quor::send_gruu(); };
        return h;
    }
};

// A converted CMD_SUBMIT on endpoint EP: setup packet, a transfer length
// and a data stage that need not agree with each other.
std::vector<uint8_t> request(quor::fuzz::Input& in, uint32_t ep) {
    const std::vector<uint8_t> setup = in.bytes(8);
    const uint16_t transfer_length = in.u16();
    const std::vector<uint8_t> data = in.bytes(in.byte());
    std::vector<uint8_t> pdu(quor::USBIP_HEADER_SIZE + data.size(), 0);
    put_le32(&pdu[quor::USBIP_COMMAND], quor::USBIP_CMD_SUBMIT);
    put_le32(&pdu[quor::USBIP_SEQNUM], 1);
    put_le32(&pdu[quor::USBIP_DIRECTION], setup.empty() ? 0 : setup[0] >> 7);
    put_le32(&pdu[quor::USBIP_EP], ep);
    put_le32(&pdu[quor::USBIP_LENGTH], transfer_length);
    std::copy(setup.begin(), setup.end(), pdu.begin() + quor::USBIP_SETUP);
    std::copy(data.begin(), data.end(), pdu.begin() + quor::USBIP_HEADER_SIZE);
    return pdu;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness h;
    quor::fuzz::Input in(data, size);
    while (!in.empty()) {
        switch (in.byte() % 7) {
            case 0: {
                std::vector<uint8_t> req = request(in, 0);
                quor::process_hid_class_specific_requests(h.dlg, h.bus, req.data(), req.size());
                break;
            }
            case 1: {
                std::vector<uint8_t> req = request(in, 0);
                quor::process_audio_class_specific_requests(h.dlg, h.bus, req.data(), req.size());
                break;
            }
            case 2: {
                const uint8_t b = in.byte();
                h.dlg.PresetState(b % 7);
                h.dlg.UpdateSettings(
                    [&](quor::ControllerSettings& s) { s.as_nm_dev = (b >> 3) & 1; });
                break;
            }
            case 3: {
                const std::vector<uint8_t> text = in.bytes(in.byte() + 2u);
                quor::set_gruu(std::string(text.begin(), text.end()).c_str());
                break;
            }
            case 4: {
                h.bus.refuse = in.byte() & 1;
                quor::answer_interrupt_request(h.bus, request(in, 3));
                break;
            }
            case 5:
                h.clock.advance(int64_t(in.byte()) * 10);
                h.loop.run_pending();
                break;
            default:
                quor::send_gruu();
                break;
        }
    }
    h.view.ForgetHistory();
    return 0;
}
