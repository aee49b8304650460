// quor-host-sim's session end to end: a device plugs into its listener,
// is enumerated and driven by commands, misbehaves in the ways a host must
// catch, unplugs and plugs in again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio_desc.h"
#include "config_desc.h"
#include "control_transfer.h"
#include "enumerator.h"
#include "hid_report.h"
#include "host_commands.h"
#include "host_connection.h"
#include "host_options.h"
#include "host_output.h"
#include "host_session.h"
#include "host_sim_test_device.h"
#include "host_text.h"
#include "temp_dir.h"
#include "urb_tracker.h"
#include "usb_descriptors.h"
#include "usbip_wire.h"
#include "vbus_listener.h"

namespace {

using test_device::Behaviour;
using test_device::FakeDevice;
using test_device::SeenRequest;

constexpr int WAIT_MS = 10000;

// A HostSession on its own thread, listening on a socket in a private
// directory, with its output lines collected and commands fed through a pipe.
class SessionRunner {
  public:
    explicit SessionRunner(HostOptions options = HostOptions()) {
        path = dir.path + "host.sock";
        options.listen = "unix:" + path;
        EXPECT_EQ(0, pipe(m_commands));
        m_out = std::make_unique<HostOutput>([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(line);
            m_cv.notify_all();
        });
        m_session = std::make_unique<HostSession>(options, *m_out, m_commands[0]);
        m_thread = std::thread([this] {
            int code = m_session->run();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_code = code;
            m_cv.notify_all();
        });
        EXPECT_TRUE(wait_for("listening unix:" + path));
    }

    ~SessionRunner() {
        quit();
        for (int fd : m_commands) close(fd);
    }

    // Waits until a line starting with PREFIX was printed at or after line
    // FROM; its index, or -1.
    int find(const std::string& prefix, size_t from = 0, int timeout_ms = WAIT_MS) {
        std::unique_lock<std::mutex> lock(m_mutex);
        int found = -1;
        m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
            for (size_t i = from; i < m_lines.size(); ++i) {
                if (m_lines[i].rfind(prefix, 0) == 0) {
                    found = static_cast<int>(i);
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    bool wait_for(const std::string& prefix, size_t from = 0) { return find(prefix, from) >= 0; }

    void command(const std::string& line) {
        std::string text = line + "\n";
        ASSERT_EQ(static_cast<ssize_t>(text.size()),
                  write(m_commands[1], text.data(), text.size()));
    }

    // Waits for the session to end by itself; its exit code or -1.
    int wait_exit() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::milliseconds(WAIT_MS), [this] { return m_code >= 0; });
        return m_code;
    }

    int quit() {
        if (m_thread.joinable()) {
            m_session->request_quit();
            m_thread.join();
        }
        return m_code;
    }

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    std::string transcript() {
        std::string s;
        for (const std::string& l : lines()) s += l + "\n";
        return s;
    }
    int failures() const { return m_out->failures(); }

    TempDir dir;
    std::string path;

  private:
    int m_commands[2] = {-1, -1};
    std::unique_ptr<HostOutput> m_out;
    std::unique_ptr<HostSession> m_session;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_lines;
    int m_code = -1;
};

HostOptions short_timeout() {
    HostOptions o;
    o.timeout_ms = 300;
    return o;
}

std::string setup_hex(const SeenRequest& r) {
    return hex_string(r.setup, 8);
}

// The lines from FIRST up to (not including) the next line starting with END.
std::vector<std::string> section(const std::vector<std::string>& lines, const std::string& first,
                                 const std::string& end) {
    std::vector<std::string> out;
    bool in = false;
    for (const std::string& l : lines) {
        if (l.rfind(first, 0) == 0) in = true;
        if (in && l.rfind(end, 0) == 0) break;
        if (in) out.push_back(l);
    }
    return out;
}

}  // namespace

TEST(HostSimEnumeration, EnumeratesThePhoneLikeALinuxHost) {
    SessionRunner host;
    FakeDevice device(host.path, Behaviour());
    ASSERT_TRUE(host.wait_for("enumeration done")) << host.transcript();
    std::vector<std::string> lines = host.lines();

    EXPECT_EQ(std::vector<std::string>({
                  "connected",
                  "device vid=2f1c pid=0455 bcd=0214 class=00 maxpacket0=64 configs=1",
                  "languages 0409",
                  "string 4 \"Kestrow Q55 Phone\"",
                  "string 5 \"Kestrow Q55 Audio Capture\"",
                  "string 6 \"Kestrow Q55 Audio Playback\"",
                  "string 7 \"HID Interface\"",
              }),
              section(lines, "connected", "config "));
    std::vector<std::string> tree = section(lines, "config ", "qualifier");
    ASSERT_EQ(24u, tree.size()) << host.transcript();
    EXPECT_EQ("config 1 interfaces=4 power=500mA total=217", tree.front());
    EXPECT_EQ("endpoint 0x83 interrupt in maxpacket=64 interval=10", tree.back());
    EXPECT_EQ(std::vector<std::string>({
                  "qualifier empty",
                  "set-configuration 1 status=0",
                  "set-interface 1 1 status=0",
                  "set-interface 1 0 status=0",
                  "set-interface 2 1 status=0",
                  "set-interface 2 0 status=0",
                  "set-idle 3 status=0",
                  "hid report-descriptor 457 bytes reports: in 1(2) in 5(1) out 6(1) out 3(32) "
                  "in 4(32) feature 17(4) feature 18(4) out 19(1) out 20(2) out 21(17) out 22(2)",
                  "unlink seq=18 status=-104",
                  "enumeration done",
              }),
              section(lines, "qualifier", "none"));
    EXPECT_EQ(0, host.failures()) << host.transcript();

    // What went over the wire, request by request.
    std::vector<SeenRequest> seen = device.seen();
    const std::vector<std::string> setups = {
        "8006000100004000", "8006000100001200", "8006000200000900", "800600020000d900",
        "800600030000ff00", "800604030904ff00", "800605030904ff00", "800606030904ff00",
        "800607030904ff00", "8006000600000a00", "0009010000000000", "010b010001000000",
        "010b000001000000", "010b010002000000", "010b000002000000", "210a000003000000",
        "810600220300c901"};
    ASSERT_EQ(19u, seen.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(i + 1, seen[i].seqnum);
        EXPECT_EQ(65538u, seen[i].devid);
    }
    for (size_t i = 0; i < 17; ++i) {
        const SeenRequest& r = seen[i];
        EXPECT_EQ(setups[i], setup_hex(r)) << i;
        bool in = (r.setup[0] & 0x80) != 0;
        EXPECT_EQ(1u, r.command);
        EXPECT_EQ(0u, r.ep);
        EXPECT_EQ(in ? 1u : 0u, r.direction) << i;
        EXPECT_EQ(in ? 0x200u : 0u, r.flags) << i;
        EXPECT_EQ(get_le16(r.setup + 6), r.length) << i;
    }
    EXPECT_EQ(457u, seen[16].length);
    const SeenRequest& interrupt = seen[17];
    EXPECT_EQ(3u, interrupt.ep);
    EXPECT_EQ(1u, interrupt.direction);
    EXPECT_EQ(64u, interrupt.length);
    EXPECT_EQ(8u, interrupt.interval);  // bInterval 10 rounded down to a power of two
    const SeenRequest& unlink = seen[18];
    EXPECT_EQ(2u, unlink.command);
    EXPECT_EQ(18u, unlink.victim);
    EXPECT_EQ(0u, unlink.direction);
    EXPECT_EQ(0u, unlink.ep);

    EXPECT_EQ(0, host.quit());
    EXPECT_TRUE(host.wait_for("disconnected"));
}

TEST(HostSimEnumeration, UnansweredRequestIsUnlinkedAfterTheTimeOutAndEnumerationGoesOn) {
    SessionRunner host(short_timeout());
    Behaviour b;
    b.answer_qualifier = false;
    FakeDevice device(host.path, b);
    ASSERT_TRUE(host.wait_for("enumeration done")) << host.transcript();
    std::vector<std::string> lines = host.lines();
    EXPECT_EQ(std::vector<std::string>({"timeout seq=10 setup=8006000600000a00 after=300ms",
                                        "unlink seq=10 status=-104", "qualifier timeout",
                                        "set-configuration 1 status=0"}),
              section(lines, "timeout", "set-interface"));
    EXPECT_EQ(0, host.failures()) << host.transcript();
}

TEST(HostSimEnumeration, UnlinkThatIsNeverAnsweredDropsTheDevice) {
    SessionRunner host(short_timeout());
    Behaviour b;
    b.answer_qualifier = false;
    b.answer_unlink = false;
    FakeDevice device(host.path, b);
    ASSERT_TRUE(host.wait_for("disconnected")) << host.transcript();
    EXPECT_GE(host.find("error: no RET_UNLINK for seqnum 10 within 300 ms; dropping the device"), 0)
        << host.transcript();
    EXPECT_GE(host.find("enumeration stopped: device disconnected"), 0);
    EXPECT_EQ(1, host.quit());
}

TEST(HostSimEnumeration, ProtocolFaultsAreReportedAndDropTheDevice) {
    struct Case {
        const char* name;
        Behaviour behaviour;
        const char* error;
    };
    std::vector<Case> cases(4);
    cases[0] = {"answered twice", Behaviour(),
                "error: RET_SUBMIT for seqnum 1, which was answered already; dropping the device"};
    cases[0].behaviour.reply_twice_to_first = true;
    cases[1] = {"longer than asked", Behaviour(),
                "error: RET_SUBMIT seqnum 3 carries 217 bytes for a 9-byte buffer"};
    cases[1].behaviour.ignore_wlength = true;
    cases[2] = {"reply after unlink", Behaviour(),
                "error: RET_SUBMIT for seqnum 18, which was unlinked; dropping the device"};
    cases[2].behaviour.reply_after_unlink = true;
    cases[3] = {"never sent", Behaviour(),
                "error: RET_SUBMIT for seqnum 999, which was never sent; dropping the device"};
    cases[3].behaviour.stray_reply = true;
    for (const Case& c : cases) {
        SessionRunner host;
        FakeDevice device(host.path, c.behaviour);
        ASSERT_TRUE(host.wait_for("disconnected")) << c.name << "\n" << host.transcript();
        EXPECT_GE(host.find(c.error), 0) << c.name << "\n" << host.transcript();
        for (int i = 0; i < 100 && !device.host_closed(); ++i) usleep(10000);
        EXPECT_TRUE(device.host_closed()) << c.name;
        EXPECT_EQ(1, host.quit()) << c.name;
    }
}

TEST(HostSimEnumeration, InterruptAnsweredBeforeTheUnlinkNeedsNoUnlink) {
    SessionRunner host;
    Behaviour b;
    b.answer_interrupt = true;
    FakeDevice device(host.path, b);
    ASSERT_TRUE(host.wait_for("enumeration done")) << host.transcript();
    EXPECT_GE(host.find("interrupt seq=18 ep=0x83 status=0 length=3 data=010000"), 0);
    EXPECT_GE(host.find("unlink seq=18 answered-before-unlink"), 0);
    EXPECT_EQ(18u, device.seen().size());  // no CMD_UNLINK went out
    EXPECT_EQ(0, host.quit());
}

TEST(HostSimEnumeration, ReportDescriptorLengthMustMatchTheHidDescriptor) {
    SessionRunner host;
    Behaviour b;
    b.config[208] = 0xCA;  // wDescriptorLength 458
    FakeDevice device(host.path, b);
    ASSERT_TRUE(host.wait_for("enumeration done")) << host.transcript();
    EXPECT_GE(host.find("check-failed: interface 3: report descriptor of 457 bytes, the HID "
                        "descriptor says 458"),
              0)
        << host.transcript();
    EXPECT_EQ(1, host.quit());
}

TEST(HostSimCommands, TransfersDetachReplugAndWaitingForTheDevice) {
    SessionRunner host;
    auto device = std::make_unique<FakeDevice>(host.path, Behaviour());
    ASSERT_TRUE(host.wait_for("enumeration done"));
    host.command("get-descriptor 3 1 255");
    host.command("control 8006000100001200");
    host.command("control 2109000203000300 11 5e 04");
    host.command("set-interface 1 1");
    host.command("control 2109000203000300 11");
    host.command("echo marker one");
    ASSERT_TRUE(host.wait_for("echo marker one")) << host.transcript();
    // The malformed command is refused when it is read, ahead of the others' results.
    std::vector<std::string> results;
    for (const std::string& l : section(host.lines(), "descriptor", "echo")) {
        if (l.rfind("error: ", 0) != 0) results.push_back(l);
    }
    ASSERT_EQ(4u, results.size()) << host.transcript();
    EXPECT_EQ("descriptor type=03 index=1 status=0 length=36 data=" +
                  hex_string(test_device::string_by_index(1).data(), 36),
              results[0]);
    EXPECT_EQ("control status=0 length=18 data=" +
                  hex_string(test_device::device_descriptor().data(), 18),
              results[1]);
    EXPECT_EQ("control status=0 length=3", results[2]);
    EXPECT_EQ("set-interface 1 1 status=0", results[3]);
    EXPECT_GE(host.find("error: command: control: OUT request with wLength 3 needs 3 data bytes, "
                        "got 1"),
              0);
    std::vector<SeenRequest> seen = device->seen();
    ASSERT_GE(seen.size(), 22u);
    EXPECT_EQ(std::vector<uint8_t>({0x11, 0x5E, 0x04}), seen[21].out_data);
    EXPECT_EQ(0x0409, get_le16(seen[19].setup + 4));  // string in the device's language

    // A detach unplugs; a command for the device then waits for the next one.
    size_t mark = host.lines().size();
    host.command("detach");
    ASSERT_TRUE(host.wait_for("disconnected", mark));
    for (int i = 0; i < 100 && !device->host_closed(); ++i) usleep(10000);
    EXPECT_TRUE(device->host_closed());
    host.command("get-descriptor 1 0 18");
    host.command("echo after");
    device.reset();
    EXPECT_LT(host.find("descriptor type=01", mark, 200), 0);

    device = std::make_unique<FakeDevice>(host.path, Behaviour());
    int connected = host.find("connected", mark + 1);
    ASSERT_GE(connected, 0) << host.transcript();
    int done = host.find("enumeration done", static_cast<size_t>(connected));
    int result = host.find("descriptor type=01 index=0 status=0 length=18", mark);
    ASSERT_GE(result, 0) << host.transcript();
    EXPECT_GT(result, done);
    EXPECT_GT(host.find("echo after", mark), result);

    host.command("frobnicate 1");
    EXPECT_TRUE(host.wait_for("error: command: unknown command 'frobnicate'"));
    EXPECT_EQ(1, host.quit());
}

TEST(HostSimCommands, UnlinkBurstsRawBytesAndTheirMistakes) {
    SessionRunner host;
    FakeDevice device(host.path, Behaviour());
    ASSERT_TRUE(host.wait_for("enumeration done")) << host.transcript();
    const size_t mark = host.lines().size();
    // The device answers control requests at once and holds interrupt ones.
    host.command("unlink control 3");
    host.command("unlink interrupt 4");
    host.command("send-raw 00000005 0000ABCD");
    ASSERT_TRUE(host.wait_for("sent raw 8 bytes", mark)) << host.transcript();
    EXPECT_GE(host.find("unlink control submitted=3 reset=0 answered=3", mark), 0)
        << host.transcript();
    EXPECT_GE(host.find("unlink interrupt submitted=4 reset=4 answered=0", mark), 0)
        << host.transcript();
    std::vector<SeenRequest> seen = device.seen();
    size_t unlinks = 0;
    for (const SeenRequest& r : seen) unlinks += r.command == 2;
    EXPECT_GE(unlinks, 4u);  // at least one per held interrupt request
    EXPECT_EQ(0, host.failures()) << host.transcript();

    size_t after = host.lines().size();
    for (const char* bad : {"unlink", "unlink bulk 3", "unlink control 0", "unlink iso-in 33",
                            "unlink iso-out 2 3", "send-raw", "send-raw 0g", "send-raw 123"}) {
        host.command(bad);
        const int refused = host.find("error: command: usage: ", after);
        ASSERT_GE(refused, 0) << bad << "\n" << host.transcript();
        after = size_t(refused) + 1;
    }
    EXPECT_EQ(8, host.failures()) << host.transcript();

    StreamCommand stream;
    std::string error;
    EXPECT_EQ(0, parse_stream_command({"stream", "5", "detach-after", "1500"}, &stream, &error));
    EXPECT_EQ(1500u, stream.detach_after_ms);
    EXPECT_EQ(0, parse_stream_command({"stream", "5"}, &stream, &error));
    EXPECT_EQ(0u, stream.detach_after_ms);
    EXPECT_EQ(-1, parse_stream_command({"stream", "5", "detach-after", "0"}, &stream, &error));
    EXPECT_EQ(-1, parse_stream_command({"stream", "5", "detach-after"}, &stream, &error));
}

TEST(HostSimCommands, ScriptRunsFirstAndExitAfterEnumerationEndsTheSession) {
    TempDir scratch;
    std::string script = scratch.path + "script.txt";
    write_text(script, "# a comment\necho from script\n\nset-interface 2 1\n");
    HostOptions options;
    options.script = script;
    options.exit_after_enumeration = true;
    options.linger_ms = 50;
    SessionRunner host(options);
    EXPECT_TRUE(host.wait_for("echo from script"));
    FakeDevice device(host.path, Behaviour());
    EXPECT_EQ(0, host.wait_exit()) << host.transcript();
    std::vector<std::string> lines = host.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ("enumeration done", lines[lines.size() - 2]);
    EXPECT_EQ("disconnected", lines.back());
    EXPECT_LT(host.find("set-interface 2 1 status=0", 0, 0), host.find("set-idle"));
}

TEST(HostSimOptions, CommandLine) {
    HostOptions o;
    char prog[] = "quor-host-sim", timeout[] = "--timeout", secs[] = "0.25", trace[] = "--trace";
    char* argv[] = {prog, timeout, secs, trace};
    ASSERT_EQ(0, parse_host_options(4, argv, "unix:/tmp/x.sock", &o));
    EXPECT_EQ("unix:/tmp/x.sock", o.listen);
    EXPECT_EQ(250, o.timeout_ms);
    EXPECT_TRUE(o.trace);

    HostOptions none;
    char* bare[] = {prog};
    EXPECT_EQ(-1, parse_host_options(1, bare, nullptr, &none));
    char zero[] = "0";
    char* bad[] = {prog, timeout, zero};
    EXPECT_EQ(-1, parse_host_options(3, bad, "unix:/tmp/x.sock", &none));
}

TEST(HostSimListener, AddressesAreLoopbackOrUnixOnly) {
    VbusAddress a;
    std::string error;
    EXPECT_EQ(0, parse_vbus_address("tcp:127.0.0.1:0", &a, &error));
    EXPECT_EQ(VbusAddress::TCP, a.kind);
    EXPECT_EQ(-1, parse_vbus_address("tcp:10.0.0.1:3241", &a, &error));
    EXPECT_NE(std::string::npos, error.find("only loopback"));
    EXPECT_EQ(-1, parse_vbus_address("tcp:127.0.0.1", &a, &error));
    EXPECT_EQ(-1, parse_vbus_address("tcp:127.0.0.1:70000", &a, &error));
    EXPECT_EQ(-1, parse_vbus_address("udp:127.0.0.1:1", &a, &error));
    EXPECT_EQ(-1, parse_vbus_address("unix:", &a, &error));

    VbusListener l;
    ASSERT_EQ(0, l.open(a = VbusAddress{VbusAddress::TCP, "", 0x7F000001, 0}, &error)) << error;
    EXPECT_EQ(0u, l.name().rfind("tcp:127.0.0.1:", 0));
    EXPECT_NE("tcp:127.0.0.1:0", l.name());

    TempDir dir;
    write_text(dir.path + "file", "x");
    VbusListener refused;
    VbusAddress file{VbusAddress::UNIX, dir.path + "file", 0, 0};
    EXPECT_EQ(-1, refused.open(file, &error));
    EXPECT_EQ("x", read_text(dir.path + "file"));
}

TEST(HostSimListener, SocketFileIsTakenOverOnlyWhenNobodyServesIt) {
    TempDir dir;
    VbusAddress addr{VbusAddress::UNIX, dir.path + "bus.sock", 0, 0};
    std::string error;
    struct stat st {};
    {
        auto first = std::make_unique<VbusListener>();
        ASSERT_EQ(0, first->open(addr, &error)) << error;
        VbusListener second;
        EXPECT_EQ(-1, second.open(addr, &error));
        EXPECT_NE(std::string::npos, error.find("another host is listening")) << error;

        // The path is replaced by a socket file nobody serves, as a host that
        // was killed leaves behind; the next host takes it over.
        ASSERT_EQ(0, unlink(addr.path.c_str()));
        int stale = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        strncpy(sa.sun_path, addr.path.c_str(), sizeof(sa.sun_path) - 1);
        ASSERT_EQ(0, bind(stale, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
        close(stale);
        VbusListener third;
        ASSERT_EQ(0, third.open(addr, &error)) << error;

        // The first host ending must not remove the path the third one serves.
        first.reset();
        EXPECT_EQ(0, lstat(addr.path.c_str(), &st));
    }
    EXPECT_NE(0, lstat(addr.path.c_str(), &st));  // the third one removed its own
}
