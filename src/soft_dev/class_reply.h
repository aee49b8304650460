// What the class-request handlers and the interrupt worker share: the data
// stage of a converted request, bounded by what actually arrived, and the
// writing of a reply under the name of the function that sends it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/vbus.h"

namespace quor {

enum class ReplyHeader {
    CONTROL,  // make_ret_header: direction, endpoint and packets zero
    ECHO,     // make_iso_ret_header: copied from the request
};

// Bytes of OUT data that follow the header of REQ (LEN bytes in all): never
// more than arrived, nor more than the request's transfer length.
size_t request_data_len(const uint8_t* req, size_t len);

// Copies the data stage of REQ into OUT (SIZE bytes), zero-filling whatever
// the request did not carry. Returns the number of bytes that came from the
// request.
size_t copy_request_data(const uint8_t* req, size_t len, uint8_t* out, size_t size);

// Writes the reply to REQ: a header of kind HEADER with actual length N and
// the N bytes of DATA, after the packet record naming SENDER. Returns the
// bus's result (0 sent, -1 not sent). Data beyond MAX_REPLY_DATA is not
// sent. Use SEND_CLASS_REPLY.
constexpr size_t MAX_REPLY_DATA = 512;
int send_reply(VirtualBus& bus, const uint8_t* req, ReplyHeader header, const uint8_t* data,
               size_t n, const char* file, int line, const char* sender);
#define SEND_CLASS_REPLY(bus, req, header, data, n, sender) \
    ::quor::send_reply(bus, req, header, data, n, __FILE__, __LINE__, sender)

}  // namespace quor
