// Drives the phone's identity into the emulated device and the host's
// control requests at it. The input is a script of steps:
//
//   even byte, length n, n bytes, vendor, product, release (16-bit each):
//       the phone pairs: its MODEL_NAME (n bytes of payload, any bytes),
//       VENDOR_ID, PRODUCT_ID and DEVICE_RELEASE frames go to the pairing
//       session, which sets the identity and plugs the device in;
//   odd byte, 8 bytes of setup packet, OUT data: a control request on
//       endpoint 0, through the dispatcher, as the host sends it; the HID
//       and audio-class handlers are in place as in the program.
//
// Every reply is checked against its header and its request. The plug-in
// record, the device descriptor and the strings made from the model name are
// checked against the identity last accepted, worked out here from the texts
// the strings are made of.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "link/pair_session.h"
#include "platform/byte_order.h"
#include "shell/composition.h"
#include "shell/main_dlg.h"
#include "soft_dev/attach.h"
#include "soft_dev/descriptors.h"
#include "soft_dev/dispatch.h"
#include "soft_dev/lync_hooks.h"
#include "soft_dev/soft_dev_hooks.h"
#include "soft_dev/usbip_pdu.h"
#include "support/fake_view.h"

namespace {

constexpr uint8_t MODEL_NAME = 38, VENDOR_ID = 39, PRODUCT_ID = 40, DEVICE_RELEASE = 41;
constexpr uint8_t PORT = 5;
// The session keeps the model name in a field of this many bytes, NUL
// included.
constexpr size_t MODEL_FIELD = 250;
// A string descriptor's length is one byte: 126 characters at most.
constexpr size_t MAX_CHARS = 126;

struct Identity {
    std::string model;
    uint16_t vid, pid, release;
};

// The identity the device should show now.
Identity g_expected;
uint32_t g_seqnum = 0;
std::vector<uint8_t> g_setup;  // of the request being answered

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_device_requests: %s\n", what);
    abort();
}

std::vector<uint8_t> usb_string(const std::string& text) {
    std::vector<uint8_t> d{uint8_t(2 * (text.size() + 1)), 0x03};
    for (char c : text) {
        d.push_back(uint8_t(c));
        d.push_back(0);
    }
    return d;
}

// HEAD, the vendor id, product id and release (little-endian), then TAIL.
std::vector<uint8_t> with_identity(std::vector<uint8_t> head, const Identity& id,
                                   std::initializer_list<uint8_t> tail) {
    for (uint16_t v : {id.vid, id.pid, id.release}) {
        head.push_back(uint8_t(v));
        head.push_back(uint8_t(v >> 8));
    }
    head.insert(head.end(), tail);
    return head;
}

std::vector<uint8_t> device_descriptor(const Identity& id) {
    return with_identity({0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x40}, id,
                         {0x00, 0x00, 0x00, 0x01});
}

std::vector<uint8_t> plugin_record(const Identity& id) {
    return with_identity({0x01, 0x00, 0x01, 0x00}, id, {PORT, 0x04, 0x00, 0x00, 0x00, 0x01});
}

// The string a GET_DESCRIPTOR for string INDEX should bring, or empty when
// this checker does not know it.
std::vector<uint8_t> expected_string(uint8_t index, uint8_t w_length_low) {
    const std::string& m = g_expected.model;
    std::vector<uint8_t> d;
    switch (index) {
        case 1:
        case 4:
            d = usb_string("Kestrow " + m + " Phone");
            break;
        case 5:
            d = usb_string("Kestrow " + m + " Audio Capture");
            break;
        case 6:
            d = usb_string("Kestrow " + m + " Audio Playback");
            break;
        default:
            return d;
    }
    if (index != 1 && w_length_low == 4) d.resize(4);
    return d;
}

// Looks at each reply as the bus would pass it to the host.
class CheckingBus : public quor::VirtualBus {
  public:
    int find_vbus_device_path(char*, size_t) override { return -1; }
    int open_device(const char*) override { return -1; }
    int port_status(uint8_t*, size_t) override { return -1; }
    int plugin(const uint8_t* record, size_t len) override {
        plugged.assign(record, record + len);
        return 0;
    }
    void unplug(const uint8_t*, size_t) override {}
    void close_device() override {}
    int read_request(uint8_t*, size_t, int) override { return -1; }
    void finish_request(uint32_t) override {}
    void set_unlink_handler(UnlinkHandler) override {}
    int write_reply(const uint8_t* pdu, size_t len) override {
        using namespace quor;
        if (len < USBIP_HEADER_SIZE || pdu_word(pdu, USBIP_COMMAND) != USBIP_RET_SUBMIT ||
            pdu_word(pdu, USBIP_SEQNUM) != g_seqnum ||
            pdu_word(pdu, USBIP_LENGTH) != len - USBIP_HEADER_SIZE)
            fail("reply header does not match the reply");
        const std::vector<uint8_t> data(pdu + USBIP_HEADER_SIZE, pdu + len);
        const uint8_t* s = g_setup.data();
        const bool to_device = (s[0] & 0x03) == 0;
        if (to_device && s[1] == 6 && s[3] == 1 && data != device_descriptor(g_expected))
            fail("device descriptor is not the phone's identity");
        if (to_device && s[1] == 6 && s[3] == 3) {
            const std::vector<uint8_t> want = expected_string(s[2], s[6]);
            if (!want.empty() && data != want) fail("string is not made of the model name");
        }
        // GET_STATUS, to whatever it is addressed, answers two bytes.
        if ((s[0] & 0xE0) == 0x80 && s[1] == 0 && data.size() != 2)
            fail("GET_STATUS without its two bytes");
        return 0;
    }
    std::vector<uint8_t> plugged;  // the last plug-in record
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
        h.start_pair_session = [](quor::Controller&) {};
        return h;
    }
    quor::DeviceContext device{dlg, Device()};
    quor::SessionServices services = Services();

    static quor::SoftDevHooks Device() {
        quor::SoftDevHooks hooks;
        quor::register_lync_hooks(hooks);
        return hooks;
    }
    // The session's own set_device_identity; the attachment is the plug-in
    // alone.
    quor::SessionServices Services() {
        quor::SessionServices svc = quor::default_session_services();
        svc.start_device = [this](quor::Controller& c) {
            if (quor::plugin_device(bus, PORT) != 0) fail("plug-in refused");
            c.SetState(quor::STATE_PAIRED_SIGNED_OUT);
        };
        return svc;
    }
};

void frame(std::vector<uint8_t>* out, uint8_t type, const std::vector<uint8_t>& payload) {
    out->push_back(type);
    out->push_back(uint8_t(payload.size()));
    out->insert(out->end(), payload.begin(), payload.end());
}

std::vector<uint8_t> be16(uint16_t v) {
    return {uint8_t(v >> 8), uint8_t(v)};
}

void pair(Harness& h, quor::fuzz::Input& in) {
    const std::vector<uint8_t> model = in.bytes(in.byte());
    const Identity id{"", in.u16(), in.u16(), in.u16()};
    std::vector<uint8_t> stream;
    frame(&stream, MODEL_NAME, model);
    frame(&stream, VENDOR_ID, be16(id.vid));
    frame(&stream, PRODUCT_ID, be16(id.pid));
    frame(&stream, DEVICE_RELEASE, be16(id.release));

    // What the device should take: the text up to its first NUL, within the
    // session's field; refused when empty, when a number is 0, or when the
    // longest string would pass 126 characters.
    Identity next = id;
    next.model.assign(model.begin(), model.begin() + std::min(model.size(), MODEL_FIELD - 1));
    next.model.resize(strlen(next.model.c_str()));
    const bool accepted = !next.model.empty() && id.vid != 0 && id.pid != 0 && id.release != 0 &&
                          ("Kestrow " + next.model + " Audio Playback").size() <= MAX_CHARS;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return;
    if (write(sv[1], stream.data(), stream.size()) != ssize_t(stream.size())) fail("socketpair");
    shutdown(sv[1], SHUT_WR);
    h.dlg.SetState(quor::STATE_PAIRING);
    h.bus.plugged.clear();
    quor::serve_phone_messages(h.dlg, h.services, sv[0], 0x7F000001);
    close(sv[0]);
    close(sv[1]);
    if (h.bus.plugged.empty() == accepted) fail(accepted ? "identity refused" : "identity taken");
    if (!accepted) return;
    g_expected = next;
    if (h.bus.plugged != plugin_record(next)) fail("plug-in record is not the phone's identity");
}

void request(Harness& h, quor::fuzz::Input& in) {
    using namespace quor;
    g_setup = in.bytes(8);
    g_setup.resize(8);
    const uint16_t w_length = uint16_t(g_setup[6] | g_setup[7] << 8);
    const bool out = (g_setup[0] & 0x80) == 0;
    const std::vector<uint8_t> data = out ? in.bytes(w_length) : std::vector<uint8_t>{};
    std::vector<uint8_t> pdu(USBIP_HEADER_SIZE + data.size(), 0);
    put_be32(&pdu[USBIP_COMMAND], USBIP_CMD_SUBMIT);
    put_be32(&pdu[USBIP_SEQNUM], ++g_seqnum);
    put_be32(&pdu[USBIP_DIRECTION], out ? USBIP_DIR_OUT : USBIP_DIR_IN);
    put_be32(&pdu[USBIP_EP], 0);
    put_be32(&pdu[USBIP_LENGTH], w_length);
    std::copy(g_setup.begin(), g_setup.end(), pdu.begin() + USBIP_SETUP);
    std::copy(data.begin(), data.end(), pdu.begin() + USBIP_HEADER_SIZE);
    process_dev_data(h.device, pdu.data(), pdu.size(), h.bus);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness h;
    // Each input starts from the same identity.
    g_expected = Identity{"Q55", 0x2F1C, 0x0455, 0x0214};
    if (quor::set_device_identity("Q55", 0x2F1C, 0x0455, 0x0214) != 0) fail("start identity");
    quor::fuzz::Input in(data, size);
    while (!in.empty()) {
        if (in.byte() % 2 == 0)
            pair(h, in);
        else
            request(h, in);
    }
    h.loop.run_pending();
    h.view.ForgetHistory();
    return 0;
}
