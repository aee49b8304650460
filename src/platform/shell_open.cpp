#include "platform/shell_open.h"

#include "platform/files.h"

namespace quor {

// A Linux console may run where there is no desktop session (a server, the
// tests), so it starts no opener: a file that can be read counts as opened,
// and a web address is not. The tray application opens through its toolkit.
bool shell_open(const std::string& target) {
    return file_readable(target);
}

}  // namespace quor
