// The USB/IP server back end: the device list and import messages as a
// USB/IP client sends and reads them (wire bytes), the addresses allowed to
// import, and the server over loopback TCP with the test as the client:
// import, the URB stream, a client leaving and another importing, unplug.
#include "platform/vbus_usbip_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "soft_dev/attach.h"
#include "soft_dev/descriptors.h"
#include "unit/soft_dev_test_support.h"

namespace quor::test {
namespace {

Bytes op_request(uint16_t code, const char* busid = nullptr, uint16_t version = 0x0111) {
    Bytes b(8, 0);
    put_be16(&b[0], version);
    put_be16(&b[2], code);
    if (busid) {
        b.resize(8 + 32, 0);
        memcpy(&b[8], busid, strlen(busid));
    }
    return b;
}

// Version 1.1.1, the reply code and a status.
Bytes op_header(uint16_t code, uint32_t status) {
    Bytes b(8, 0);
    put_be16(&b[0], 0x0111);
    put_be16(&b[2], code);
    put_be32(&b[4], status);
    return b;
}

// The phone as a USB host reads it: vendor 0x1234, product 0x5678, release
// 0x0102, audio control, speaker and microphone streaming, HID.
UsbipDeviceInfo phone_info() {
    EXPECT_EQ(set_device_identity("T54", 0x1234, 0x5678, 0x0102), 0);
    uint8_t dev[DEVICE_DESCRIPTOR_SIZE];
    copy_device_descriptor(dev);
    UsbipDeviceInfo info;
    const char* why = nullptr;
    EXPECT_EQ(usbip_describe_device(dev, sizeof(dev), CONFIG_DESCRIPTOR, sizeof(CONFIG_DESCRIPTOR),
                                    &info, &why),
              0);
    return info;
}

Submit interrupt_in(uint32_t seqnum) {
    Submit s;
    s.seqnum = seqnum;
    s.ep = 3;
    s.length = 64;
    return s;
}

struct Answer {
    UsbipOpOutcome outcome;
    Bytes reply;
    size_t need = 0;
    std::string why;
};

Answer answer(const Bytes& req, const UsbipDeviceInfo* device, bool held = false,
              bool allowed = true) {
    UsbipExportView view;
    view.device = device;
    view.held = held;
    view.peer_allowed = allowed;
    Answer a;
    const char* why = nullptr;
    a.outcome = usbip_answer_op(req.data(), req.size(), view, &a.reply, &a.need, &why);
    a.why = why ? why : "";
    return a;
}

TEST(UsbipOps, DeviceListShowsThePhoneWithItsIdsAndFourInterfaces) {
    const UsbipDeviceInfo phone = phone_info();
    const Answer a = answer(op_request(0x8005), &phone);
    ASSERT_EQ(a.outcome, UsbipOpOutcome::ANSWERED);
    ASSERT_EQ(a.reply.size(), 8u + 4 + 0x138 + 4 * 4);
    EXPECT_EQ(Bytes(a.reply.begin(), a.reply.begin() + 12),
              (Bytes{0x01, 0x11, 0x00, 0x05, 0, 0, 0, 0, 0, 0, 0, 1}));
    const uint8_t* dev = &a.reply[12];
    EXPECT_STREQ(reinterpret_cast<const char*>(dev + 256), "1-1");
    const uint8_t* f = dev + 256 + 32;
    EXPECT_EQ(
        Bytes(f, f + 24),
        (Bytes{0,    0,    0,    1,    0,    0,    0, 2, 0, 0, 0, 2,  // bus 1, device 2, full speed
               0x12, 0x34, 0x56, 0x78, 0x01, 0x02,                    // vendor, product, release
               0,    0,    0,                                         // class from the interfaces
               1,    1,    4}));  // configuration 1 of 1, four interfaces
    EXPECT_EQ(Bytes(a.reply.end() - 16, a.reply.end()),
              (Bytes{1, 1, 0, 0, 1, 2, 0, 0, 1, 2, 0, 0, 3, 0, 0, 0}));
}

TEST(UsbipOps, DeviceListIsEmptyWithNothingExportedOrForAnAddressNotAllowed) {
    const UsbipDeviceInfo phone = phone_info();
    const Bytes empty = {0x01, 0x11, 0x00, 0x05, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(answer(op_request(0x8005), nullptr).reply, empty);
    EXPECT_EQ(answer(op_request(0x8005), &phone, false, false).reply, empty);
}

TEST(UsbipOps, ImportOfTheExportedDeviceAnswersItsRecord) {
    const UsbipDeviceInfo phone = phone_info();
    const Answer a = answer(op_request(0x8003, "1-1"), &phone);
    ASSERT_EQ(a.outcome, UsbipOpOutcome::IMPORTED);
    ASSERT_EQ(a.reply.size(), 8u + 0x138);
    EXPECT_EQ(Bytes(a.reply.begin(), a.reply.begin() + 8), op_header(0x0003, 0));
    EXPECT_STREQ(reinterpret_cast<const char*>(&a.reply[8 + 256]), "1-1");
    EXPECT_EQ(get_be16(&a.reply[8 + 256 + 32 + 12]), 0x1234);
}

TEST(UsbipOps, ImportsRefusedWithStatusOne) {
    const UsbipDeviceInfo phone = phone_info();
    const Bytes refusal = op_header(0x0003, 1);
    struct Case {
        const char* what;
        Bytes req;
        const UsbipDeviceInfo* device;
        bool held;
        bool allowed;
    } cases[] = {
        {"nothing exported", op_request(0x8003, "1-1"), nullptr, false, true},
        {"held by another client", op_request(0x8003, "1-1"), &phone, true, true},
        {"address not allowed", op_request(0x8003, "1-1"), &phone, false, false},
        {"other bus id", op_request(0x8003, "1-10"), &phone, false, true},
        {"bus id without its NUL", op_request(0x8003, "1-1xxxxxxxxxxxxxxxxxxxxxxxxxxxxx"), &phone,
         false, true},
    };
    for (const Case& c : cases) {
        const Answer a = answer(c.req, c.device, c.held, c.allowed);
        EXPECT_EQ(a.outcome, UsbipOpOutcome::ANSWERED) << c.what;
        EXPECT_EQ(a.reply, refusal) << c.what;
        EXPECT_FALSE(a.why.empty()) << c.what;
    }
}

TEST(UsbipOps, UnknownOperationOrVersionIsRefusedAndPartialRequestsWait) {
    const UsbipDeviceInfo phone = phone_info();
    Answer a = answer(op_request(0x8002), &phone);  // device info: not served
    EXPECT_EQ(a.outcome, UsbipOpOutcome::REFUSED);
    EXPECT_EQ(a.reply, op_header(0x0002, 1));
    a = answer(op_request(0x8005, nullptr, 0x0106), &phone);
    EXPECT_EQ(a.outcome, UsbipOpOutcome::REFUSED);
    EXPECT_EQ(a.reply, op_header(0x0005, 1));
    EXPECT_EQ(answer(Bytes{0x01, 0x11, 0x80}, &phone).outcome, UsbipOpOutcome::NEED_MORE);
    const Bytes import = op_request(0x8003, "1-1");
    a = answer(Bytes(import.begin(), import.begin() + 20), &phone);
    EXPECT_EQ(a.outcome, UsbipOpOutcome::NEED_MORE);
    EXPECT_EQ(a.need, 40u);
    EXPECT_TRUE(a.reply.empty());
}

TEST(UsbipOps, DescriptorsThatDoNotHoldTogetherAreRefused) {
    uint8_t dev[DEVICE_DESCRIPTOR_SIZE];
    copy_device_descriptor(dev);
    Bytes cfg(CONFIG_DESCRIPTOR, CONFIG_DESCRIPTOR + sizeof(CONFIG_DESCRIPTOR));
    UsbipDeviceInfo info;
    const char* why = nullptr;
    EXPECT_EQ(usbip_describe_device(dev, sizeof(dev), cfg.data(), cfg.size() - 1, &info, &why), -1);
    Bytes zero_length = cfg;
    zero_length[9] = 0;  // the first interface descriptor
    EXPECT_EQ(usbip_describe_device(dev, sizeof(dev), zero_length.data(), zero_length.size(), &info,
                                    &why),
              -1);
    Bytes five_interfaces = cfg;
    five_interfaces[4] = 5;
    EXPECT_EQ(usbip_describe_device(dev, sizeof(dev), five_interfaces.data(),
                                    five_interfaces.size(), &info, &why),
              -1);
    EXPECT_EQ(usbip_describe_device(dev, 17, cfg.data(), cfg.size(), &info, &why), -1);
}

TEST(UsbipOps, AllowListAndListenAddress) {
    UsbipAllowList allow;
    EXPECT_TRUE(allow.allows(0x7F000001));
    EXPECT_FALSE(allow.allows(0x0A000001));
    ASSERT_TRUE(allow.parse("10.0.0.0/8,192.168.1.7"));
    EXPECT_TRUE(allow.allows(0x0A010203));
    EXPECT_TRUE(allow.allows(0xC0A80107));
    EXPECT_FALSE(allow.allows(0xC0A80108));
    EXPECT_FALSE(allow.allows(0x7F000001));
    for (const char* bad : {"10.0.0.0/33", "10.0.0.0/", "host", "1.2.3.4,", ",1.2.3.4", "1.2.3"})
        EXPECT_FALSE(allow.parse(bad)) << bad;
    EXPECT_TRUE(allow.allows(0x0A010203));  // a bad list changes nothing

    uint32_t address = 0;
    uint16_t port = 0;
    ASSERT_TRUE(usbip_parse_listen("0.0.0.0", &address, &port));
    EXPECT_EQ(port, 3240);
    ASSERT_TRUE(usbip_parse_listen("192.168.1.2:4000", &address, &port));
    EXPECT_EQ(address, 0xC0A80102u);
    EXPECT_EQ(port, 4000);
    for (const char* bad : {"", "localhost:3240", "1.2.3.4:", "1.2.3.4:0", "1.2.3.4:65536"})
        EXPECT_FALSE(usbip_parse_listen(bad, &address, &port)) << bad;
}

class Server : public ::testing::Test {
  protected:
    void SetUp() override {
        phone_info();
        ASSERT_EQ(server_.start(0x7F000001, 0, UsbipAllowList{}), 0);
        server_.set_unlink_handler([this](uint32_t seqnum) { unlinked_.push_back(seqnum); });
    }
    void TearDown() override {
        server_.unplug(UNPLUG, sizeof(UNPLUG));
        server_.close_device();
        server_.stop();
    }
    void plug_in() {
        char path[VBUS_PATH_SIZE];
        ASSERT_EQ(server_.find_vbus_device_path(path, sizeof(path)), 0);
        EXPECT_EQ(std::string(path), "usbip:127.0.0.1:" + std::to_string(server_.port()));
        ASSERT_EQ(server_.open_device(path), 0);
        ASSERT_EQ(get_free_port(server_), 1);
        ASSERT_EQ(plugin_device(server_, 1), 0);
        EXPECT_EQ(get_free_port(server_), -1);
    }
    int connect_client() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(server_.port());
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
        return fd;
    }
    static Bytes read_n(int fd, size_t n) {
        Bytes b;
        while (b.size() < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) break;
            uint8_t chunk[1024];
            const ssize_t got = recv(fd, chunk, std::min(sizeof(chunk), n - b.size()), 0);
            if (got <= 0) break;
            b.insert(b.end(), chunk, chunk + got);
        }
        return b;
    }
    static bool sees_eof(int fd) {
        pollfd p{fd, POLLIN, 0};
        uint8_t c;
        return poll(&p, 1, 5000) == 1 && recv(fd, &c, 1, 0) == 0;
    }
    static void send_all(int fd, const Bytes& b) {
        ASSERT_EQ(send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
    }
    // A client that has imported 1-1: its socket, now carrying URBs.
    int import_client() {
        const int fd = connect_client();
        send_all(fd, op_request(0x8003, "1-1"));
        const Bytes reply = read_n(fd, 8 + 0x138);
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 8), op_header(0x0003, 0));
        return fd;
    }
    // The next request the device logic gets, skipping empty reads while
    // no client is there yet.
    int next_request(Bytes* buf) {
        buf->assign(USBIP_MAX_PDU, 0);
        for (int i = 0; i < 50; ++i)
            if (const int n = server_.read_request(buf->data(), buf->size(), 100); n != 0) return n;
        return 0;
    }
    static constexpr uint8_t UNPLUG[UNPLUG_RECORD_SIZE] = {1, 0, 0, 0};
    UsbipServerBus server_;
    std::vector<uint32_t> unlinked_;
};

TEST_F(Server, ImportedClientCarriesTheUrbStreamAndLeavingIsNoLostLink) {
    plug_in();
    int client = import_client();
    send_all(client, control(7, 0x80, 6, 0x0100, 0, 18).wire());
    Bytes buf;
    ASSERT_EQ(next_request(&buf), 48);
    EXPECT_EQ(get_be32(&buf[USBIP_SEQNUM]), 7u);
    Bytes reply(48 + 2, 0);
    put_le32(&reply[USBIP_COMMAND], USBIP_RET_SUBMIT);
    put_le32(&reply[USBIP_SEQNUM], 7);
    put_le32(&reply[USBIP_LENGTH], 2);
    reply[48] = 18;
    reply[49] = 1;
    ASSERT_EQ(server_.write_reply(reply.data(), reply.size()), 0);
    const Bytes wire = read_n(client, 50);
    ASSERT_EQ(wire.size(), 50u);
    EXPECT_EQ(get_be32(&wire[USBIP_COMMAND]), USBIP_RET_SUBMIT);
    EXPECT_EQ(wire[48], 18);

    // A second client cannot take the device while the first holds it.
    const int other = connect_client();
    send_all(other, op_request(0x8003, "1-1"));
    EXPECT_EQ(read_n(other, 9), op_header(0x0003, 1));
    close(other);

    // The first client leaves with a request pending: the device logic
    // drops it, and the device stays exported with no end of the stream.
    send_all(client, interrupt_in(8).wire());
    ASSERT_GT(next_request(&buf), 0);
    LogCapture log;
    close(client);
    buf.assign(USBIP_MAX_PDU, 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(server_.read_request(buf.data(), buf.size(), 20), 0);
    EXPECT_EQ(log.text(), "USBIP: the client left; 1-1 stays exported\n");  // not a failure
    EXPECT_EQ(unlinked_, std::vector<uint32_t>{8});
    EXPECT_EQ(get_free_port(server_), -1);

    client = import_client();
    send_all(client, control(1, 0x80, 6, 0x0100, 0, 64).wire());
    ASSERT_EQ(next_request(&buf), 48);
    EXPECT_EQ(get_be32(&buf[USBIP_SEQNUM]), 1u);

    // Unplugging closes the client's connection and withdraws the device.
    server_.unplug(UNPLUG, sizeof(UNPLUG));
    EXPECT_TRUE(sees_eof(client));
    EXPECT_EQ(server_.read_request(buf.data(), buf.size(), 20), -1);
    close(client);
    server_.close_device();
    const int lister = connect_client();
    send_all(lister, op_request(0x8005));
    EXPECT_EQ(read_n(lister, 13), (Bytes{0x01, 0x11, 0x00, 0x05, 0, 0, 0, 0, 0, 0, 0, 0}));
    close(lister);
}

TEST_F(Server, MalformedOperationIsRefusedLoggedAndClosed) {
    plug_in();
    LogCapture log;
    const int fd = connect_client();
    send_all(fd, op_request(0x1234));
    EXPECT_EQ(read_n(fd, 8), op_header(0x1234, 1));
    EXPECT_TRUE(sees_eof(fd));
    close(fd);
    EXPECT_NE(log.text().find("Quor ERR: USB/IP request from 127.0.0.1 refused: unknown operation"),
              std::string::npos);
    // The device is still there for a well-formed import.
    close(import_client());
}

TEST_F(Server, OutOfDescriptorsTheListenerWaitsAndServesTheConnectionLater) {
    LogCapture log;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Every descriptor below the lowest free one is in use: the server's
    // accept finds none.
    const int lowest_free = dup(0);
    close(lowest_free);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(lowest_free);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(server_.port());
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    const bool sent = connected && send(fd, op_request(0x8005).data(), 8, MSG_NOSIGNAL) == 8;
    pollfd p{fd, POLLIN, 0};
    const int early = poll(&p, 1, 300);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(sent);
    EXPECT_EQ(early, 0);
    EXPECT_EQ(read_n(fd, 13), (Bytes{0x01, 0x11, 0x00, 0x05, 0, 0, 0, 0, 0, 0, 0, 0}));
    close(fd);
    const std::string text = log.text();
    const std::string line = "Quor ERR: USB/IP server cannot accept: Too many open files\n";
    EXPECT_EQ(text.rfind(line, 0), 0u) << text;
    EXPECT_LE(text.size(), 3 * line.size()) << text;  // one a second, not a spin
}

TEST_F(Server, ImportFromAnAddressNotAllowedIsRefused) {
    UsbipServerBus remote_only;
    UsbipAllowList allow;
    ASSERT_TRUE(allow.parse("10.0.0.0/8"));
    ASSERT_EQ(remote_only.start(0x7F000001, 0, allow), 0);
    uint8_t dev[DEVICE_DESCRIPTOR_SIZE];
    copy_device_descriptor(dev);
    remote_only.describe_device(dev, sizeof(dev), CONFIG_DESCRIPTOR, sizeof(CONFIG_DESCRIPTOR));
    const uint8_t record[PLUGIN_RECORD_SIZE] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1};
    ASSERT_EQ(remote_only.plugin(record, sizeof(record)), 0);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(remote_only.port());
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    send_all(fd, op_request(0x8003, "1-1"));
    EXPECT_EQ(read_n(fd, 9), op_header(0x0003, 1));
    close(fd);
    remote_only.unplug(UNPLUG, sizeof(UNPLUG));
    remote_only.close_device();
}

}  // namespace
}  // namespace quor::test
