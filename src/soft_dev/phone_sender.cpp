#include "soft_dev/phone_sender.h"

#include <atomic>

namespace quor {

namespace {
// What the device has before the composition root wires it: a channel that
// is never open, in a pairing that never changes.
class ClosedSender final : public PhoneSender {
  public:
    int send_frame(uint8_t, const uint8_t*, size_t) override { return -1; }
    int send_byte(uint8_t) override { return -1; }
    int pairing_generation() const override { return 0; }
};

ClosedSender g_closed;
std::atomic<PhoneSender*> g_sender{&g_closed};
}  // namespace

void set_phone_sender(PhoneSender* sender) {
    g_sender = sender ? sender : &g_closed;
}

PhoneSender& phone_sender() {
    return *g_sender.load();
}

}  // namespace quor
