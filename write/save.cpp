#include "write/save.h"

#include "core/error.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
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

// The file that a save to `path` replaces: a symbolic link is followed, as
// a write through it would be.
std::string replaced_file(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

} // namespace

Result<void> replace_file(std::string_view given, std::span<const std::uint8_t> bytes) {
    if (given.find('\0') != std::string_view::npos)
        return fail(Error::io(std::string(vantrell_core::error::NUL_IN_PATH)));
    if (given.empty()) return os_failure(ENOENT);
    const std::string path = replaced_file(std::string(given));
    struct stat old;
    const bool replaces = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = dir + ".vantrell-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
        do {
            fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0 && errno != EEXIST) return os_failure(errno);
    }
    if (fd < 0) return os_failure(EEXIST);

    int err = 0;
    if (replaces && ::fchmod(fd, old.st_mode & 07777) != 0) err = errno;
    if (err == 0 && !write_all(fd, bytes)) err = errno;
    // A failing close can report a delayed write error (NFS, full disk); it
    // is never retried, as the descriptor is gone either way.
    if (::close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
    if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        return os_failure(err);
    }
    return {};
}

} // namespace vantrell_write::save
