// The update check's download through the system's internet calls, and the
// system's folder for temporary files.
#include "base/diag_log.h"
#include "platform/files.h"
#include "platform/http_get.h"
#include "settings/update_check.h"

std::string update_file_dir() {
    return quor::temp_dir();
}

int download_to_file(int fd, const std::string& url) {
    size_t written = 0;
    bool too_large = false;
    const quor::HttpGetOptions options{"KestrowQuorConnector/" QUOR_VERSION,
                                       UPDATE_CONNECT_TIMEOUT_MS, UPDATE_CONNECT_ATTEMPTS,
                                       UPDATE_TRANSFER_TIMEOUT_MS};
    std::string why;
    const int rc = quor::http_get(
        url, options,
        [&](const char* data, size_t size) {
            if (written + size > UPDATE_FILE_MAX) {
                too_large = true;
                return false;
            }
            if (quor::write_all(fd, data, size) != 0) return false;
            written += size;
            return true;
        },
        &why);
    if (rc != 0)
        quor_log("NETWORK: Update check: %s: %s\n", url.c_str(),
                 too_large ? "the answer is too large" : why.c_str());
    return rc;
}
