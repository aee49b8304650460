// One HTTP download through the system's own internet calls, where the
// system has them, and the user's folder for temporary files.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace quor {

struct HttpGetOptions {
    std::string agent;         // the User-Agent
    long connect_timeout_ms;   // for each connection attempt
    int connect_attempts;      // attempts to connect
    long transfer_timeout_ms;  // from the start to the end of the body
};

// Fetches the http:// address URL, bypassing every cache and following no
// redirection, with the system's proxy settings, and hands the body to
// SINK piece by piece; SINK returns false to stop the transfer. 0 when the
// whole body was read, whatever the HTTP status; -1 with the reason in *WHY.
int http_get(const std::string& url, const HttpGetOptions& options,
             const std::function<bool(const char* data, size_t size)>& sink, std::string* why);

// The user's folder for temporary files, with its trailing separator;
// empty when the system names none.
std::string temp_dir();

}  // namespace quor
