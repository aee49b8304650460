#include "settings/ini_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

namespace {

enum class ReadResult { Ok, Missing, Failed };

ReadResult read_file(const std::string& path, std::string* text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    text->clear();
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return ReadResult::Failed;
        }
        if (n == 0) break;
        text->append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return ReadResult::Ok;
}

// The store keeps the file's bytes as they are (no character conversion),
// keys unique, and writes "key=value" without blanks.
struct IniDocument : CSimpleIniA {
    IniDocument() : CSimpleIniA(false, false, false) { SetSpaces(false); }
};

int32_t parse_int(const char* s) {
    while (*s == ' ' || *s == '\t') ++s;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    uint32_t value = 0;
    for (; *s >= '0' && *s <= '9'; ++s) value = value * 10 + static_cast<uint32_t>(*s - '0');
    return static_cast<int32_t>(negative ? 0u - value : value);
}

bool is_entry_line(std::string_view line) {
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return false;
    char c = line[first];
    if (c == ';' || c == '#') return false;
    return c == '[' || line.find('=') != std::string_view::npos;
}

// The lines after the file's last section header or key. The INI library
// keeps a comment only when a section or key follows it, so a comment at the
// end of a hand-edited file would be lost on the next write; it is carried
// over from here. A file without any section or key keeps only its leading
// comment block, which the library holds as the file comment.
std::string trailing_lines(const std::string& text) {
    size_t tail_start = std::string::npos;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        size_t next = end == std::string::npos ? text.size() : end + 1;
        if (is_entry_line(std::string_view(text).substr(pos, next - pos))) tail_start = next;
        pos = next;
    }
    if (tail_start == std::string::npos) return {};
    std::string tail;
    for (char c : std::string_view(text).substr(tail_start))
        if (c != '\r') tail += c;
    if (tail.find_first_not_of(" \t\n") == std::string::npos) return {};
    if (tail.back() != '\n') tail += '\n';
    return tail;
}

bool storable(const char* text, const char* forbidden) {
    return text && strpbrk(text, forbidden) == nullptr;
}

// Writes TEXT over the file in place rather than through a new file renamed
// over it: a read-only file or one the user may not write must make the write
// fail, as it does on Windows, and a rename would replace such a file silently
// (it needs only the directory's permission) and also drop the file's owner,
// mode and links. The new bytes are written before the length is cut so that
// a failed write never leaves the file empty.
int write_in_place(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    int rc = ftruncate(fd, static_cast<off_t>(text.size()));
    if (close(fd) != 0) rc = -1;
    return rc == 0 ? 0 : -1;
}

}  // namespace

int ini_get_int(const std::string& path, const char* section, const char* key, int def) {
    std::string text;
    if (read_file(path, &text) != ReadResult::Ok) return def;
    IniDocument ini;
    if (ini.LoadData(text) < 0) return def;
    const char* value = ini.GetValue(section, key, nullptr);
    if (!value || !*value) return def;
    size_t len = strlen(value);
    if (len >= 2 && (value[0] == '"' || value[0] == '\'') && value[len - 1] == value[0]) {
        std::string inner(value + 1, len - 2);
        return inner.empty() ? def : parse_int(inner.c_str());
    }
    return parse_int(value);
}

int ini_write_string(const std::string& path, const char* section, const char* key,
                     const char* value) {
    if (!storable(section, "]\r\n") || !*section || !storable(key, "=\r\n") || !*key ||
        strchr(";#[", key[0]) || !storable(value, "\r\n"))
        return -1;
    std::string text;
    if (read_file(path, &text) == ReadResult::Failed) return -1;
    IniDocument ini;
    if (ini.LoadData(text) < 0) return -1;
    if (ini.SetValue(section, key, value) < 0) return -1;
    std::string out;
    if (ini.Save(out) < 0) return -1;
    out += trailing_lines(text);
    return write_in_place(path, out);
}
