// How the device reaches the phone. The device sends its messages (media
// offers and stops, credentials, presence, display names, UNPAIR) through
// this interface; the control channel implements it, and the program's
// composition root installs that implementation with set_phone_sender. The
// device thus never depends on the channel, which starts it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor {

class PhoneSender {
  public:
    virtual ~PhoneSender() = default;
    // Sends one whole frame; -1 when the channel is closed or the send
    // failed, 0 otherwise.
    virtual int send_frame(uint8_t type, const uint8_t* payload, size_t len) = 0;
    // Sends a payload-less message when the channel is open: 0, or -1 when
    // it is closed or the send failed.
    virtual int send_byte(uint8_t type) = 0;
    // The pairing the channel currently serves; it changes whenever a new
    // pairing begins, so a device started for an older one can tell.
    virtual int pairing_generation() const = 0;
};

// Installs the sender that every later send goes through (it must outlive
// them). Until one is installed, sends are dropped as if the channel were
// closed.
void set_phone_sender(PhoneSender* sender);
// The installed sender; never null.
PhoneSender& phone_sender();

}  // namespace quor
