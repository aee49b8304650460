#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/diag_log.h"
#include "platform/random.h"

namespace quor {

namespace {

// Why a replace failed, for the log line.
std::string failure(const char* what, const std::string& path, int error) {
    return std::string(what) + " " + path + ": " + strerror(error);
}

// The file that a write to PATH replaces: PATH itself, or the file that a
// symbolic link at PATH leads to, which stays a link.
int replaced_file(const std::string& path, std::string* target, std::string* why) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        *target = path;
        return 0;
    }
    char* real = realpath(path.c_str(), nullptr);
    if (!real) {
        *why = failure("cannot follow the link", path, errno);
        return -1;
    }
    *target = real;
    free(real);
    return 0;
}

// The folder of PATH with its trailing separator; empty for a bare name.
std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Creates an empty file beside TARGET under a name of its own, with mode
// 0666 less the umask, as a new file would get. Its descriptor and *NAME, or
// -1.
int create_beside(const std::string& target, std::string* name, std::string* why) {
    const std::string dir = folder_of(target);
    const std::string base = target.substr(dir.size());
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        uint32_t random = 0;
        if (random_bytes(reinterpret_cast<uint8_t*>(&random), sizeof(random)) != 0)
            random = static_cast<uint32_t>(getpid()) * 2654435761u + static_cast<uint32_t>(attempt);
        char suffix[16];
        snprintf(suffix, sizeof(suffix), ".%08x", random);
        *name = dir + "." + base + suffix;
        const int fd =
            open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        error = errno;
    }
    *why = failure("cannot create a file in", dir.empty() ? std::string(".") : dir, error);
    return -1;
}

// Makes the new file FD what the old one was: its owner, group and mode.
int take_over_attributes(int fd, const struct stat& old) {
    struct stat now;
    if (fstat(fd, &now) != 0) return -1;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        fchown(fd, old.st_uid, old.st_gid) != 0)
        return -1;
    return fchmod(fd, old.st_mode & 07777);
}

}  // namespace

ReadResult read_file(const std::string& path, std::string* text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    text->clear();
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return ReadResult::Failed;
        }
        if (n == 0) break;
        text->append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return ReadResult::Ok;
}

int replace_file(const std::string& path, const std::string& text, std::string* why) {
    std::string target;
    if (replaced_file(path, &target, why) != 0) return -1;
    struct stat old;
    bool existed = false;
    const int check = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (check >= 0) {
        const int rc = fstat(check, &old);
        const int error = errno;
        close(check);
        if (rc != 0) {
            *why = failure("cannot read the attributes of", target, error);
            return -1;
        }
        if (!S_ISREG(old.st_mode)) {
            *why = target + " is not a regular file";
            return -1;
        }
        existed = true;
    } else if (errno != ENOENT) {
        *why = failure("cannot write", target, errno);
        return -1;
    }

    std::string temp;
    const int fd = create_beside(target, &temp, why);
    if (fd < 0) return -1;
    const char* step = "cannot write";
    std::string subject = temp;
    bool ok = write_all(fd, text.data(), text.size()) == 0;
    if (ok && existed && take_over_attributes(fd, old) != 0) {
        step = "cannot give the old file's owner and mode to";
        ok = false;
    }
    if (ok && fsync(fd) != 0) ok = false;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        step = "cannot rename the new file over";
        subject = target;
        ok = false;
        error = errno;
    }
    if (!ok) {
        *why = failure(step, subject, error);
        unlink(temp.c_str());
        return -1;
    }
    // The rename itself reaches the disk with the folder.
    const std::string dir = folder_of(target);
    const int dir_fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0 || (fsync(dir_fd) != 0 && errno != EINVAL))
        quor_log("Quor ERR: %s is written, but its folder could not be flushed: %s\n",
                 target.c_str(), strerror(errno));
    if (dir_fd >= 0) close(dir_fd);
    return 0;
}

int replace_file_with_mode(const std::string& path, const std::string& text, unsigned mode,
                           std::string* why) {
    const std::string tmp = path + ".new";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                        static_cast<mode_t>(mode));
    if (fd < 0) {
        *why = "Cannot create " + tmp + ": " + strerror(errno);
        return -1;
    }
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t n = write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        rest.remove_prefix(size_t(n));
    }
    bool ok = rest.empty() && fchmod(fd, static_cast<mode_t>(mode)) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        *why = "Cannot write " + path + ": " + strerror(error);
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

int remove_file(const std::string& path) {
    return unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -1;
}

bool ensure_private_dir(const std::string& dir) {
    if (dir.empty() || dir.front() != '/') return false;
    // Each missing folder on the way is made private as well: they are the
    // program's own (kestrow-quor under .config) or the user's XDG folders.
    for (size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
        const std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (at == std::string::npos || at + 1 >= dir.size()) break;
    }
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
    if (ok && (st.st_mode & 077) != 0) ok = fchmod(fd, st.st_mode & 07700) == 0;
    close(fd);
    return ok;
}

bool path_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int create_private_file(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    if (write_all(fd, text.data(), text.size()) != 0 || fsync(fd) != 0) {
        const int error = errno;
        close(fd);
        unlink(path.c_str());
        errno = error;
        return -1;
    }
    return close(fd);
}

int restrict_to_owner(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : -1;
    struct stat st;
    int rc = fstat(fd, &st);
    if (rc == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
        rc = fchmod(fd, st.st_mode & 07700);
    close(fd);
    return rc;
}

bool file_readable(const std::string& path) {
    return access(path.c_str(), R_OK) == 0;
}

int create_unique_file(std::string* name, int suffix_length) {
    // mkostemps creates the file with O_EXCL and mode 0600.
    return mkostemps(name->data(), suffix_length, O_CLOEXEC);
}

int write_all(int fd, const void* data, size_t len) {
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < len) {
        const ssize_t n = write(fd, bytes + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

ssize_t read_some(int fd, void* buf, size_t size) {
    ssize_t n;
    do {
        n = read(fd, buf, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

int rewind_file(int fd) {
    return lseek(fd, 0, SEEK_SET) == 0 ? 0 : -1;
}

void close_file(int fd) {
    if (fd >= 0) close(fd);
}

}  // namespace quor
