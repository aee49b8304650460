// Plugs the HID conversation, the audio-class requests and the interrupt
// reports into the device's hook table.
#pragma once

#include "soft_dev/soft_dev_hooks.h"

namespace quor {

// Fills the HID and audio-class handlers, the interrupt worker and the GRUU
// release of HOOKS, and prepares the GBK log lines.
void register_lync_hooks(SoftDevHooks& hooks);

}  // namespace quor
