// The update check's download and the folder of its local copy, with
// libcurl.
#include <curl/curl.h>

#include <cstdlib>
#include <mutex>

#include "base/diag_log.h"
#include "platform/files.h"
#include "settings/update_check.h"

namespace {

std::once_flag g_curl_init;

struct BodySink {
    int fd;
    size_t written = 0;
    bool too_large = false;
};

size_t write_body(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<BodySink*>(user);
    const size_t n = size * count;
    if (sink->written + n > UPDATE_FILE_MAX) {
        sink->too_large = true;
        return 0;
    }
    if (quor::write_all(sink->fd, data, n) != 0) return 0;
    sink->written += n;
    return n;
}

// Sets up one transfer of URL into SINK.
void set_transfer_options(CURL* curl, const std::string& url, BodySink* sink, curl_slist* headers) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, UPDATE_CONNECT_TIMEOUT_MS);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, UPDATE_TRANSFER_TIMEOUT_MS);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "KestrowQuorConnector/" QUOR_VERSION);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, sink);
}

}  // namespace

std::string update_file_dir() {
    std::string dir = "/tmp/";
    if (const char* tmp = getenv("TMPDIR"); tmp && tmp[0] == '/') {
        dir = tmp;
        if (dir.back() != '/') dir += '/';
    }
    return dir;
}

int download_to_file(int fd, const std::string& url) {
    std::call_once(g_curl_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    BodySink sink{fd};
    CURL* curl = curl_easy_init();
    // The answer must come from the server, not from a cache on the way.
    curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
    CURLcode rc = CURLE_FAILED_INIT;
    if (curl && headers) {
        set_transfer_options(curl, url, &sink, headers);
        for (int attempt = 1; attempt <= UPDATE_CONNECT_ATTEMPTS; ++attempt) {
            rc = curl_easy_perform(curl);
            curl_off_t connected_us = 0;
            curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connected_us);
            // Only a connection that was never made is tried again.
            if (rc == CURLE_OK || connected_us > 0) break;
            if (rc != CURLE_COULDNT_CONNECT && rc != CURLE_OPERATION_TIMEDOUT) break;
        }
    }
    if (rc != CURLE_OK) {
        quor_log("NETWORK: Update check: %s: %s\n", url.c_str(),
                 sink.too_large ? "the answer is too large" : curl_easy_strerror(rc));
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return rc == CURLE_OK ? 0 : -1;
}
