#include "host_connection.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/net.h"

namespace {

constexpr size_t READ_CHUNK = 64 * 1024;

}  // namespace

HostConnection::HostConnection(int fd, HostOutput& out, bool trace, std::function<void()> on_closed)
    : m_fd(fd), m_out(out), m_trace(trace), m_on_closed(std::move(on_closed)) {}

HostConnection::~HostConnection() {
    drop();
    if (m_reader.joinable()) m_reader.join();
    quor::close_socket(m_fd);
}

void HostConnection::start() {
    m_reader = std::thread([this] { reader_loop(); });
}

void HostConnection::drop() {
    m_dropped = true;
    quor::wake_socket(m_fd);
}

int HostConnection::send_pdu(const std::vector<uint8_t>& pdu) {
    std::lock_guard<std::mutex> lock(m_send_mutex);
    if (m_trace) m_out.line("tx " + hex_string(pdu.data(), pdu.size()));
    size_t done = 0;
    while (done < pdu.size()) {
        ssize_t n = send(m_fd, pdu.data() + done, pdu.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int HostConnection::submit(const UrbRequest& req, UrbCallback done, uint32_t* seqnum) {
    bool in =
        req.type == UrbType::CONTROL ? (req.setup[0] & 0x80) != 0 : (req.endpoint & 0x80) != 0;
    bool iso = req.type == UrbType::ISO;
    if (!in && req.out_data.size() != req.buffer_length) return -1;
    if (iso && (req.iso.empty() || req.iso.size() > USBIP_MAX_ISO_PACKETS)) return -1;

    UrbShape shape;
    shape.in = in;
    shape.iso = iso;
    shape.buffer_length = req.buffer_length;
    shape.packets = iso ? static_cast<int32_t>(req.iso.size()) : 0;

    CmdSubmit cmd;
    cmd.devid = HOST_DEVID;
    cmd.direction = in ? USBIP_DIR_IN : USBIP_DIR_OUT;
    cmd.ep = req.endpoint & 0x0F;
    cmd.transfer_flags = in ? URB_DIR_IN : 0;
    cmd.transfer_buffer_length = req.buffer_length;
    cmd.number_of_packets = shape.packets;
    cmd.interval = req.interval;
    if (req.type == UrbType::CONTROL) memcpy(cmd.setup, req.setup, sizeof(cmd.setup));

    cmd.seqnum = m_tracker.add(shape, std::move(done));
    *seqnum = cmd.seqnum;
    std::vector<uint8_t> pdu;
    if (encode_cmd_submit(cmd, req.out_data.data(), req.iso, &pdu) != 0) return -1;
    return send_pdu(pdu);
}

UrbTracker::WaitResult HostConnection::wait(uint32_t seqnum, int timeout_ms, UrbResult* result) {
    return m_tracker.wait(seqnum, timeout_ms, result);
}

HostConnection::UnlinkResult HostConnection::unlink(uint32_t seqnum, int timeout_ms,
                                                    int32_t* status) {
    uint32_t unlink_seqnum = 0;
    int r = m_tracker.begin_unlink(seqnum, &unlink_seqnum);
    if (r == 1) return UNLINK_NOT_NEEDED;
    if (r != 0) return UNLINK_FAILED;
    std::vector<uint8_t> pdu;
    encode_cmd_unlink(unlink_seqnum, HOST_DEVID, seqnum, &pdu);
    if (send_pdu(pdu) != 0) return UNLINK_FAILED;
    switch (m_tracker.wait_unlink(unlink_seqnum, timeout_ms, status)) {
        case UrbTracker::DONE:
            return UNLINK_ANSWERED;
        case UrbTracker::TIMEOUT:
            return UNLINK_TIMEOUT;
        default:
            return UNLINK_FAILED;
    }
}

void HostConnection::dispatch(RetPdu& pdu) {
    if (m_trace) m_out.line("rx " + hex_string(pdu.raw.data(), pdu.raw.size()));
    std::vector<std::string> problems;
    UrbCompletion done;
    if (pdu.header.command == USBIP_RET_SUBMIT) {
        m_tracker.on_ret_submit(pdu, &problems, &done);
    } else {
        m_tracker.on_ret_unlink(pdu.header, &problems, &done);
    }
    for (const std::string& p : problems) m_out.error(p);
    if (done.callback) done.callback(done.seqnum, done.result);
}

void HostConnection::reader_loop() {
    RetFramer framer(m_trace);
    std::vector<uint8_t> buf(READ_CHUNK);
    RetPdu pdu;
    std::string error;
    for (;;) {
        ssize_t n = recv(m_fd, buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        framer.append(buf.data(), static_cast<size_t>(n));
        RetFramer::Result r;
        while ((r = framer.next(m_tracker, &pdu, &error)) == RetFramer::PDU) dispatch(pdu);
        if (r == RetFramer::FATAL) {
            m_out.error(error + "; dropping the device");
            m_dropped = true;
            break;
        }
    }
    if (framer.buffered() > 0 && error.empty() && !m_dropped) {
        m_out.error(
            strfmt("connection ended inside a reply (%zu bytes left over)", framer.buffered()));
    }
    quor::wake_socket(m_fd);
    m_alive = false;
    m_tracker.close();
    if (m_on_closed) m_on_closed();
}
