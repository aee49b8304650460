#include "soft_dev/lync_hooks.h"

#include "soft_dev/audio_requests.h"
#include "soft_dev/gbk_log.h"
#include "soft_dev/gruu_store.h"
#include "soft_dev/hid_requests.h"
#include "soft_dev/interrupt_reports.h"

namespace quor {

void register_lync_hooks(SoftDevHooks& hooks) {
    gbk_line(GbkLine::DISMISSED);
    hooks.hid_requests = [](DeviceContext& device, VirtualBus& bus, uint8_t* req, size_t len) {
        return process_hid_class_specific_requests(device.controller, bus, req, len);
    };
    hooks.audio_requests = [](DeviceContext& device, VirtualBus& bus, uint8_t* req, size_t len) {
        return process_audio_class_specific_requests(device.controller, bus, req, len);
    };
    hooks.interrupt_worker = [](DeviceContext& device, VirtualBus& bus) {
        return interrupt_ep_thread(device.clock, bus);
    };
    hooks.release_gruu = release_gruu;
}

}  // namespace quor
