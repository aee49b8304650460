// The USB/IP URB traffic between a host and an attached device, as the
// kernel's vhci_hcd speaks it after attach: CMD_SUBMIT and CMD_UNLINK from
// the host, RET_SUBMIT and RET_UNLINK from the device; 48-byte headers with
// every word big-endian; OUT data after a CMD_SUBMIT header, IN data after a
// RET_SUBMIT header (packed for isochronous transfers), then the 16-byte
// isochronous packet descriptors.
//
// Nothing here does I/O. The encoders build whole PDUs in caller-owned
// vectors; RetFramer takes the received byte stream in pieces of any size and
// hands back whole replies. How long a reply is depends on the URB it answers
// (direction, isochronous or not), so the framer asks a lookup for the shape
// of the URB behind each seqnum, exactly as vhci_hcd finds its URB first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t USBIP_HEADER_SIZE = 48;
constexpr size_t USBIP_ISO_DESC_SIZE = 16;

constexpr uint32_t USBIP_CMD_SUBMIT = 1;
constexpr uint32_t USBIP_CMD_UNLINK = 2;
constexpr uint32_t USBIP_RET_SUBMIT = 3;
constexpr uint32_t USBIP_RET_UNLINK = 4;

constexpr uint32_t USBIP_DIR_OUT = 0;
constexpr uint32_t USBIP_DIR_IN = 1;

// transfer_flags bit that Linux sets on every IN URB.
constexpr uint32_t URB_DIR_IN = 0x200;

// Most isochronous packets one URB may carry (the kernel's limit).
constexpr int32_t USBIP_MAX_ISO_PACKETS = 1024;

// Status values of the Linux host.
constexpr int32_t STATUS_EPIPE = -32;        // stall
constexpr int32_t STATUS_ECONNRESET = -104;  // unlinked while pending
constexpr int32_t STATUS_ETIMEDOUT = -110;   // never answered

struct UsbipIsoPacket {
    uint32_t offset = 0;
    uint32_t length = 0;
    uint32_t actual_length = 0;
    int32_t status = 0;
};

struct CmdSubmit {
    uint32_t seqnum = 0;
    uint32_t devid = 0;
    uint32_t direction = USBIP_DIR_OUT;
    uint32_t ep = 0;  // endpoint number 0..15
    uint32_t transfer_flags = 0;
    uint32_t transfer_buffer_length = 0;
    int32_t start_frame = 0;
    int32_t number_of_packets = 0;
    uint32_t interval = 0;
    uint8_t setup[8] = {};
};

// A whole CMD_SUBMIT: header, then for an OUT transfer the
// transfer_buffer_length bytes of OUT_DATA, then number_of_packets
// descriptors from ISO. -1 (PDU untouched) when OUT_DATA is missing for an
// OUT transfer with data, or when ISO holds fewer descriptors than announced.
int encode_cmd_submit(const CmdSubmit& cmd, const uint8_t* out_data,
                      const std::vector<UsbipIsoPacket>& iso, std::vector<uint8_t>* pdu);

// A whole CMD_UNLINK for the URB with seqnum VICTIM. Like the kernel it
// carries direction 0 and ep 0: the device finds the URB by VICTIM alone.
void encode_cmd_unlink(uint32_t seqnum, uint32_t devid, uint32_t victim, std::vector<uint8_t>* pdu);

void put_iso_packet(uint8_t* p, const UsbipIsoPacket& packet);
UsbipIsoPacket get_iso_packet(const uint8_t* p);

// The header of a RET_SUBMIT or RET_UNLINK. For RET_UNLINK only command,
// seqnum, devid, direction, ep and status mean anything.
struct RetHeader {
    uint32_t command = 0;
    uint32_t seqnum = 0;
    uint32_t devid = 0;
    uint32_t direction = 0;
    uint32_t ep = 0;
    int32_t status = 0;
    uint32_t actual_length = 0;
    int32_t start_frame = 0;
    int32_t number_of_packets = 0;
    int32_t error_count = 0;
};

void decode_ret_header(const uint8_t* p, RetHeader* h);

// What the host knows about a URB still waiting for its RET_SUBMIT.
struct UrbShape {
    bool in = false;
    bool iso = false;
    uint32_t buffer_length = 0;
    int32_t packets = 0;
};

class UrbShapeLookup {
  public:
    virtual ~UrbShapeLookup() = default;
    // 0 and the shape when SEQNUM names a URB that may still be answered;
    // -1 and the reason otherwise (never sent, answered already, unlinked).
    virtual int shape_of(uint32_t seqnum, UrbShape* shape, std::string* why) = 0;
};

struct RetPdu {
    RetHeader header;
    std::vector<uint8_t> data;        // IN data, actual_length bytes
    std::vector<UsbipIsoPacket> iso;  // isochronous replies only
    std::vector<uint8_t> raw;         // the PDU as received, when kept
};

// Splits the device's byte stream into replies. A reply that the Linux host
// would refuse (unknown command, a seqnum it has no URB for, IN data longer
// than the URB's buffer, an isochronous reply with another packet count or
// whose packets' actual lengths do not add up to actual_length) is FATAL:
// the stream cannot be trusted after it and the device is to be dropped.
class RetFramer {
  public:
    enum Result { NEED_MORE = 0, PDU = 1, FATAL = -1 };

    explicit RetFramer(bool keep_raw = false) : m_keep_raw(keep_raw) {}

    void append(const uint8_t* bytes, size_t len);
    // The next whole reply, NEED_MORE, or FATAL with the reason in ERROR.
    // After FATAL every call returns FATAL.
    Result next(UrbShapeLookup& lookup, RetPdu* pdu, std::string* error);
    size_t buffered() const { return m_buf.size() - m_pos; }

  private:
    bool m_keep_raw;
    bool m_failed = false;
    std::string m_failure;
    std::vector<uint8_t> m_buf;
    size_t m_pos = 0;
};
