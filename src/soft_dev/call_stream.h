// Opening and closing the call's SRTP stream with the phone, asked for by
// Lync's call dialog, by the audio streaming interfaces and by the main
// window's media-idle timer, and the matching of the phone's answers to our
// offers.
#pragma once

#include <cstdint>

namespace quor {

// Draws a fresh key and sends MEDIA_OFFER with the local RTP port and the
// crypto line; the next completed reference text will be kept. 0, or -1
// when no key could be drawn (then nothing is sent: an offer must never
// repeat an old key).
int send_srtp_invite();

// Sends MEDIA_STOP, then release_call_stream. Returns 0.
int send_srtp_close();

// Withdraws the offer, closes the RTP socket, destroys the SRTP session and
// clears g_lync.srtp_stream_active, telling the phone nothing: for a pairing that
// ended with the call still open, whose stream the phone ends with the
// pairing.
void release_call_stream();

// send_srtp_invite, then LOG_LINE and g_lync.srtp_stream_active set; -1 (and the
// stream still closed) when the invitation could not be made.
int open_call_stream(const char* log_line);

// The phone's answers (PHONE_MEDIA_OFFER) carry no reference to the offer
// they answer, so they are matched by order: the phone answers every
// MEDIA_OFFER once, in the order it got them, on the connection that
// carried them. The Nth answer on a connection belongs to its Nth offer.
// Only an answer to the newest offer, while no MEDIA_STOP (or end of the
// call) has followed it, may open the call's media; an answer to an offer
// that a stop or a newer offer followed is stale (its keys are not the
// ones the phone uses now), and an answer when every offer has had one
// answers nothing.

// Takes the phone's next answer on the control-channel thread: the number
// of the offer it answers when that is the newest and still open, 0 (and a
// log line) when the answer is stale or answers nothing.
uint64_t claim_media_answer();
// Whether offer number OFFER is still the newest and open: checked again
// once the answer's media are open, since a stop or a new offer may have
// come meanwhile.
bool media_offer_open(uint64_t offer);
// A new control connection: offers sent before it will not be answered on
// it.
void forget_media_offers();

}  // namespace quor
