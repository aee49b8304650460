#include "soft_dev/lync_state.h"

namespace quor {

LyncState g_lync;

}  // namespace quor
