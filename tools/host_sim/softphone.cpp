#include "softphone.h"

#include <algorithm>
#include <chrono>

#include "control_transfer.h"
#include "host_text.h"

const char* const SOFTPHONE_COMMAND_HELP =
    "Softphone commands (the HID conversation on interface 3):\n"
    "  lync-hid                         read the report descriptor and feature\n"
    "                                   reports 0x11 and 0x12; prints\n"
    "                                   lync report-descriptor|feature status=S length=N ...\n"
    "  lync-presence HHHH               report 0x16 with two status bytes in hex\n"
    "                                   (0000: signed out)\n"
    "  lync-credential TEXT             one sign-in text (rest of the line) in chunks\n"
    "                                   of report 3\n"
    "  lync-sign-in DOMAIN USER PASSWORD  the three texts in that order\n"
    "  lync-request CODE                report 3 with request code CODE (4 dismisses\n"
    "                                   the sign-in help, 7 signs out)\n"
    "  lync-poll on|off                 request code 1 every second while one\n"
    "                                   interrupt request stays submitted; prints\n"
    "                                   each input report: input signin-request,\n"
    "                                   input signin-failed, input signout-request,\n"
    "                                   input hungup-pre, input hungup, input ack,\n"
    "                                   input gruu length=N pieces=P text=TEXT\n"
    "  lync-dialog 1|0                  report 6: a call dialog starts or ends\n"
    "  lync-name TEXT                   display name (report 0x14 selector 6, then\n"
    "                                   UTF-16LE pieces of report 0x15)\n"
    "  lync-reference TEXT              reference text (selector 12)\n"
    "The call's streaming interfaces are selected with set-interface 1|2 ALT.\n";

namespace {

constexpr uint8_t HID_INTERFACE = 3;
constexpr uint8_t INTERRUPT_IN = 0x83;
constexpr uint32_t INTERRUPT_LENGTH = 64;
constexpr uint32_t INTERRUPT_INTERVAL = 10;
constexpr int POLL_PERIOD_MS = 1000;
constexpr int POLL_WAIT_SLICE_MS = 50;

constexpr uint8_t SET_REPORT = 0x09;
constexpr uint8_t GET_REPORT = 0x01;
constexpr uint8_t GET_DESCRIPTOR = 0x06;
constexpr uint16_t REPORT_TYPE_OUTPUT = 0x0200;
constexpr uint16_t REPORT_TYPE_FEATURE = 0x0300;
constexpr uint16_t REPORT_DESCRIPTOR = 0x2200;
constexpr uint16_t REPORT_DESCRIPTOR_LENGTH = 457;

constexpr uint8_t LYNC_REPORT = 0x03;
constexpr size_t LYNC_REPORT_SIZE = 33;
constexpr uint8_t CODE_POLL = 1;
constexpr uint8_t CODE_CREDENTIAL = 5;
constexpr uint8_t CHUNK_FIRST = 0x40;
constexpr uint8_t CHUNK_MIDDLE = 0x00;
constexpr uint8_t CHUNK_LAST = 0x80;
constexpr uint8_t CHUNK_ONLY = 0xC0;
constexpr size_t FIRST_CHUNK_TEXT = 29;
constexpr size_t NEXT_CHUNK_TEXT = 31;
constexpr size_t MAX_CREDENTIAL = 255;

constexpr uint8_t DIALOG_REPORT = 0x06;
constexpr uint8_t SELECT_REPORT = 0x14;
constexpr uint8_t PIECE_REPORT = 0x15;
constexpr size_t PIECE_REPORT_SIZE = 18;
constexpr size_t PIECE_TEXT = 16;
constexpr uint8_t LAST_PIECE = 0x80;
constexpr uint8_t SELECT_NAME = 6;
constexpr uint8_t SELECT_REFERENCE = 12;
constexpr uint8_t STATUS_REPORT = 0x16;

// Length of the UTF-8 sequence that lead byte B starts; 0 when B starts none.
size_t sequence_length(uint8_t b) {
    if (b < 0x80) return 1;
    if ((b & 0xE0) == 0xC0) return 2;
    if ((b & 0xF0) == 0xE0) return 3;
    if ((b & 0xF8) == 0xF0) return 4;
    return 0;
}

// UTF-8 as UTF-16LE; bytes that are not UTF-8 become U+FFFD.
std::vector<uint8_t> utf16le(const std::string& text) {
    std::vector<uint8_t> out;
    auto unit = [&](uint32_t u) {
        out.push_back(static_cast<uint8_t>(u));
        out.push_back(static_cast<uint8_t>(u >> 8));
    };
    for (size_t i = 0; i < text.size();) {
        const uint8_t lead = static_cast<uint8_t>(text[i]);
        const size_t n = sequence_length(lead);
        bool ok = n != 0 && i + n <= text.size();
        uint32_t cp = n == 1 ? lead : lead & (0x7Fu >> n);
        for (size_t k = 1; ok && k < n; ++k) {
            const uint8_t c = static_cast<uint8_t>(text[i + k]);
            ok = (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!ok) {
            unit(0xFFFD);
            ++i;
            continue;
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 + (cp >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

// The chunks of report 3 that carry one credential text.
std::vector<std::vector<uint8_t>> credential_chunks(const std::string& text) {
    std::vector<std::vector<uint8_t>> chunks;
    auto chunk = [&](uint8_t position) {
        std::vector<uint8_t> r(LYNC_REPORT_SIZE, 0);
        r[0] = LYNC_REPORT;
        r[1] = position | CODE_CREDENTIAL;
        return r;
    };
    const size_t len = text.size();
    std::vector<uint8_t> first = chunk(len <= FIRST_CHUNK_TEXT ? CHUNK_ONLY : CHUNK_FIRST);
    first[2] = static_cast<uint8_t>(len);
    std::copy_n(text.begin(), std::min(len, FIRST_CHUNK_TEXT), first.begin() + 4);
    chunks.push_back(first);
    if (len <= FIRST_CHUNK_TEXT) return chunks;
    size_t at = FIRST_CHUNK_TEXT;
    for (; len - at > NEXT_CHUNK_TEXT; at += NEXT_CHUNK_TEXT) {
        std::vector<uint8_t> middle = chunk(CHUNK_MIDDLE);
        std::copy_n(text.begin() + long(at), NEXT_CHUNK_TEXT, middle.begin() + 2);
        chunks.push_back(middle);
    }
    std::vector<uint8_t> last = chunk(CHUNK_LAST);
    std::copy(text.begin() + long(at), text.end(), last.begin() + 2);
    chunks.push_back(last);
    return chunks;
}

// The rest of LINE after its first word.
std::string rest_of_line(const std::string& line) {
    const size_t word = line.find_first_not_of(" \t");
    const size_t gap = line.find_first_of(" \t", word);
    if (gap == std::string::npos) return "";
    const size_t start = line.find_first_not_of(" \t", gap);
    if (start == std::string::npos) return "";
    size_t end = line.find_last_not_of(" \t");
    return line.substr(start, end - start + 1);
}

}  // namespace

int parse_softphone_command(const std::vector<std::string>& words, const std::string& line,
                            SoftphoneCommand* cmd, std::string* error) {
    const std::string& name = words[0];
    const size_t args = words.size() - 1;
    auto bad = [&](const char* usage) {
        *error = std::string("usage: ") + usage;
        return -1;
    };
    *cmd = SoftphoneCommand();
    if (name == "lync-hid") {
        if (args != 0) return bad("lync-hid");
        cmd->kind = SoftphoneCommand::HID;
        return 0;
    }
    if (name == "lync-presence") {
        std::vector<uint8_t> word;
        if (args != 1 || parse_hex(words[1], &word) != 0 || word.size() != 2)
            return bad("lync-presence HHHH");
        cmd->kind = SoftphoneCommand::PRESENCE;
        cmd->status[0] = word[0];
        cmd->status[1] = word[1];
        return 0;
    }
    if (name == "lync-credential" || name == "lync-name" || name == "lync-reference") {
        const std::string text = rest_of_line(line);
        if (name == "lync-credential" && (text.empty() || text.size() > MAX_CREDENTIAL))
            return bad("lync-credential TEXT (1 to 255 bytes)");
        cmd->kind = name == "lync-credential" ? SoftphoneCommand::CREDENTIAL
                    : name == "lync-name"     ? SoftphoneCommand::NAME
                                              : SoftphoneCommand::REFERENCE;
        cmd->texts.push_back(text);
        return 0;
    }
    if (name == "lync-sign-in") {
        if (args != 3) return bad("lync-sign-in DOMAIN USER PASSWORD");
        for (size_t i = 1; i <= 3; ++i) {
            if (words[i].size() > MAX_CREDENTIAL) return bad("lync-sign-in DOMAIN USER PASSWORD");
            cmd->texts.push_back(words[i]);
        }
        cmd->kind = SoftphoneCommand::SIGN_IN;
        return 0;
    }
    if (name == "lync-request") {
        uint32_t code = 0;
        if (args != 1 || parse_number(words[1], 15, &code) != 0)
            return bad("lync-request CODE (0 to 15)");
        cmd->kind = SoftphoneCommand::REQUEST;
        cmd->value = static_cast<uint8_t>(code);
        return 0;
    }
    if (name == "lync-poll" || name == "lync-dialog") {
        const bool poll = name == "lync-poll";
        const char* on = poll ? "on" : "1";
        const char* off = poll ? "off" : "0";
        if (args != 1 || (words[1] != on && words[1] != off))
            return bad(poll ? "lync-poll on|off" : "lync-dialog 1|0");
        cmd->kind = poll ? SoftphoneCommand::POLL : SoftphoneCommand::DIALOG;
        cmd->value = words[1] == on ? 1 : 0;
        return 0;
    }
    return 1;
}

int Softphone::set_report(const std::vector<uint8_t>& report, int32_t* status) {
    ControlSetup setup;
    setup.request_type = 0x21;
    setup.request = SET_REPORT;
    setup.value = static_cast<uint16_t>(REPORT_TYPE_OUTPUT | report[0]);
    setup.index = HID_INTERFACE;
    setup.length = static_cast<uint16_t>(report.size());
    ControlResult r;
    std::lock_guard<std::mutex> lock(m_control);
    if (control_transfer(m_conn, m_out, setup, report, m_timeout_ms, &r) != 0) return -1;
    *status = r.status;
    return 0;
}

int Softphone::get(uint8_t request_type, uint8_t request, uint16_t value, uint16_t length,
                   const char* what) {
    ControlSetup setup;
    setup.request_type = request_type;
    setup.request = request;
    setup.value = value;
    setup.index = HID_INTERFACE;
    setup.length = length;
    ControlResult r;
    {
        std::lock_guard<std::mutex> lock(m_control);
        if (control_transfer(m_conn, m_out, setup, {}, m_timeout_ms, &r) != 0) return -1;
    }
    m_out.linef("lync %s status=%d length=%zu data=%s", what, r.status, r.data.size(),
                hex_string(r.data.data(), r.data.size()).c_str());
    return 0;
}

int Softphone::send_credential(const std::string& text) {
    const auto chunks = credential_chunks(text);
    int32_t worst = 0;
    for (const auto& c : chunks) {
        int32_t status = 0;
        if (set_report(c, &status) != 0) return -1;
        if (status != 0) worst = status;
    }
    m_out.linef("lync credential length=%zu chunks=%zu status=%d", text.size(), chunks.size(),
                worst);
    return 0;
}

int Softphone::send_text(uint8_t selector, const std::string& utf8, const char* what) {
    int32_t worst = 0;
    int32_t status = 0;
    if (set_report({SELECT_REPORT, selector, 0x80}, &status) != 0) return -1;
    worst = status;
    const std::vector<uint8_t> text = utf16le(utf8);
    size_t pieces = 0;
    size_t at = 0;
    do {
        const size_t n = std::min(PIECE_TEXT, text.size() - at);
        std::vector<uint8_t> piece(PIECE_REPORT_SIZE, 0);
        piece[0] = PIECE_REPORT;
        piece[1] = at + n >= text.size() ? LAST_PIECE : 0;
        std::copy_n(text.begin() + long(at), n, piece.begin() + 2);
        if (set_report(piece, &status) != 0) return -1;
        if (status != 0) worst = status;
        at += n;
        ++pieces;
    } while (at < text.size());
    m_out.linef("lync %s units=%zu pieces=%zu status=%d", what, text.size() / 2, pieces, worst);
    return 0;
}

void Softphone::report_input(const UrbResult& r) {
    if (r.unlinked) return;
    if (r.status != 0) {
        m_out.linef("input status=%d", r.status);
        return;
    }
    std::vector<std::string> failed;
    for (const std::string& line : m_decoder.decode(r.data.data(), r.data.size(), &failed))
        m_out.line(line);
    for (const std::string& f : failed) m_out.check_failed(f);
}

void Softphone::poll_loop() {
    using Clock = std::chrono::steady_clock;
    uint32_t seqnum = 0;
    bool pending = false;
    Clock::time_point next_poll = Clock::now();
    while (m_polling) {
        if (!pending) {
            UrbRequest req;
            req.type = UrbType::INTERRUPT;
            req.endpoint = INTERRUPT_IN;
            req.buffer_length = INTERRUPT_LENGTH;
            req.interval = INTERRUPT_INTERVAL;
            if (m_conn.submit(req, nullptr, &seqnum) != 0) return;
            pending = true;
        }
        if (Clock::now() >= next_poll) {
            std::vector<uint8_t> poll(LYNC_REPORT_SIZE, 0);
            poll[0] = LYNC_REPORT;
            poll[1] = CODE_POLL;
            int32_t status = 0;
            if (set_report(poll, &status) != 0) return;
            ++m_polls;
            next_poll += std::chrono::milliseconds(POLL_PERIOD_MS);
        }
        UrbResult r;
        switch (m_conn.wait(seqnum, POLL_WAIT_SLICE_MS, &r)) {
            case UrbTracker::DONE:
                pending = false;
                report_input(r);
                break;
            case UrbTracker::CLOSED:
                return;
            case UrbTracker::TIMEOUT:
                break;
        }
    }
    if (pending) unlink_urb(m_conn, m_out, seqnum, m_timeout_ms);
}

void Softphone::stop_polling() {
    if (!m_poller.joinable()) return;
    m_polling = false;
    m_poller.join();
    m_out.linef("lync poll off polls=%d empty=%d", m_polls, m_decoder.empty_reports());
}

int Softphone::run(const SoftphoneCommand& cmd) {
    int32_t status = 0;
    switch (cmd.kind) {
        case SoftphoneCommand::HID:
            if (get(0x81, GET_DESCRIPTOR, REPORT_DESCRIPTOR, REPORT_DESCRIPTOR_LENGTH,
                    "report-descriptor") != 0 ||
                get(0xA1, GET_REPORT, REPORT_TYPE_FEATURE | 0x11, 5, "feature 0x11") != 0 ||
                get(0xA1, GET_REPORT, REPORT_TYPE_FEATURE | 0x12, 5, "feature 0x12") != 0)
                return -1;
            return 0;
        case SoftphoneCommand::PRESENCE:
            if (set_report({STATUS_REPORT, cmd.status[0], cmd.status[1]}, &status) != 0) return -1;
            m_out.linef("lync presence %02x%02x status=%d", cmd.status[0], cmd.status[1], status);
            return 0;
        case SoftphoneCommand::CREDENTIAL:
        case SoftphoneCommand::SIGN_IN:
            for (const std::string& text : cmd.texts)
                if (send_credential(text) != 0) return -1;
            return 0;
        case SoftphoneCommand::REQUEST: {
            std::vector<uint8_t> report(LYNC_REPORT_SIZE, 0);
            report[0] = LYNC_REPORT;
            report[1] = cmd.value;
            if (set_report(report, &status) != 0) return -1;
            m_out.linef("lync request %u status=%d", cmd.value, status);
            return 0;
        }
        case SoftphoneCommand::POLL:
            if (cmd.value == 0) {
                stop_polling();
            } else if (!m_poller.joinable()) {
                m_polling = true;
                m_poller = std::thread([this] { poll_loop(); });
                m_out.line("lync poll on");
            }
            return m_conn.alive() ? 0 : -1;
        case SoftphoneCommand::DIALOG:
            if (set_report({DIALOG_REPORT, cmd.value}, &status) != 0) return -1;
            m_out.linef("lync dialog %u status=%d", cmd.value, status);
            return 0;
        case SoftphoneCommand::NAME:
            return send_text(SELECT_NAME, cmd.texts[0], "name");
        case SoftphoneCommand::REFERENCE:
            return send_text(SELECT_REFERENCE, cmd.texts[0], "reference");
    }
    return 0;
}
