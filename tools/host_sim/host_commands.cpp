#include "host_commands.h"

#include <algorithm>
#include <sstream>

#include "control_transfer.h"
#include "usb_descriptors.h"

const char* const HOST_COMMAND_HELP =
    "Commands (standard input or --script FILE, one per line; '#' starts a comment).\n"
    "They run in order; those that talk to the device wait until one is attached\n"
    "and enumerated. End of input does not quit.\n"
    "  enumerate                        enumerate the device again\n"
    "  get-descriptor TYPE INDEX LENGTH GET_DESCRIPTOR to the device (string\n"
    "                                   descriptors other than 0 in the device's\n"
    "                                   first language); prints\n"
    "                                   descriptor type=TT index=I status=S length=N data=HEX\n"
    "  control SETUP [DATA]             raw control transfer: SETUP is the 8-byte\n"
    "                                   setup packet in hex, DATA the OUT data\n"
    "                                   (exactly wLength bytes); prints\n"
    "                                   control status=S length=N [data=HEX]\n"
    "  set-interface IF ALT             SET_INTERFACE; prints set-interface IF ALT status=S\n"
    "  detach                           close the connection (unplugs the device)\n"
    "  send-raw HEX                     send HEX on the connection as it is (1 to 4096\n"
    "                                   bytes; a malformed PDU the device must refuse)\n"
    "  sleep MS                         pause the command stream\n"
    "  echo TEXT                        print \"echo TEXT\" (a marker for scripts)\n"
    "  quit                             leave (also on SIGTERM or SIGINT)\n"
    "Numbers are decimal or 0x-prefixed hex.\n";

namespace {

constexpr uint32_t MAX_SLEEP_MS = 3600 * 1000;
constexpr size_t MAX_RAW_BYTES = 4096;

int parse_u8(const std::string& word, uint8_t* value) {
    uint32_t v = 0;
    if (parse_number(word, 0xFF, &v) != 0) return -1;
    *value = static_cast<uint8_t>(v);
    return 0;
}

int parse_control(const std::vector<std::string>& words, HostCommand* cmd, std::string* error) {
    std::vector<uint8_t> setup;
    if (words.size() < 2 || parse_hex(words[1], &setup) != 0 || setup.size() != 8) {
        *error = "control needs an 8-byte setup packet in hex";
        return -1;
    }
    std::string data;
    for (size_t i = 2; i < words.size(); ++i) data += words[i];
    if (parse_hex(data, &cmd->data) != 0) {
        *error = "control: data is not hex";
        return -1;
    }
    std::copy(setup.begin(), setup.end(), cmd->setup);
    ControlSetup s = setup_from_bytes(cmd->setup);
    bool in = (s.request_type & 0x80) != 0;
    if (in && !cmd->data.empty()) {
        *error = "control: an IN request takes no data";
        return -1;
    }
    if (!in && cmd->data.size() != s.length) {
        *error = strfmt("control: OUT request with wLength %u needs %u data bytes, got %zu",
                        s.length, s.length, cmd->data.size());
        return -1;
    }
    cmd->kind = HostCommand::CONTROL;
    return 0;
}

}  // namespace

int parse_command(const std::string& line, HostCommand* cmd, std::string* error) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty() || words[0][0] == '#') return 1;
    *cmd = HostCommand();
    const std::string& name = words[0];
    size_t args = words.size() - 1;
    auto bad = [&](const char* usage) {
        *error = std::string("usage: ") + usage;
        return -1;
    };
    if (name == "enumerate" || name == "detach" || name == "quit") {
        if (args != 0) return bad(name.c_str());
        cmd->kind = name == "enumerate" ? HostCommand::ENUMERATE
                    : name == "detach"  ? HostCommand::DETACH
                                        : HostCommand::QUIT;
        return 0;
    }
    if (name == "get-descriptor") {
        uint32_t length = 0;
        if (args != 3 || parse_u8(words[1], &cmd->descriptor_type) != 0 ||
            parse_u8(words[2], &cmd->descriptor_index) != 0 ||
            parse_number(words[3], 0xFFFF, &length) != 0) {
            return bad("get-descriptor TYPE INDEX LENGTH");
        }
        cmd->kind = HostCommand::GET_DESCRIPTOR;
        cmd->length = static_cast<uint16_t>(length);
        return 0;
    }
    if (name == "control") return parse_control(words, cmd, error);
    if (name == "set-interface") {
        if (args != 2 || parse_u8(words[1], &cmd->interface) != 0 ||
            parse_u8(words[2], &cmd->alt) != 0) {
            return bad("set-interface IF ALT");
        }
        cmd->kind = HostCommand::SET_INTERFACE;
        return 0;
    }
    switch (parse_softphone_command(words, line, &cmd->softphone, error)) {
        case 0:
            cmd->kind = HostCommand::SOFTPHONE;
            return 0;
        case 1:
            break;
        default:
            return -1;
    }
    if (name == "stream") {
        if (parse_stream_command(words, &cmd->stream, error) != 0) return -1;
        cmd->kind = HostCommand::STREAM;
        return 0;
    }
    if (name == "unlink") {
        if (parse_unlink_command(words, &cmd->unlink, error) != 0) return -1;
        cmd->kind = HostCommand::UNLINK;
        return 0;
    }
    if (name == "send-raw") {
        std::string hex;
        for (size_t i = 1; i < words.size(); ++i) hex += words[i];
        if (parse_hex(hex, &cmd->data) != 0 || cmd->data.empty() ||
            cmd->data.size() > MAX_RAW_BYTES) {
            return bad("send-raw HEX (1 to 4096 bytes)");
        }
        cmd->kind = HostCommand::SEND_RAW;
        return 0;
    }
    if (name == "sleep") {
        if (args != 1 || parse_number(words[1], MAX_SLEEP_MS, &cmd->ms) != 0) {
            return bad("sleep MS");
        }
        cmd->kind = HostCommand::SLEEP;
        return 0;
    }
    if (name == "echo") {
        size_t start = line.find("echo") + 4;
        size_t first = line.find_first_not_of(" \t", start);
        cmd->text = first == std::string::npos ? "" : line.substr(first);
        while (!cmd->text.empty() && (cmd->text.back() == ' ' || cmd->text.back() == '\t')) {
            cmd->text.pop_back();
        }
        cmd->kind = HostCommand::ECHO;
        return 0;
    }
    *error = "unknown command '" + name + "'";
    return -1;
}

bool command_needs_device(const HostCommand& cmd) {
    switch (cmd.kind) {
        case HostCommand::ENUMERATE:
        case HostCommand::GET_DESCRIPTOR:
        case HostCommand::CONTROL:
        case HostCommand::SET_INTERFACE:
        case HostCommand::DETACH:
        case HostCommand::STREAM:
        case HostCommand::SOFTPHONE:
        case HostCommand::UNLINK:
        case HostCommand::SEND_RAW:
            return true;
        default:
            return false;
    }
}

int run_transfer_command(const HostCommand& cmd, HostConnection& conn, HostOutput& out,
                         int timeout_ms, uint16_t language) {
    ControlSetup setup;
    switch (cmd.kind) {
        case HostCommand::GET_DESCRIPTOR: {
            bool string = cmd.descriptor_type == DT_STRING && cmd.descriptor_index != 0;
            setup = get_descriptor_setup(cmd.descriptor_type, cmd.descriptor_index,
                                         string ? language : 0, cmd.length);
            break;
        }
        case HostCommand::SET_INTERFACE:
            setup = set_interface_setup(cmd.interface, cmd.alt);
            break;
        case HostCommand::CONTROL:
            setup = setup_from_bytes(cmd.setup);
            break;
        default:
            return 0;
    }
    ControlResult r;
    if (control_transfer(conn, out, setup, cmd.data, timeout_ms, &r) != 0) return -1;
    std::string data = hex_string(r.data.data(), r.data.size());
    switch (cmd.kind) {
        case HostCommand::GET_DESCRIPTOR:
            out.linef("descriptor type=%02x index=%u status=%d length=%zu data=%s",
                      cmd.descriptor_type, cmd.descriptor_index, r.status, r.data.size(),
                      data.c_str());
            break;
        case HostCommand::SET_INTERFACE:
            out.linef("set-interface %u %u status=%d", cmd.interface, cmd.alt, r.status);
            break;
        default:
            if (setup.request_type & 0x80) {
                out.linef("control status=%d length=%u data=%s", r.status, r.actual_length,
                          data.c_str());
            } else {
                out.linef("control status=%d length=%u", r.status, r.actual_length);
            }
            break;
    }
    return 0;
}
