#include "write/save.h"

#include "core/error.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrell_write::save {

namespace {

std::unexpected<Error> os_failure(int errnum) { return fail(Error::io(vantrell_core::error::os_error_text(errnum))); }

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
    const std::uint8_t* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, next, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        next += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Closes `fd`, returning `err` or, when that is 0, the close's own failure.
// A failing close can report a delayed write error (NFS, full disk); it is
// never retried, as the descriptor is gone either way.
int close_keeping(int fd, int err) {
    if (::close(fd) != 0 && err == 0 && errno != EINTR) return errno;
    return err;
}

// The file that a save to `path` replaces: a symbolic link is followed, as
// a write through it would be.
std::string replaced_file(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

// Writes into the existing node at `path`, which is not a regular file.
// nullopt when it turned out to be one after all (swapped in since it was
// looked at): that one is replaced, never overwritten in place.
std::optional<Result<void>> write_in_place(const std::string& path, std::span<const std::uint8_t> bytes) {
    // No O_CREAT or O_TRUNC: the node exists, and truncating means nothing
    // to a FIFO or a device. O_NOCTTY keeps a terminal from becoming ours.
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return os_failure(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) return os_failure(close_keeping(fd, errno));
    if (S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    int err = write_all(fd, bytes) ? 0 : errno;
    err = close_keeping(fd, err);
    if (err != 0) return os_failure(err);
    return Result<void>{};
}

// Makes the rename into `dir` durable. Best effort where the system cannot
// (a folder that may not be opened for reading, a file system that does not
// sync folders): the deck is in place and whole by then, only the rename
// might be undone by a crash, leaving the old file.
int sync_folder(const std::string& dir) {
    const int fd = open_retrying(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    int err = ::fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP ? 0 : errno;
    ::close(fd);
    return err;
}

Result<void> replace_whole(const std::string& path, std::span<const std::uint8_t> bytes) {
    struct stat old;
    const bool replaces = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = dir + ".vantrell-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
        fd = open_retrying(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return os_failure(errno);
    }
    if (fd < 0) return os_failure(EEXIST);

    int err = 0;
    if (replaces && ::fchmod(fd, old.st_mode & 07777) != 0) err = errno;
    if (err == 0 && !write_all(fd, bytes)) err = errno;
    // On disk before the rename: otherwise a crash can leave the new name
    // pointing at a file whose data never arrived.
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    err = close_keeping(fd, err);
    if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        return os_failure(err);
    }
    if (const int synced = sync_folder(dir); synced != 0) return os_failure(synced);
    return {};
}

} // namespace

Result<void> replace_file(std::string_view given, std::span<const std::uint8_t> bytes) {
    if (given.find('\0') != std::string_view::npos)
        return fail(Error::io(std::string(vantrell_core::error::NUL_IN_PATH)));
    if (given.empty()) return os_failure(ENOENT);
    const std::string path(given);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (auto written = write_in_place(path, bytes)) return std::move(*written);
    }
    return replace_whole(replaced_file(path), bytes);
}

} // namespace vantrell_write::save
