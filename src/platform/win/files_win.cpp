// Files through the C runtime's descriptors and the wide Windows calls. A
// replace writes a new file beside the old one and moves it over the old
// one with MoveFileExW, which replaces the old file in one step. Windows
// keeps no owner and mode bits on a file: what the POSIX back end does with
// them is done here by the folder's inherited access rights (the program's
// files live in folders of the user's own), so those steps have nothing to
// do.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/random.h"
#include "platform/win/win_text.h"

namespace quor {

namespace {

std::string failure(const char* what, const std::string& path, const std::string& reason) {
    return std::string(what) + " " + path + ": " + reason;
}

std::string folder_of(const std::string& path) {
    const size_t sep = path.find_last_of("\\/");
    return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

int open_file(const std::string& path, int flags, int mode = _S_IREAD | _S_IWRITE) {
    return _wopen(utf8_to_wide(path).c_str(), flags | _O_BINARY | _O_NOINHERIT, mode);
}

// Writes TEXT to a new file beside TARGET (named TARGET + SUFFIX, or a
// random name when SUFFIX is null) and moves it over TARGET. 0, or -1 with
// the reason in *WHY; on failure no new file remains.
int write_and_move(const std::string& target, const std::string& text, const char* suffix,
                   std::string* why) {
    std::string temp;
    int fd = -1;
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && fd < 0 && error == EEXIST; ++attempt) {
        if (suffix) {
            temp = target + suffix;
        } else {
            uint32_t random = 0;
            random_bytes(reinterpret_cast<uint8_t*>(&random), sizeof(random));
            char tail[16];
            snprintf(tail, sizeof(tail), ".%08x", random ^ uint32_t(attempt));
            const std::string dir = folder_of(target);
            temp = dir + "." + target.substr(dir.size()) + tail;
        }
        fd = open_file(temp, _O_WRONLY | _O_CREAT | (suffix ? _O_TRUNC : _O_EXCL));
        error = fd < 0 ? errno : 0;
        if (suffix) break;
    }
    if (fd < 0) {
        const std::string dir = folder_of(target);
        *why = failure("cannot create a file in", dir.empty() ? std::string(".") : dir,
                       strerror(error));
        return -1;
    }
    bool ok = write_all(fd, text.data(), text.size()) == 0 && _commit(fd) == 0;
    std::string reason = ok ? std::string() : strerror(errno);
    if (_close(fd) != 0 && ok) {
        ok = false;
        reason = strerror(errno);
    }
    const char* step = "cannot write";
    std::string subject = temp;
    if (ok && !MoveFileExW(utf8_to_wide(temp).c_str(), utf8_to_wide(target).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        step = "cannot rename the new file over";
        subject = target;
        reason = system_error_text(GetLastError());
    }
    if (!ok) {
        *why = failure(step, subject, reason);
        _wunlink(utf8_to_wide(temp).c_str());
        return -1;
    }
    return 0;
}

}  // namespace

ReadResult read_file(const std::string& path, std::string* text) {
    const int fd = open_file(path, _O_RDONLY);
    if (fd < 0) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    text->clear();
    char chunk[4096];
    for (;;) {
        const int n = _read(fd, chunk, sizeof(chunk));
        if (n < 0) {
            const int error = errno;
            _close(fd);
            errno = error;
            return ReadResult::Failed;
        }
        if (n == 0) break;
        text->append(chunk, size_t(n));
    }
    _close(fd);
    return ReadResult::Ok;
}

int replace_file(const std::string& path, const std::string& text, std::string* why) {
    const DWORD attributes = GetFileAttributesW(utf8_to_wide(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            *why = path + " is not a regular file";
            return -1;
        }
        // A file this process may not write is left alone.
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            *why = failure("cannot write", path, strerror(EACCES));
            return -1;
        }
    }
    return write_and_move(path, text, nullptr, why);
}

// Windows has no mode bits beyond read-only: MODE is not used.
int replace_file_with_mode(const std::string& path, const std::string& text, unsigned,
                           std::string* why) {
    std::string reason;
    if (write_and_move(path, text, ".new", &reason) == 0) return 0;
    *why = "Cannot write " + path + ": " + reason;
    return -1;
}

int remove_file(const std::string& path) {
    return _wunlink(utf8_to_wide(path).c_str()) == 0 || errno == ENOENT ? 0 : -1;
}

bool ensure_private_dir(const std::string& dir) {
    const bool absolute = (dir.size() >= 3 && dir[1] == ':' && (dir[2] == '\\' || dir[2] == '/')) ||
                          (!dir.empty() && (dir[0] == '\\' || dir[0] == '/'));
    if (!absolute) return false;
    for (size_t at = dir.find_first_of("\\/", 1);; at = dir.find_first_of("\\/", at + 1)) {
        const std::string part = dir.substr(0, at);
        // "C:" alone is the drive, which exists.
        if (!(part.size() == 2 && part[1] == ':') && !part.empty() &&
            !CreateDirectoryW(utf8_to_wide(part).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        if (at == std::string::npos || at + 1 >= dir.size()) break;
    }
    const DWORD attributes = GetFileAttributesW(utf8_to_wide(dir).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool path_exists(const std::string& path) {
    return GetFileAttributesW(utf8_to_wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

int create_private_file(const std::string& path, const std::string& text) {
    const int fd = open_file(path, _O_WRONLY | _O_CREAT | _O_EXCL);
    if (fd < 0) return -1;
    if (write_all(fd, text.data(), text.size()) != 0 || _commit(fd) != 0) {
        const int error = errno;
        _close(fd);
        _wunlink(utf8_to_wide(path).c_str());
        errno = error;
        return -1;
    }
    return _close(fd);
}

int restrict_to_owner(const std::string&) {
    return 0;
}

bool file_readable(const std::string& path) {
    return _waccess(utf8_to_wide(path).c_str(), 4) == 0;
}

int create_unique_file(std::string* name, int suffix_length) {
    static constexpr char LETTERS[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    if (suffix_length < 0 || name->size() < size_t(suffix_length) + 6 ||
        name->compare(name->size() - size_t(suffix_length) - 6, 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return -1;
    }
    const size_t at = name->size() - size_t(suffix_length) - 6;
    for (int attempt = 0; attempt < 100; ++attempt) {
        uint8_t random[6];
        if (random_bytes(random, sizeof(random)) != 0) return -1;
        for (size_t i = 0; i < 6; ++i) (*name)[at + i] = LETTERS[random[i] % (sizeof(LETTERS) - 1)];
        const int fd = open_file(*name, _O_RDWR | _O_CREAT | _O_EXCL);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

int write_all(int fd, const void* data, size_t len) {
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < len) {
        const size_t chunk = std::min<size_t>(len - done, 1u << 30);
        const int n = _write(fd, bytes + done, unsigned(chunk));
        if (n < 0) return -1;
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        done += size_t(n);
    }
    return 0;
}

ssize_t read_some(int fd, void* buf, size_t size) {
    return _read(fd, buf, unsigned(std::min<size_t>(size, 1u << 30)));
}

int rewind_file(int fd) {
    return _lseeki64(fd, 0, SEEK_SET) == 0 ? 0 : -1;
}

void close_file(int fd) {
    if (fd >= 0) _close(fd);
}

}  // namespace quor
