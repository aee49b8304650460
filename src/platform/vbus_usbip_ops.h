// The operation messages of a USB/IP server (protocol version 1.1.1): the
// device list and the import that a client such as `usbip list -r` and
// `usbip attach -r` sends before the URB stream begins. Big-endian words on
// the wire. This codec does no I/O, so it can be tested and fuzzed on its
// own; the server (vbus_usbip_server) does the sockets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quor {

constexpr uint16_t USBIP_VERSION = 0x0111;
constexpr uint16_t USBIP_OP_REQ_DEVLIST = 0x8005;
constexpr uint16_t USBIP_OP_REP_DEVLIST = 0x0005;
constexpr uint16_t USBIP_OP_REQ_IMPORT = 0x8003;
constexpr uint16_t USBIP_OP_REP_IMPORT = 0x0003;
// The request bit of an operation code; the reply's code is without it.
constexpr uint16_t USBIP_OP_REQUEST = 0x8000;
constexpr uint32_t USBIP_ST_OK = 0;
constexpr uint32_t USBIP_ST_NA = 1;  // refused

constexpr size_t USBIP_OP_HEADER_SIZE = 8;  // version, code, status
constexpr size_t USBIP_BUSID_SIZE = 32;
constexpr size_t USBIP_PATH_SIZE = 256;
constexpr size_t USBIP_DEVICE_RECORD_SIZE = 0x138;
constexpr size_t USBIP_INTERFACE_RECORD_SIZE = 4;
constexpr size_t USBIP_IMPORT_REQUEST_SIZE = USBIP_OP_HEADER_SIZE + USBIP_BUSID_SIZE;
constexpr uint16_t USBIP_DEFAULT_PORT = 3240;

// The one device the server exports, and where.
constexpr char USBIP_EXPORT_BUSID[] = "1-1";
constexpr uint32_t USBIP_EXPORT_BUSNUM = 1;
constexpr uint32_t USBIP_EXPORT_DEVNUM = 2;
constexpr uint32_t USBIP_SPEED_FULL = 2;

// What the device list tells of a device: its ids and class codes and
// those of each interface of its configuration (alternate setting 0).
struct UsbipDeviceInfo {
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint16_t release = 0;
    uint8_t device_class = 0;
    uint8_t device_subclass = 0;
    uint8_t device_protocol = 0;
    uint8_t configuration_value = 0;
    uint8_t num_configurations = 0;
    std::vector<std::array<uint8_t, 3>> interfaces;  // class, subclass, protocol
};

// Reads the device descriptor DEV (18 bytes) and the whole configuration
// descriptor CFG into INFO: 0, or -1 with the reason in *WHY when either is
// short or not what its type byte says, a descriptor's length runs past
// the end, or the interfaces found differ from bNumInterfaces.
int usbip_describe_device(const uint8_t* dev, size_t dev_len, const uint8_t* cfg, size_t cfg_len,
                          UsbipDeviceInfo* info, const char** why);

// The server's side of one operation request.
struct UsbipExportView {
    const UsbipDeviceInfo* device = nullptr;  // null: nothing exported
    bool held = false;                        // a client has imported it
    bool peer_allowed = false;                // the client's address may import
};

enum class UsbipOpOutcome {
    NEED_MORE,  // the request is not complete yet
    ANSWERED,   // reply built; the connection ends after it is sent
    IMPORTED,   // reply built; the connection carries the URB stream next
    REFUSED,    // malformed or unknown: reply built (a refusal), then close
};

// Decides the answer to the operation request in IN (LEN bytes received so
// far, the request at its start) and appends it to REPLY. *NEED tells how
// many bytes the complete request has once the header is in; *WHY gives
// the reason of a refusal or of a refused import.
UsbipOpOutcome usbip_answer_op(const uint8_t* in, size_t len, const UsbipExportView& view,
                               std::vector<uint8_t>* reply, size_t* need, const char** why);

// The addresses an import is accepted from: IPv4 addresses and prefixes.
class UsbipAllowList {
  public:
    // TEXT: comma-separated "A.B.C.D" or "A.B.C.D/N"; empty means loopback
    // (127.0.0.0/8). False, and the list unchanged, for anything else.
    bool parse(const std::string& text);
    // ADDRESS in host byte order.
    bool allows(uint32_t address) const;

  private:
    struct Prefix {
        uint32_t net;
        uint32_t mask;
    };
    std::vector<Prefix> prefixes_{{0x7F000000, 0xFF000000}};
};

// Splits "A.B.C.D[:PORT]" (port USBIP_DEFAULT_PORT when left out) into an
// address and a port in host byte order: false when it is not a numeric
// IPv4 address and a port 1 to 65535.
bool usbip_parse_listen(const std::string& text, uint32_t* address, uint16_t* port);

}  // namespace quor
