// Feeds a datagram to the decoder of the phone's address announcement.
// Checks that exactly the 6-byte datagrams whose check value is the sum of
// the four address bytes are taken, with the address first octet first, and
// that the phone's encoding of any address decodes to that address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "link/ctrl_frame.h"
#include "platform/byte_order.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t addr = 0;
    const bool taken = decode_address_datagram(data, size, &addr) == 0;
    const bool valid = size == ADDRESS_DATAGRAM_LEN &&
                       get_be16(data + 4) == uint16_t(data[0] + data[1] + data[2] + data[3]);
    if (taken != valid) abort();
    if (taken && addr != get_be32(data)) abort();

    if (size < 4) return 0;
    uint8_t announced[ADDRESS_DATAGRAM_LEN];
    encode_address_datagram(get_be32(data), announced);
    if (decode_address_datagram(announced, sizeof(announced), &addr) != 0 ||
        addr != get_be32(data) || memcmp(announced, data, 4) != 0)
        abort();
    if (taken && memcmp(announced, data, ADDRESS_DATAGRAM_LEN) != 0) abort();
    return 0;
}
