// The one control connection to the phone, shared by every sender. Only the
// pairing session opens and closes it. Also the socket side of the frame
// codec: reading and sending whole frames.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "link/ctrl_frame.h"
#include "soft_dev/phone_sender.h"

namespace quor {

// Reads one whole frame from a blocking stream socket, gathering a header or
// payload that arrives in several segments. It receives no byte past the end
// of the frame, so the next frame stays in the socket for the next call (and
// for poll). Returns 1 for a frame, 0 when the peer closed the connection
// (also in the middle of a frame), -1 when a read failed.
int read_ctrl_frame(int fd, CtrlFrame* f);

// Sends the whole frame with a single send call, so frames from several
// threads sharing the socket never interleave; a dead peer gives -1, never
// SIGPIPE. Returns 0 when every byte was sent.
int send_frame(int fd, uint8_t type, const uint8_t* payload, size_t len);

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

// The device's way to the phone through this channel: sends go out as
// send_ctrl_frame and send_ctrl_byte do, and the pairing is
// g_pair_generation. The composition root installs it into the device.
PhoneSender& ctrl_channel_sender();

// Publish a new connection, or take the current one down and close it.
// Senders never write to a descriptor after it was released.
void ctrl_channel_open(int fd, uint32_t peer);
void ctrl_channel_close();

// The pairing session's hold on the channel. Several sessions may hold
// connections at once (an older one may still wait in a read), but only the
// newest publishes its own, and each closes only its own.
//
// Publishes FD, connected to PEER, when the session of GENERATION is still
// the newest (g_pair_generation); false, and nothing published, otherwise.
// The check and the publishing are one step, so an older session can never
// cover a newer one's connection.
bool ctrl_channel_publish(int fd, uint32_t peer, int generation);
// Ends the hold of the session of GENERATION, whose connection is FD (-1
// when it has none): FD is no longer published, and while that session is
// still the newest nothing else is either; then FD is closed. Returns
// whether the session was still the newest. No descriptor it closed stays
// published, and no other session's descriptor is closed.
bool ctrl_channel_release(int fd, int generation);

}  // namespace quor
