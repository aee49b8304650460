#include "settings/update_check.h"

#include "base/diag_log.h"

// The update check's download is not written for Windows yet: the check
// says so in the log and offers nothing.
void start_update_check(quor::Controller&) {
    quor_log("NETWORK: Update check: not available in this build\n");
}
