// RTP packets of the call and the conversion between the USB side's 48 kHz
// little-endian frames and the wire's 16 kHz big-endian payloads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/media_api.h"
#include "platform/udp_io.h"

namespace quor {

constexpr size_t RTP_HEADER_LEN = 12;
constexpr size_t RTP_PAYLOAD_BYTES = 320;  // 160 samples of 10 ms at 16 kHz
constexpr size_t RTP_PACKET_LEN = RTP_HEADER_LEN + RTP_PAYLOAD_BYTES;
constexpr uint8_t RTP_PAYLOAD_TYPE = 108;
constexpr uint16_t RTP_FIRST_SEQUENCE = 1010;
constexpr uint32_t RTP_TIMESTAMP_STEP = 160;
// Largest 48 kHz frame send_playback_audio takes.
constexpr size_t MAX_PLAYBACK_FRAME = 15000;

// Writes the 12-byte header of packet number COUNT of stream SSRC: marker
// on the first packet only, payload type 108, sequence COUNT + 1010,
// timestamp COUNT * 160.
void build_rtp_header(uint32_t count, uint32_t ssrc, uint8_t out[RTP_HEADER_LEN]);

// Keeps the first sample of every complete group of three 16-bit samples of
// IN (LEN bytes); a trailing partial group is left out. Writes at most
// OUT_SIZE bytes; returns the bytes written.
size_t downsample_by_3(const uint8_t* in, size_t len, uint8_t* out, size_t out_size);
// Writes each 16-bit sample of IN three times; returns the bytes written
// (3 * LEN rounded down to whole samples, at most OUT_SIZE).
size_t upsample_by_3(const uint8_t* in, size_t len, uint8_t* out, size_t out_size);
// Little-endian samples to big-endian and back, in place (an odd last byte
// is left alone).
void samples_to_network(uint8_t* buf, size_t len);
void samples_to_host(uint8_t* buf, size_t len);

// Sends 16 kHz samples (little-endian, LEN bytes) as the next packet of the
// stream. 0 when a datagram went out; -1 when it was dropped (no socket or
// context, protection failed or changed nothing, the send failed). The
// packet count advances either way.
int rtp_send(const uint8_t* samples, size_t len);

// The receive path of rtp_receive, one step at a time; the caller holds
// g_media.lock.
// Takes one datagram of LEN bytes that came from FROM, unprotecting it in
// place: when it authenticates as a 10 ms packet its audio waits for the
// microphone and FROM becomes where our audio goes. True when it was kept.
bool take_rtp_datagram_locked(uint8_t* datagram, size_t len, const Ipv4Endpoint& from);
// Writes the oldest audio waiting into DEST as a 48 kHz frame of
// USB_FRAME_BYTES; false when none waits.
bool next_rtp_frame_locked(uint8_t* dest);
// Where our audio goes.
Ipv4Endpoint rtp_peer_locked();

}  // namespace quor
