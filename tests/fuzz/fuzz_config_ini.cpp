// Feeds a config.ini, as a user or another program may leave it, to the main
// window's loading of its settings. Checks that every key the load reads
// afterwards holds the value it took, that later loads take the same
// settings and leave the file as the second load left it, that every entry
// the load had no reason to write keeps its value and every other line its
// text, and that a file with a NUL byte is left as it is. The second load
// may still move blank lines: a comment above a "[]" header without keys is
// written first in the file with blank lines after it, and read back as the
// comment of the section that follows.
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/diag_log.h"
#include "settings/config.h"
#include "settings/ini_store.h"
#include "shell/composition.h"
#include "shell/main_dlg.h"
#include "support/fake_view.h"

using namespace quor;

namespace {

// The keys the load writes back when they are missing, empty or -1;
// PhoneIP when it reads as 0.
constexpr const char* PHONE_IP = "PhoneIP";
constexpr const char* DEFAULTED[] = {"AutoIP",     "AutoMin",   "AutoPair",    "AutoRepair",
                                     "AutoRun",    "AsNmDev",   "PairTimeout", "RepairTime",
                                     "RetryTimes", "ResendGruu"};

struct Harness {
    std::string home;
    std::string path;
    ManualClock clock;
    EventLoop loop{clock};
    test::FakeView view;
    std::unique_ptr<CKestrowQuorConnectorDlg> dlg;

    Harness() {
        // Every write flushes the file and its folder to the disk: in memory
        // (/dev/shm) that costs nothing, on a disk it would slow every run
        // down many times.
        const char* tmp = getenv("TMPDIR");
        if (!tmp || *tmp != '/') tmp = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = std::string(tmp) + "/quor-fuzz-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) abort();
        home = tmpl + "/";
        path = home + "config.ini";
        setenv("QUOR_HOME", home.c_str(), 1);
        ShellHooks hooks = default_shell_hooks();
        hooks.apply_autorun = [](int) { return 1; };
        dlg = std::make_unique<CKestrowQuorConnectorDlg>(view, loop, clock, hooks);
    }
    ~Harness() {
        unlink(path.c_str());
        rmdir(home.c_str());
    }
};

Harness* g_harness = nullptr;

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

struct Settings {
    int values[std::size(DEFAULTED)];
    uint32_t address;
    int debug;
    bool operator==(const Settings&) const = default;
};

Settings load(Harness& h) {
    h.dlg->LoadConfig();
    h.loop.run_pending();
    CKestrowQuorConnectorDlg& d = *h.dlg;
    Settings s{{d.Settings().auto_ip, d.Settings().auto_min, d.Settings().auto_pair,
                d.Settings().auto_repair, d.Settings().auto_run, d.Settings().as_nm_dev,
                d.Settings().pair_timeout_s, d.Settings().repair_time_s, d.Settings().retry_times,
                d.Settings().resend_gruu_s},
               0,
               d.Settings().debug};
    d.GetAddress(&s.address);
    return s;
}

std::string trimmed(std::string_view s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return std::string(s.substr(first, s.find_last_not_of(" \t") + 1 - first));
}

std::string lower(std::string s) {
    for (char& c : s) c = char(tolower(static_cast<unsigned char>(c)));
    return s;
}

// The keys of the settings section, in lower case, that the load of the file
// at PATH will write.
std::vector<std::string> keys_to_write(const std::string& path) {
    std::vector<std::string> keys;
    if (ini_get_int(path, CONFIG_SECTION, PHONE_IP, 0) == 0) keys.push_back(lower(PHONE_IP));
    for (const char* k : DEFAULTED)
        if (ini_get_int(path, CONFIG_SECTION, k, -1) == -1) keys.push_back(lower(k));
    return keys;
}

// A text as an INI reader takes it: "[name]" opens a section (a '[' line
// without its ']' does not), "key=value" is an entry of the current
// section, names and values without the blanks around them, names without
// regard to case, a later entry in place of an earlier one of the same
// names. Every other line that is not blank is a note: a comment, or text
// the reader skips. '\r' and '\n' both end a line; UTF-8 signatures at the
// start are no part of the first.
struct Parsed {
    std::map<std::pair<std::string, std::string>, std::string> entries;
    // But for the notes right above a name that came before: the INI
    // library keeps one entry of a name, and with it the first one's notes.
    std::vector<std::string> notes;
};

Parsed parse(std::string_view text) {
    while (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    Parsed parsed;
    std::string section;
    std::set<std::string> sections{section};
    std::vector<std::string> pending;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = std::min(text.find_first_of("\r\n", pos), text.size());
        const std::string line = trimmed(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty()) continue;
        const size_t close = line.find(']');
        const size_t equals = line.find('=');
        const bool header = line[0] == '[' && close != std::string::npos;
        const bool entry = line[0] != '[' && equals != std::string::npos && equals != 0;
        if (line[0] == ';' || line[0] == '#' || (!header && !entry)) {
            pending.push_back(line);
            continue;
        }
        bool repeated;
        if (header) {
            section = lower(trimmed(line.substr(1, close - 1)));
            repeated = !sections.insert(section).second;
        } else {
            const auto names = std::make_pair(section, lower(trimmed(line.substr(0, equals))));
            repeated = parsed.entries.count(names) > 0;
            parsed.entries[names] = trimmed(line.substr(equals + 1));
        }
        if (!repeated) parsed.notes.insert(parsed.notes.end(), pending.begin(), pending.end());
        pending.clear();
    }
    parsed.notes.insert(parsed.notes.end(), pending.begin(), pending.end());
    return parsed;
}

// The entries of BEFORE must read the same in AFTER, but for the settings
// keys in WRITTEN, and its notes must keep their text.
void check_kept(const std::string& before, const std::string& after,
                const std::vector<std::string>& written) {
    const Parsed was = parse(before);
    const Parsed now = parse(after);
    for (const auto& [names, value] : was.entries) {
        if (names.first == lower(CONFIG_SECTION) &&
            std::find(written.begin(), written.end(), names.second) != written.end())
            continue;
        const auto found = now.entries.find(names);
        if (found == now.entries.end() || found->second != value) abort();
    }
    for (const std::string& note : was.notes)
        if (after.find(note) == std::string::npos) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The diagnostic lines would slow every run down.
    if (!freopen("/dev/null", "w", stdout)) return 0;
    static Harness harness;
    g_harness = &harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = *g_harness;
    const std::string original(reinterpret_cast<const char*>(data), size);
    std::ofstream(h.path, std::ios::binary | std::ios::trunc) << original;
    const std::vector<std::string> to_write = keys_to_write(h.path);
    g_debug_level = 0;

    const Settings first = load(h);
    const std::string written = read_file(h.path);
    if (original.find('\0') != std::string::npos) {
        if (written != original) abort();
        return 0;
    }
    for (size_t i = 0; i < std::size(DEFAULTED); ++i)
        if (ini_get_int(h.path, CONFIG_SECTION, DEFAULTED[i], -1) != first.values[i]) abort();
    if (uint32_t(ini_get_int(h.path, CONFIG_SECTION, PHONE_IP, 0)) != first.address) abort();

    const Settings second = load(h);
    const std::string settled = read_file(h.path);
    const Settings third = load(h);
    if (!(second == first) || !(third == first) || read_file(h.path) != settled) abort();
    check_kept(original, written, to_write);
    check_kept(original, settled, to_write);
    return 0;
}
