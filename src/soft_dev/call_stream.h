// Opening and closing the call's SRTP stream with the phone, asked for by
// Lync's call dialog, by the audio streaming interfaces and by the main
// window's media-idle timer.
#pragma once

namespace quor {

// Draws a fresh key and sends MEDIA_OFFER with the local RTP port and the
// crypto line; the next completed reference text will be kept. 0, or -1
// when no key could be drawn (then nothing is sent: an offer must never
// repeat an old key).
int send_srtp_invite();

// Sends MEDIA_STOP, then release_call_stream. Returns 0.
int send_srtp_close();

// Closes the RTP socket, destroys the SRTP session and clears
// srtp_stream_active, telling the phone nothing: for a pairing that ended
// with the call still open, whose stream the phone ends with the pairing.
void release_call_stream();

// send_srtp_invite, then LOG_LINE and srtp_stream_active set; -1 (and the
// stream still closed) when the invitation could not be made.
int open_call_stream(const char* log_line);

}  // namespace quor
