// The update check. Once per run a background thread fetches "upgrade.xml"
// from the update server; when the file names a newer version than this
// program's, and an http:// or https:// address for its installer, the user
// is asked whether to update and, unless the answer is No, the address is
// opened with the desktop's default program. A failing check ends quietly:
// it only writes a line to the diagnostic log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/controller.h"

constexpr const char* UPDATE_HOST = "updates.kestrow.example";
constexpr uint16_t UPDATE_PORT = 8080;
constexpr const char* UPDATE_PATH = "/Quor/upgrade.xml";
// The local copy's name: "upgrade-" and six random characters, then ".xml".
constexpr const char* UPDATE_FILE_TEMPLATE = "upgrade-XXXXXX.xml";
constexpr int UPDATE_FILE_SUFFIX_LENGTH = 4;  // ".xml"
// A server that never answers the connection costs two connect time-outs.
constexpr long UPDATE_CONNECT_TIMEOUT_MS = 2000;
constexpr int UPDATE_CONNECT_ATTEMPTS = 2;
// Bounds one attempt from start to end, so a server that accepts the
// connection and then never answers cannot hold the thread.
constexpr long UPDATE_TRANSFER_TIMEOUT_MS = 10000;
// The file is a few hundred bytes; a larger answer is refused.
constexpr size_t UPDATE_FILE_MAX = 64 * 1024;

// "http://HOST:8080/Quor/upgrade.xml". HOST is UPDATE_HOST; the environment
// variable QUOR_UPDATE_HOST replaces it, for tests only.
std::string update_url();

// The folder of the local copy, with a trailing separator: the system's
// folder for the user's temporary files, or TMPDIR when it is an absolute
// path, otherwise /tmp.
std::string update_file_dir();

// Creates the local copy in DIR as a new file of this user's own (the name
// made unique and the file created exclusively, so that nothing already in a
// shared folder, a link or another user's file, is ever written through,
// read or in the way). Its descriptor, with the name in *PATH; -1 otherwise.
int create_update_file(const std::string& dir, std::string* path);

// Fetches URL into the empty file FD; proxies come from the system's
// settings (on Linux, the environment).
// 0 on success (whatever the HTTP status), -1 otherwise.
int download_to_file(int fd, const std::string& url);

// The bytes of the file FD from its start into *CONTENT and their number;
// -1 when the file cannot be read, is empty or is larger than
// UPDATE_FILE_MAX.
int read_whole_file(int fd, std::string* content);

// The inner text of the first element whose opening text starts with "<NAME"
// (so a longer name that starts with NAME matches too): from just after the
// first '>' that follows "<NAME" up to the first "</NAME>" after it. Nothing
// when either is missing or the '>' belongs to the closing text itself.
std::optional<std::string> extract_tag(const std::string& name, const std::string& text);

// A version text as a number, read with the IPv4 dotted-address grammar
// (up to four parts, first part most significant, octal and hexadecimal
// parts allowed). All bits set for a text the grammar rejects, and for
// 255.255.255.255.
uint32_t version_number(const std::string& text);

// True for an http:// or https:// address (scheme in any case) with no
// control characters.
bool is_web_address(const std::string& text);

struct UpdateOffer {
    std::string version;  // the "version" text as the file gives it
    std::string setup;    // the installer's address, unchanged
};

// Decides from the file content (read up to its first NUL) whether to offer
// an update: a "version" of digits and dots only, both versions valid, this
// program's strictly older, and a "setup" that is a web address. 0 with
// *OFFER filled, or -1.
int evaluate_update_file(const std::string& content, UpdateOffer* offer);

// What the check asks of the user and of the desktop.
struct UpdateUi {
    // Shows TEXT under CAPTION with Yes and No; returns IDYES or IDNO.
    std::function<int(const std::string& text, const std::string& caption)> ask_yes_no;
    std::function<void(const std::string& address)> open;
};

// The whole check: downloads URL into a local copy in DIR, reads and
// evaluates it, removes it, asks with texts 135 and 136, and opens the
// installer's address unless the answer is No. 0 when the address was
// opened, -1 otherwise.
int run_update_check(const std::string& url, const std::string& dir, const UpdateUi& ui);

// Thread body: the check, asking through CONTROLLER (no question and
// nothing opened without one). Returns 0.
int update_check_thread(quor::Controller* controller);

// Starts update_check_thread on a thread of its own for CONTROLLER.
void start_update_check(quor::Controller& controller);
