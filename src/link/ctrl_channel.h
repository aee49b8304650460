// The one control connection to the phone, shared by every sender. Only the
// pairing session opens and closes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quor {

// The connected socket, or -1.
extern std::atomic<int> g_ctrl_socket;
// The phone's address on the control connection (port 7063), 0 when none.
extern std::atomic<uint32_t> g_ctrl_peer;

// Sends a payload-less message when the channel is open: 0, or -1 when it is
// closed or the send failed.
int send_ctrl_byte(uint8_t type);
// Sends one whole frame with a single send call; -1 when the channel is
// closed or the send failed.
int send_ctrl_frame(uint8_t type, const uint8_t* payload, size_t len);
// This PC's address on the control connection, in host order: 0, or -1 when
// the channel is closed.
int ctrl_local_ipv4(uint32_t* addr);

// Pairing session only: publish a new connection, or take the current one
// down. Senders never write to a descriptor after it was released.
void ctrl_channel_open(int fd, uint32_t peer);
void ctrl_channel_close();

}  // namespace quor
