// The USB/IP URB stream between a USB host and an attached device: the host
// sends CMD_SUBMIT and CMD_UNLINK, the device answers RET_SUBMIT and
// RET_UNLINK; 48-byte headers of big-endian words on the wire. This codec
// does no I/O, so it can be tested and fuzzed on its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quor {

constexpr size_t USBIP_HEADER_SIZE = 48;
constexpr size_t USBIP_ISO_DESC_SIZE = 16;
// Largest request PDU accepted: the device's read buffer.
constexpr size_t USBIP_MAX_PDU = 10000;
// Requests a host may keep pending at once; more is treated as a broken
// host (Linux keeps a few dozen).
constexpr size_t USBIP_MAX_PENDING = 1024;

enum UsbipCommand : uint32_t {
    USBIP_CMD_SUBMIT = 1,
    USBIP_CMD_UNLINK = 2,
    USBIP_RET_SUBMIT = 3,
    USBIP_RET_UNLINK = 4,
};

// Byte offsets in the header. Words 5 to 9 are named by their meaning in
// requests (first name) and replies (second name).
enum UsbipOffset : size_t {
    USBIP_COMMAND = 0,
    USBIP_SEQNUM = 4,
    USBIP_DEVID = 8,
    USBIP_DIRECTION = 12,
    USBIP_EP = 16,
    USBIP_TRANSFER_FLAGS = 20,
    USBIP_STATUS = 20,
    USBIP_UNLINK_SEQNUM = 20,
    USBIP_LENGTH = 24,
    USBIP_START_FRAME = 28,
    USBIP_PACKETS = 32,
    USBIP_INTERVAL = 36,
    USBIP_ERROR_COUNT = 36,
    USBIP_SETUP = 40,
};

enum UsbipDirection : uint32_t { USBIP_DIR_OUT = 0, USBIP_DIR_IN = 1 };

// Statuses as the Linux host reads them (negative errno values).
constexpr int32_t USBIP_ESTALL = -32;  // -EPIPE
constexpr int32_t USBIP_ECONNRESET = -104;
// number_of_packets of a non-isochronous request as some hosts send it.
constexpr uint32_t USBIP_NOT_ISO = 0xFFFFFFFF;

struct IsoPacket {
    uint32_t offset;
    uint32_t length;
};

// What the bus keeps of a pending CMD_SUBMIT to answer it by the wire's
// rules.
struct UsbipRequest {
    uint32_t seqnum = 0;
    uint32_t direction = USBIP_DIR_OUT;
    uint32_t ep = 0;
    uint32_t transfer_buffer_length = 0;
    std::vector<IsoPacket> iso;  // empty: not isochronous
    std::array<uint8_t, 8> setup{};
};

// Checks the header at HDR (48 bytes, as on the wire) and returns the size
// of the whole PDU (header, OUT data, isochronous descriptors), or -1 with
// the reason in *WHY for an unknown command, a bad direction or endpoint,
// or a PDU larger than MAX_PDU.
long usbip_request_size(const uint8_t* hdr, size_t max_pdu, const char** why);

// Reads a whole CMD_SUBMIT PDU of LEN bytes (checked by usbip_request_size)
// into REQ: 0, or -1 with the reason in *WHY when a packet descriptor
// reaches past the transfer buffer or the packets together are longer.
int usbip_parse_submit(const uint8_t* pdu, size_t len, UsbipRequest* req, const char** why);

// Appends to OUT the wire form of the device's reply REPLY (LEN bytes: a
// little-endian RET_SUBMIT header, the data, for isochronous replies the
// packet descriptors) to REQ. OUT replies carry no data and report the
// bytes taken; IN data is cut to the transfer buffer; an isochronous reply
// carries one descriptor per packet of the request, status 0, and the
// packets' data packed, its actual_length their sum. Device data for an
// isochronous IN reply is read in packet order, packed; the device's own
// descriptors give each packet's length when there is one per packet of
// the request, otherwise each packet is filled to its requested length.
// Returns 0 and the reply's status, or -1 when REPLY is not a RET_SUBMIT
// or is shorter than its header says.
int usbip_wire_reply(const UsbipRequest& req, const uint8_t* reply, size_t len,
                     std::vector<uint8_t>* out, int32_t* status);

// The 48-byte RET_UNLINK answering the CMD_UNLINK SEQNUM.
std::array<uint8_t, USBIP_HEADER_SIZE> usbip_ret_unlink(uint32_t seqnum, int32_t status);

// The device state a host reads back with standard requests the device
// logic leaves unanswered: the configuration and each interface's
// alternate setting, as set by requests that were answered with success.
class UsbipControlState {
  public:
    void note_answer(const UsbipRequest& req, int32_t status);
    // A device-side reply (little-endian) for a control request that the
    // device logic left unanswered: SET_CONFIGURATION succeeds,
    // GET_CONFIGURATION and GET_INTERFACE report the state, anything else
    // stalls.
    std::vector<uint8_t> fallback_reply(const UsbipRequest& req) const;

  private:
    uint8_t configuration_ = 0;
    std::array<uint8_t, 256> alt_setting_{};
};

}  // namespace quor
