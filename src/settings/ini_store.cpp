#include "settings/ini_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include "base/diag_log.h"
#include "platform/files.h"

namespace {

using quor::read_file;
using quor::ReadResult;
using quor::replace_file;

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

// Some editors put a UTF-8 signature at the start of a file, some a second
// one before it. They are no part of the first line, and a write keeps them
// at the start. The store takes them all away before it reads the lines, so
// that the first line is read without them.
constexpr std::string_view UTF8_SIGNATURE = SI_UTF8_SIGNATURE;

// Removes the UTF-8 signatures from the start of TEXT and returns them.
std::string drop_signatures(std::string* text) {
    size_t end = 0;
    while (text->compare(end, UTF8_SIGNATURE.size(), UTF8_SIGNATURE) == 0)
        end += UTF8_SIGNATURE.size();
    std::string signatures = text->substr(0, end);
    text->erase(0, end);
    return signatures;
}

// How the INI library reads a line (a '\r', a '\n' or both end it): blank,
// a comment, a section header (a ']' after its '['), an entry (a key name
// before an '='), or anything else, which it skips and so drops from the
// file at the next write.
enum class LineKind { Blank, Comment, Header, Entry, Skipped };

LineKind line_kind(std::string_view line) {
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) return LineKind::Blank;
    const char c = line[first];
    if (c == ';' || c == '#') return LineKind::Comment;
    if (c == '[')
        return line.find(']', first) == std::string_view::npos ? LineKind::Skipped
                                                               : LineKind::Header;
    const size_t equals = line.find('=', first);
    return equals == std::string_view::npos || equals == first ? LineKind::Skipped
                                                               : LineKind::Entry;
}

// Calls FN with each line of TEXT, without its line end, and the position
// after that line end.
template <typename Fn>
void for_each_line(std::string_view text, Fn fn) {
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = std::min(text.find_first_of("\r\n", pos), text.size());
        size_t next = end;
        if (next < text.size()) next += text.compare(end, 2, "\r\n") == 0 ? 2 : 1;
        fn(text.substr(pos, end - pos), next);
        pos = next;
    }
}

// TEXT as the INI library is to read it: a line it would skip becomes a
// comment, so that a write keeps its text. A '[' line without its ']' is
// such a line: the library would take the lines that follow into the
// section's name, move their keys out of their section, and add a line to
// the file at every write. The text begins with a line end, so that the
// library takes nothing at its very start for the file's own: a comment
// there would be the file's, written back with blank lines after it that the
// file did not have, and a signature's bytes there would be dropped from the
// first name.
std::string readable_text(std::string_view text) {
    std::string out = "\n";
    size_t start = 0;
    for_each_line(text, [&](std::string_view line, size_t next) {
        if (line_kind(line) == LineKind::Skipped) out += ';';
        out += text.substr(start, next - start);
        start = next;
    });
    return out;
}

// Where the lines after the file's last section header or key begin; 0 for
// a file without any. The INI library keeps a comment only when a section
// or key follows it, so those lines (comments at the end of a hand-edited
// file, or a file of comments only) would be lost on the next write: they
// are carried over as they are.
size_t tail_start(const std::string& text) {
    size_t start = 0;
    for_each_line(text, [&](std::string_view line, size_t next) {
        const LineKind kind = line_kind(line);
        if (kind == LineKind::Header || kind == LineKind::Entry) start = next;
    });
    return start;
}

// TAIL as written after the entries: with '\n' line ends (a lone '\r' ends a
// line too), nothing when blank.
std::string written_tail(std::string_view tail) {
    std::string out;
    for (size_t i = 0; i < tail.size(); ++i) {
        if (tail[i] != '\r')
            out += tail[i];
        else if (i + 1 == tail.size() || tail[i + 1] != '\n')
            out += '\n';
    }
    if (out.find_first_not_of(" \t\n") == std::string::npos) return {};
    if (out.back() != '\n') out += '\n';
    return out;
}

bool storable(const char* text, const char* forbidden) {
    return text && strpbrk(text, forbidden) == nullptr;
}

}  // namespace

int ini_get_int(const std::string& path, const char* section, const char* key, int def) {
    std::string text;
    if (read_file(path, &text) != ReadResult::Ok) return def;
    drop_signatures(&text);
    IniDocument ini;
    if (ini.LoadData(readable_text(text)) < 0) return def;
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
    if (read_file(path, &text) == ReadResult::Failed) {
        quor_log("Quor ERR: %s=%s is not written: cannot read %s: %s\n", key, value, path.c_str(),
                 strerror(errno));
        return -1;
    }
    // The INI library reads up to a NUL byte, so a write would drop the rest
    // of the file: such a file is left as it is.
    if (text.find('\0') != std::string::npos) {
        quor_log("Quor ERR: %s holds a NUL byte; %s is not written to it.\n", path.c_str(), key);
        return -1;
    }
    const std::string signatures = drop_signatures(&text);
    const size_t tail = tail_start(text);
    IniDocument ini;
    if (ini.LoadData(readable_text(std::string_view(text).substr(0, tail))) < 0) return -1;
    if (ini.SetValue(section, key, value) < 0) return -1;
    std::string entries;
    if (ini.Save(entries) < 0) return -1;
    // The library begins with a line end when the first key has a comment,
    // but not when that comment came above a "[]" header, which the next read
    // takes for the first key's: without it the two write the same. A first
    // name that begins with the signature's bytes, though, would lose them
    // when the file is read: a line end keeps them in the name.
    entries.erase(0, entries.find_first_not_of('\n'));
    if (entries.starts_with(UTF8_SIGNATURE)) entries.insert(0, "\n");
    const std::string out =
        signatures + entries + written_tail(std::string_view(text).substr(tail));
    std::string why;
    if (replace_file(path, out, &why) != 0) {
        quor_log("Quor ERR: %s=%s is not written to %s (%s); the file is left as it was.\n", key,
                 value, path.c_str(), why.c_str());
        return -1;
    }
    return 0;
}
