#include "settings/update_check.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>
#include <thread>

#include "base/controller.h"
#include "base/diag_log.h"
#include "base/ids.h"
#include "base/strings.h"
#include "platform/files.h"
#include "platform/net.h"

namespace {

std::string format_question(const std::string& version) {
    const std::string pattern = LoadString(quor::IDS_UPDATE_QUESTION);
    const size_t at = pattern.find("%s");
    if (at == std::string::npos) return pattern;
    return pattern.substr(0, at) + version + pattern.substr(at + 2);
}

// The update file's content, fetched into a local copy in DIR that is
// removed again; -1 when it cannot be fetched or read.
int fetch_update_file(const std::string& url, const std::string& dir, std::string* content) {
    std::string path;
    const int fd = create_update_file(dir, &path);
    if (fd < 0) return -1;
    int result = download_to_file(fd, url);
    if (result == 0) result = read_whole_file(fd, content) < 0 ? -1 : 0;
    // Closed first: Windows deletes no file that is still open.
    quor::close_file(fd);
    quor::remove_file(path);
    return result;
}

}  // namespace

std::string update_url() {
    const char* host = getenv("QUOR_UPDATE_HOST");
    if (!host || !*host) host = UPDATE_HOST;
    return "http://" + std::string(host) + ":" + std::to_string(UPDATE_PORT) + UPDATE_PATH;
}

int create_update_file(const std::string& dir, std::string* path) {
    std::string name = dir + UPDATE_FILE_TEMPLATE;
    const int fd = quor::create_unique_file(&name, UPDATE_FILE_SUFFIX_LENGTH);
    if (fd < 0) {
        quor_log("NETWORK: Update check: cannot create a file in %s: %s\n", dir.c_str(),
                 strerror(errno));
        return -1;
    }
    *path = name;
    return fd;
}

int read_whole_file(int fd, std::string* content) {
    if (quor::rewind_file(fd) != 0) return -1;
    content->clear();
    char block[4096];
    for (;;) {
        const ssize_t n = quor::read_some(fd, block, sizeof(block));
        if (n < 0 || content->size() + size_t(n) > UPDATE_FILE_MAX) return -1;
        if (n == 0) break;
        content->append(block, size_t(n));
    }
    return content->empty() ? -1 : int(content->size());
}

std::optional<std::string> extract_tag(const std::string& name, const std::string& text) {
    const std::string open_text = "<" + name;
    const size_t open_at = text.find(open_text);
    if (open_at == std::string::npos) return std::nullopt;
    const size_t after_open = open_at + open_text.size();
    const size_t close_at = text.find("</" + name + ">", after_open);
    if (close_at == std::string::npos) return std::nullopt;
    const size_t gt = text.find('>', after_open);
    if (gt >= close_at) return std::nullopt;
    return text.substr(gt + 1, close_at - gt - 1);
}

uint32_t version_number(const std::string& text) {
    return quor::ipv4_from_text(text.c_str());
}

bool is_web_address(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return false;
    }
    auto starts_with = [&text](std::string_view scheme) {
        if (text.size() <= scheme.size()) return false;
        for (size_t i = 0; i < scheme.size(); ++i) {
            if (tolower(static_cast<unsigned char>(text[i])) != scheme[i]) return false;
        }
        return true;
    };
    return starts_with("http://") || starts_with("https://");
}

int evaluate_update_file(const std::string& content, UpdateOffer* offer) {
    const std::string text = content.substr(0, content.find('\0'));
    const std::optional<std::string> version = extract_tag("version", text);
    if (!version) {
        quor_log("NETWORK: Update check: no version in the update file.\n");
        return -1;
    }
    const uint32_t own = version_number(QUOR_VERSION);
    // The version is shown to the user: only digits and dots, so that
    // nothing after a blank, which the dotted-address grammar would let
    // through, reaches the question.
    const bool plain =
        !version->empty() && version->find_first_not_of("0123456789.") == std::string::npos;
    const uint32_t offered = plain ? version_number(*version) : quor::IPV4_NONE;
    const std::optional<std::string> setup = extract_tag("setup", text);
    if (own == quor::IPV4_NONE || offered == quor::IPV4_NONE) {
        quor_log("NETWORK: Update check: \"%s\" is not a version number; the file is not used.\n",
                 log_text(*version).c_str());
        return -1;
    }
    if (!(own < offered) || !setup || setup->empty()) return -1;
    if (!is_web_address(*setup)) {
        quor_log("NETWORK: Update check: the installer of %s is not a web address; ignored.\n",
                 log_text(*version).c_str());
        return -1;
    }
    offer->version = *version;
    offer->setup = *setup;
    return 0;
}

int run_update_check(const std::string& url, const std::string& dir, const UpdateUi& ui) {
    std::string content;
    if (fetch_update_file(url, dir, &content) != 0) return -1;
    UpdateOffer offer;
    if (evaluate_update_file(content, &offer) != 0) return -1;
    const int answer =
        ui.ask_yes_no(format_question(offer.version), LoadString(quor::IDS_UPDATE_CAPTION));
    if (answer == quor::IDNO) return -1;
    ui.open(offer.setup);
    return 0;
}

int update_check_thread(quor::Controller* controller) {
    UpdateUi ui;
    ui.ask_yes_no = [controller](const std::string& text, const std::string& caption) {
        return controller ? controller->message_box(text, caption, quor::MB_YESNO)
                          : int(quor::IDNO);
    };
    ui.open = [controller](const std::string& address) {
        if (controller) controller->OpenDocument(address);
    };
    run_update_check(update_url(), update_file_dir(), ui);
    return 0;
}

void start_update_check(quor::Controller& controller) {
    try {
        std::thread(update_check_thread, &controller).detach();
    } catch (const std::system_error& e) {
        quor_log("NETWORK: Update check: cannot start its thread: %s\n", e.what());
    }
}
