#include "unlink_command.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "host_text.h"

const char* const UNLINK_COMMAND_HELP =
    "  unlink KIND COUNT                submit COUNT requests of KIND (control: GET_DESCRIPTOR\n"
    "                                   of the device; interrupt: endpoint 0x83; iso-in: one\n"
    "                                   packet of 0x82; iso-out: six packets of silence to\n"
    "                                   0x01) back to back, then unlink them all; prints\n"
    "                                   unlink KIND submitted=N reset=R answered=A\n";

namespace {

constexpr uint32_t MAX_COUNT = 32;
constexpr int UNLINK_TIMEOUT_MS = 1000;
constexpr int GIVE_BACK_TIMEOUT_MS = 2000;
constexpr uint32_t PACKET_BYTES = 96;
constexpr uint32_t OUT_PACKETS = 6;
constexpr uint32_t INTERRUPT_LENGTH = 64;

const char* const KIND_NAMES[] = {"control", "interrupt", "iso-in", "iso-out"};

UrbRequest request_of(UnlinkCommand::Kind kind) {
    UrbRequest req;
    switch (kind) {
        case UnlinkCommand::CONTROL: {
            req.type = UrbType::CONTROL;
            const uint8_t get_device_descriptor[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0};
            std::copy(std::begin(get_device_descriptor), std::end(get_device_descriptor),
                      req.setup);
            req.buffer_length = 18;
            break;
        }
        case UnlinkCommand::INTERRUPT:
            req.type = UrbType::INTERRUPT;
            req.endpoint = 0x83;
            req.buffer_length = INTERRUPT_LENGTH;
            req.interval = 10;
            break;
        case UnlinkCommand::ISO_IN:
            req.type = UrbType::ISO;
            req.endpoint = 0x82;
            req.interval = 1;
            req.buffer_length = PACKET_BYTES;
            req.iso.push_back({0, PACKET_BYTES, 0, 0});
            break;
        case UnlinkCommand::ISO_OUT:
            req.type = UrbType::ISO;
            req.endpoint = 0x01;
            req.interval = 1;
            req.buffer_length = OUT_PACKETS * PACKET_BYTES;
            req.out_data.assign(req.buffer_length, 0);
            for (uint32_t p = 0; p < OUT_PACKETS; ++p)
                req.iso.push_back({p * PACKET_BYTES, PACKET_BYTES, 0, 0});
            break;
    }
    return req;
}

// How each request of the burst ended, filled in by the reader thread.
class GiveBacks {
  public:
    UrbCallback callback() {
        return [this](uint32_t seqnum, const UrbResult& r) {
            std::lock_guard lock(m_mutex);
            ++m_ends[seqnum];
            if (r.unlinked) ++m_unlinked;
            m_cv.notify_all();
        };
    }
    // Waits until every one of SEQNUMS ended; false after the time-out.
    bool wait_all(const std::vector<uint32_t>& seqnums) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(GIVE_BACK_TIMEOUT_MS), [&] {
            for (uint32_t s : seqnums)
                if (m_ends.count(s) == 0) return false;
            return true;
        });
    }
    size_t unlinked() {
        std::lock_guard lock(m_mutex);
        return m_unlinked;
    }
    bool ended(uint32_t seqnum) {
        std::lock_guard lock(m_mutex);
        return m_ends.count(seqnum) != 0;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::map<uint32_t, int> m_ends;
    size_t m_unlinked = 0;
};

}  // namespace

int parse_unlink_command(const std::vector<std::string>& words, UnlinkCommand* cmd,
                         std::string* error) {
    *cmd = UnlinkCommand();
    bool ok = words.size() == 3;
    if (ok) {
        ok = false;
        for (size_t i = 0; i < std::size(KIND_NAMES); ++i) {
            if (words[1] == KIND_NAMES[i]) {
                cmd->kind = UnlinkCommand::Kind(i);
                ok = true;
            }
        }
    }
    ok = ok && parse_number(words[2], MAX_COUNT, &cmd->count) == 0 && cmd->count > 0;
    if (!ok) {
        *error = "usage: unlink control|interrupt|iso-in|iso-out COUNT (1 to 32)";
        return -1;
    }
    return 0;
}

int run_unlink_command(const UnlinkCommand& cmd, HostConnection& conn, HostOutput& out) {
    const char* name = KIND_NAMES[cmd.kind];
    const UrbRequest req = request_of(cmd.kind);
    GiveBacks give_backs;
    std::vector<uint32_t> seqnums;
    for (uint32_t i = 0; i < cmd.count; ++i) {
        uint32_t seqnum = 0;
        if (conn.submit(req, give_backs.callback(), &seqnum) != 0) {
            out.error(strfmt("unlink %s: submit failed", name));
            return -1;
        }
        seqnums.push_back(seqnum);
    }
    size_t reset = 0, answered = 0;
    for (uint32_t seqnum : seqnums) {
        int32_t status = 0;
        switch (conn.unlink(seqnum, UNLINK_TIMEOUT_MS, &status)) {
            case HostConnection::UNLINK_ANSWERED:
                // The tracker reports a status that does not fit the request.
                ++(status == STATUS_ECONNRESET ? reset : answered);
                break;
            case HostConnection::UNLINK_NOT_NEEDED:
                ++answered;
                break;
            case HostConnection::UNLINK_TIMEOUT:
                out.error(strfmt("unlink %s: no RET_UNLINK for seqnum %u; dropping the device",
                                 name, seqnum));
                conn.drop();
                return -1;
            default:
                return -1;
        }
    }
    if (!give_backs.wait_all(seqnums)) {
        for (uint32_t seqnum : seqnums)
            if (!give_backs.ended(seqnum))
                out.error(strfmt("unlink %s: seqnum %u never given back", name, seqnum));
    }
    if (give_backs.unlinked() != reset)
        out.error(strfmt("unlink %s: %zu given back by RET_UNLINK, %zu confirmed as reset", name,
                         give_backs.unlinked(), reset));
    out.linef("unlink %s submitted=%zu reset=%zu answered=%zu", name, seqnums.size(), reset,
              answered);
    return conn.alive() ? 0 : -1;
}
