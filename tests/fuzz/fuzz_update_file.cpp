// Feeds an update file, as the update check stores it, to the reading of
// the file, the extraction of its "version" and "setup" elements, the
// version comparison and the decision to offer the update. Checks that the
// file reads back whole, that an element's text lies between the first
// '>' after its opening and the next closing text, that a plain dotted
// version reads as its four numbers, and that the update is offered exactly
// when the version is made of digits and dots only and newer than ours, and
// the installer is a web address without control characters.
#include <arpa/inet.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "settings/update_check.h"

namespace {

// The local copy, in memory.
int g_file = -1;

// The element's text must sit right after a '>', be the first '>' after the
// element's opening, and be followed by the closing text, which it does not
// hold itself.
void check_element(const std::string& name, const std::string& text) {
    const std::optional<std::string> inner = extract_tag(name, text);
    if (!inner) return;
    const std::string closing = "</" + name + ">";
    const size_t open_end = text.find("<" + name) + 1 + name.size();
    const size_t at = text.find('>', open_end) + 1;
    if (at == 0 || text.compare(at, inner->size(), *inner) != 0 ||
        text.compare(at + inner->size(), closing.size(), closing) != 0 ||
        inner->find(closing) != std::string::npos)
        abort();
}

// A version of four decimal numbers 0 to 255 without leading zeros: its
// number, first part most significant; nothing for any other text.
std::optional<uint32_t> plain_version(const std::string& text) {
    unsigned part[4];
    int used = 0;
    if (sscanf(text.c_str(), "%3u.%3u.%3u.%3u%n", &part[0], &part[1], &part[2], &part[3], &used) !=
            4 ||
        size_t(used) != text.size())
        return std::nullopt;
    char again[16];
    snprintf(again, sizeof(again), "%u.%u.%u.%u", part[0], part[1], part[2], part[3]);
    if (text != again) return std::nullopt;
    uint32_t value = 0;
    for (unsigned p : part) {
        if (p > 255) return std::nullopt;
        value = value << 8 | p;
    }
    return value;
}

bool has_control_character(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

bool starts_with_web_scheme(const std::string& s) {
    std::string head = s.substr(0, 8);
    for (char& c : head) c = char(tolower(static_cast<unsigned char>(c)));
    return (head.rfind("http://", 0) == 0 && s.size() > 7) ||
           (head.rfind("https://", 0) == 0 && s.size() > 8);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The diagnostic lines would slow every run down.
    if (!freopen("/dev/null", "w", stdout)) return 0;
    g_file = memfd_create("upgrade.xml", MFD_CLOEXEC);
    if (g_file < 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (ftruncate(g_file, 0) != 0 || pwrite(g_file, data, size, 0) != ssize_t(size)) abort();
    std::string content;
    const int read = read_whole_file(g_file, &content);
    if (size == 0 || size > UPDATE_FILE_MAX) {
        if (read != -1) abort();
        return 0;
    }
    if (read != int(size) || content != std::string(reinterpret_cast<const char*>(data), size))
        abort();

    const std::string text = content.substr(0, content.find('\0'));
    check_element("version", text);
    check_element("setup", text);
    const std::optional<std::string> version = extract_tag("version", text);
    const std::optional<std::string> setup = extract_tag("setup", text);
    if (version) {
        const std::optional<uint32_t> plain = plain_version(*version);
        if (plain && *plain != 0xFFFFFFFF && version_number(*version) != *plain) abort();
    }

    UpdateOffer offer;
    const bool offered = evaluate_update_file(content, &offer) == 0;
    const uint32_t own = version_number(QUOR_VERSION);
    const bool digits_and_dots = version && !version->empty() &&
                                 version->find_first_not_of("0123456789.") == std::string::npos;
    const bool newer = digits_and_dots && version_number(*version) != INADDR_NONE &&
                       own < version_number(*version);
    const bool web = setup && starts_with_web_scheme(*setup) && !has_control_character(*setup);
    if (offered != (newer && web)) abort();
    if (offered && (offer.version != *version || offer.setup != *setup)) abort();
    return 0;
}
