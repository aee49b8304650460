#include "soft_dev/lync_state.h"

std::atomic<int> ack_report_pending{0};
std::atomic<int> gruu_pending{0};
std::atomic<int> invite_on_dialog{0};
std::atomic<int> pb_stream_started{0};
std::atomic<int> cp_stream_started{0};
