#include "soft_dev/lync_hooks.h"

#include "soft_dev/audio_requests.h"
#include "soft_dev/gbk_log.h"
#include "soft_dev/gruu_store.h"
#include "soft_dev/hid_requests.h"
#include "soft_dev/interrupt_reports.h"

namespace quor {

void register_lync_hooks(SoftDevHooks& hooks) {
    gbk_line(GbkLine::DISMISSED);
    hooks.hid_requests = process_hid_class_specific_requests;
    hooks.audio_requests = process_audio_class_specific_requests;
    hooks.interrupt_worker = interrupt_ep_thread;
    hooks.release_gruu = release_gruu;
}

}  // namespace quor
