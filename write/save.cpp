#include "write/save.h"

#include "core/encoding.h"
#include "core/error.h"
#include "core/hash.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <expected>
#include <optional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <linux/limits.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace vantrell_write::save {

namespace {

// As many links as the kernel follows in one path before giving ELOOP.
constexpr int MAX_LINKS = 40;
// Temporary names are drawn at random; a name already taken is only ever a
// leftover or a planted file, so a few more draws always find a free one.
constexpr int TEMP_ATTEMPTS = 100;
// New decisions between replacing and writing through for one save, each
// after a change someone else made to the name meanwhile (concurrent saves of
// one path need one or two); a name that never holds still is given up on.
constexpr int MAX_CHANGES = 16;
// The access ACL of a file, as an extended attribute: copied whole, never
// read.
constexpr const char* ACCESS_ACL = "system.posix_acl_access";

std::unexpected<Error> os_failure(int errnum) { return fail(Error::io(vantrell_core::error::os_error_text(errnum))); }

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool on_procfs(const std::string& folder) {
    struct statfs fs;
    return ::statfs(folder.c_str(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// The name a write through `path` lands on: links in its last component are
// followed one by one, as open() follows them, up to a name that is not a
// link (it may not exist: open(O_CREAT) creates it). `through_proc` when one
// of the links is a descriptor link of /proc, whose text is no path to
// replace.
struct Landing {
    std::string name;
    bool through_proc = false;
};

std::expected<Landing, int> landing(std::string path) {
    Landing out;
    for (int hop = 0; hop <= MAX_LINKS; ++hop) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) return std::unexpected(errno);
            // A missing descriptor of /proc is no name to create.
            out.through_proc = on_procfs(folder_of(path));
            out.name = std::move(path);
            return out;
        }
        if (!S_ISLNK(st.st_mode)) {
            out.name = std::move(path);
            return out;
        }
        const std::string folder = folder_of(path);
        if (on_procfs(folder)) {
            out.through_proc = true;
            out.name = std::move(path);
            return out;
        }
        // A link's text is shorter than PATH_MAX; a longer one could not be
        // followed by open() either.
        char text[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), text, sizeof text);
        if (n < 0) return std::unexpected(errno);
        if (static_cast<std::size_t>(n) >= sizeof text) return std::unexpected(ENAMETOOLONG);
        std::string target(text, static_cast<std::size_t>(n));
        path = target.starts_with('/') ? std::move(target) : folder + "/" + target;
    }
    return std::unexpected(ELOOP);
}

// `suffix` is a short literal.
std::string random_temp_name(const char* suffix) {
    const auto key = vantrell_core::hash::draw_key();
    char buf[40];
    std::snprintf(buf, sizeof buf, ".vantrell-%016llx%s", static_cast<unsigned long long>(key.k0 ^ key.k1), suffix);
    return buf;
}

// Creates a file of a new random name ending in `suffix` in `folder`, as
// open(O_CREAT) would with `mode`: its descriptor, or the error. `name` is
// the last name tried.
std::expected<int, int> create_beside(int folder, const char* suffix, mode_t mode, std::string& name) {
    for (int attempt = 0; attempt < TEMP_ATTEMPTS; ++attempt) {
        name = random_temp_name(suffix);
        const int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0) return fd;
        if (errno != EEXIST) return std::unexpected(errno);
    }
    return std::unexpected(EEXIST);
}

// The names of a file's extended attributes; none where the file system
// keeps none. The kernel bounds the list, so one call with a buffer of that
// bound never comes back too short.
std::optional<std::vector<std::string>> attribute_names(int fd) {
    std::vector<char> list(XATTR_LIST_MAX);
    const ssize_t n = ::flistxattr(fd, list.data(), list.size());
    if (n < 0) {
        if (errno == ENOTSUP) return std::vector<std::string>{};
        return std::nullopt;
    }
    std::vector<std::string> names;
    const std::string_view all(list.data(), static_cast<std::size_t>(n));
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = std::min(all.find('\0', at), all.size());
        names.emplace_back(all.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

} // namespace

void Saving::Fd::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int Saving::Fd::close() noexcept {
    const int fd = std::exchange(fd_, -1);
    // Never retried on EINTR: the descriptor is gone either way.
    return ::close(fd) != 0 && errno != EINTR ? errno : 0;
}

Saving::Saving(std::string path, std::span<const std::uint8_t> bytes) : path_(std::move(path)), bytes_(bytes) {}

Saving::~Saving() { drop_temp(); }

void Saving::drop_temp() noexcept {
    temp_.reset();
    if (temp_exists_) ::unlinkat(folder_.get(), temp_name_.c_str(), 0);
    temp_exists_ = false;
    temp_carried_ = false;
    synced_ = false;
    written_ = 0;
}

std::string Saving::temp_path() const {
    return folder_name_ == "/" ? "/" + temp_name_ : folder_name_ + "/" + temp_name_;
}

Result<Saving::Step> Saving::resume() {
    if (stage_ == Stage::decide && changes_ == 0) {
        if (path_.find('\0') != std::string::npos) {
            stage_ = Stage::failed;
            return fail(Error::io(std::string(vantrell_core::error::NUL_IN_PATH)));
        }
        if (path_.empty()) {
            stage_ = Stage::failed;
            return os_failure(ENOENT);
        }
    }
    while (stage_ != Stage::done) {
        const Stage at = stage_;
        int err = 0;
        switch (at) {
        case Stage::decide: err = decide(); break;
        case Stage::create_temp: err = create_temp(); break;
        case Stage::write_temp:
            err = write_out(temp_.get());
            if (err == 0) stage_ = Stage::finish;
            break;
        case Stage::finish: err = finish(); break;
        case Stage::write_through:
            if (written_ == 0) err = empty_target();
            if (err == 0) err = write_out(target_.get());
            if (err == 0) err = target_.close();
            if (err == 0) stage_ = Stage::done;
            break;
        case Stage::done: break;
        case Stage::failed: return os_failure(EINVAL);
        }
        if (err == EINTR) return Step::interrupted;
        if (err != 0) {
            stage_ = Stage::failed;
            // The rename's failure is the target's (a folder in its place,
            // a busy mount point), not the temporary file's.
            if (at == Stage::create_temp || at == Stage::write_temp || (at == Stage::finish && !renaming_))
                return fail(Error::io("temporary file " + vantrell_core::encoding::quoted(temp_path()) + ": " +
                                      vantrell_core::error::os_error_text(err)));
            return os_failure(err);
        }
    }
    return Step::done;
}

// Decides, on what the path leads to now, between replacing and writing
// through; run again whenever the name turns out to lead elsewhere.
int Saving::decide() {
    renaming_ = false;
    target_.reset();
    // No O_CREAT or O_TRUNC: this only looks at what is there, with the
    // permission checks of a write. O_NOCTTY keeps a terminal from becoming
    // ours.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno != ENOENT) return errno;
        // Nothing there, or a link to nothing: the name open() would create.
        auto land = landing(path_);
        if (!land) return land.error();
        if (land->through_proc) return ENOENT;
        if (base_of(land->name).empty()) return EISDIR;
        replaces_file_ = false;
        return start_replacing(land->name);
    }
    target_.reset(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return start_writing_through();
    // A descriptor link names the very file to write, named or not.
    auto land = landing(path_);
    if (land && land->through_proc) return start_writing_through();
    // Opened, but no longer at the name (another save's rename or a rotation
    // moved it since open() found it): writing into it would rewrite a file
    // that readers and a backup now hold. Decide again on what is there now.
    if (st.st_nlink == 0) return decide_again();
    // A name that cannot be followed here, as links that open() follows one
    // by one can join up to more than PATH_MAX, is no change by anyone: the
    // opened file is written as open() found it.
    if (!land) return start_writing_through();
    struct stat named;
    if (::lstat(land->name.c_str(), &named) != 0 || named.st_dev != st.st_dev || named.st_ino != st.st_ino)
        return decide_again();
    // A rename would split the names: the others would keep the old deck.
    if (st.st_nlink > 1) return start_writing_through();
    replaces_file_ = true;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    mode_ = st.st_mode & 07777;
    uid_ = st.st_uid;
    gid_ = st.st_gid;
    return start_replacing(land->name);
}

int Saving::decide_again() {
    if (++changes_ > MAX_CHANGES) return EAGAIN;
    stage_ = Stage::decide;
    return 0;
}

int Saving::start_replacing(const std::string& name) {
    const std::string folder_name = folder_of(name);
    const int fd = ::open(folder_name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    // A temporary file already written for the same name in the same folder
    // is kept under a new decision: only what it carries changes (made equal
    // to another replaced file's; never undone for a new name).
    struct stat was, now;
    if (temp_exists_ && (replaces_file_ || !temp_carried_) && base_ == base_of(name) &&
        ::fstat(folder_.get(), &was) == 0 && ::fstat(fd, &now) == 0 && was.st_dev == now.st_dev &&
        was.st_ino == now.st_ino) {
        ::close(fd);
        stage_ = written_ == bytes_.size() ? Stage::finish : Stage::write_temp;
        return 0;
    }
    drop_temp();
    folder_.reset(fd);
    folder_name_ = folder_name;
    base_ = base_of(name);
    stage_ = Stage::create_temp;
    return 0;
}

int Saving::start_writing_through() {
    drop_temp();
    stage_ = Stage::write_through;
    return 0;
}

int Saving::empty_target() {
    struct stat st;
    if (::fstat(target_.get(), &st) != 0) return errno;
    if (S_ISREG(st.st_mode) && ::ftruncate(target_.get(), 0) != 0) return errno;
    return 0;
}

int Saving::create_temp() {
    // Readable by its owner alone until it is whole: anyone else who could
    // open it now could read the deck long before it is meant to be theirs
    // (a private deck in a shared folder). The folder's default ACL, masked
    // by this mode, grants no one else anything either.
    const auto fd = create_beside(folder_.get(), ".tmp", S_IRUSR | S_IWUSR, temp_name_);
    if (!fd) return fd.error();
    temp_.reset(*fd);
    temp_exists_ = true;
    stage_ = Stage::write_temp;
    // The owner and group first, before any byte is written: a file they
    // cannot be given to (a group member saving another's deck) is written
    // through at once rather than after a whole copy.
    if (replaces_file_ && !take_owner()) return start_writing_through();
    return 0;
}

// Writes the bytes not yet written, EINTR when a signal came. A signal that
// arrives after some bytes went through ends the write short instead of
// failing it: that is also a pause, so that the caller can run its handlers
// before the next write waits again.
int Saving::write_out(int fd) {
    while (written_ < bytes_.size()) {
        const std::size_t asked = bytes_.size() - written_;
        const ssize_t n = ::write(fd, bytes_.data() + written_, asked);
        if (n < 0) return errno;
        if (n == 0) return EIO;
        written_ += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < asked) return EINTR;
    }
    return 0;
}

// Gives the temporary file the replaced one's owner and group; false when
// that cannot be done.
bool Saving::take_owner() {
    temp_carried_ = true;
    const int temp = temp_.get();
    struct stat st;
    if (::fstat(temp, &st) != 0) return false;
    return (st.st_uid == uid_ && st.st_gid == gid_) ||
           ::fchown(temp, st.st_uid != uid_ ? uid_ : static_cast<uid_t>(-1),
                    st.st_gid != gid_ ? gid_ : static_cast<gid_t>(-1)) == 0;
}

// Gives the whole temporary file what the replaced one has: owner and group
// (again, for a file kept under a new decision), then its extended attributes
// exactly (ACLs are attributes; one the folder's default ACL gave the new
// file goes), then the mode, last because a chown may clear set-id bits.
// False when any of it cannot be done or did not hold: the file would then
// be readable by others than before, or lose its owner.
bool Saving::carry() {
    if (!take_owner()) return false;
    const int temp = temp_.get();
    struct stat st;
    auto wanted = attribute_names(target_.get());
    auto had = attribute_names(temp);
    if (!wanted || !had) return false;
    for (const std::string& name : *had)
        if (std::find(wanted->begin(), wanted->end(), name) == wanted->end() && ::fremovexattr(temp, name.c_str()) != 0)
            return false;
    std::vector<char> value(XATTR_SIZE_MAX);
    for (const std::string& name : *wanted) {
        const ssize_t n = ::fgetxattr(target_.get(), name.c_str(), value.data(), value.size());
        if (n < 0 || ::fsetxattr(temp, name.c_str(), value.data(), static_cast<std::size_t>(n), 0) != 0) return false;
    }
    if (::fchmod(temp, mode_) != 0 || ::fstat(temp, &st) != 0) return false;
    return st.st_uid == uid_ && st.st_gid == gid_ && (st.st_mode & 07777) == mode_;
}

// Gives the whole temporary file, for a new name, the mode and access ACL a
// file created there by open(path, "wb") gets: those the folder's default
// ACL gives where it has one, else the umask's. The kernel works them out
// for an empty file created beside it with open()'s mode; nothing is
// computed here, so whatever rules the folder applies are followed. That
// file, readable by others but never written, is named apart from the
// temporary files that hold decks.
int Saving::take_new_permissions() {
    std::string name;
    const auto fd = create_beside(folder_.get(), ".probe", 0666, name);
    if (!fd) return fd.error();
    Fd probe;
    probe.reset(*fd);
    struct stat st;
    std::vector<char> acl(XATTR_SIZE_MAX);
    ssize_t n = -1;
    int err = ::fstat(probe.get(), &st) != 0 ? errno : 0;
    // None where the folder gives no ACL beyond the mode, or keeps none.
    if (err == 0 && (n = ::fgetxattr(probe.get(), ACCESS_ACL, acl.data(), acl.size())) < 0 && errno != ENODATA &&
        errno != ENOTSUP)
        err = errno;
    ::unlinkat(folder_.get(), name.c_str(), 0);
    if (err != 0) return err;
    const int temp = temp_.get();
    if (n >= 0 ? ::fsetxattr(temp, ACCESS_ACL, acl.data(), static_cast<std::size_t>(n), 0) != 0
               : ::fremovexattr(temp, ACCESS_ACL) != 0 && errno != ENODATA && errno != ENOTSUP)
        return errno;
    // After the ACL, whose mask and others' entries the mode bits are.
    return ::fchmod(temp, st.st_mode & 07777) != 0 ? errno : 0;
}

int Saving::finish() {
    bool carried = true;
    if (replaces_file_) carried = carry();
    else if (const int err = take_new_permissions(); err != 0) return err;
    // On disk before the rename, with what it carries: otherwise a crash can
    // leave the new name pointing at a file whose data never arrived. A file
    // that cannot stand in is not flushed, as it is written through instead.
    // Once is enough: under a new decision only what it carries changes, and
    // a crash losing that leaves the deck as one earlier decision made it.
    if (carried && !synced_) {
        if (::fsync(temp_.get()) != 0) return errno;
        synced_ = true;
    }
    renaming_ = true;
    // The name must still lead where it did when the decision was made: the
    // replaced file, or nothing for a new name (or when the replaced file
    // was moved away since, as a backup rotation does: it keeps its bytes
    // and the deck takes the name). Anything else, such as another save's
    // deck or a link put in its place, is decided on again, so a link is
    // followed as open() follows it and never replaced. The rename is no
    // compare-and-swap: a change between this check and the rename is
    // still replaced.
    struct stat now;
    if (::fstatat(folder_.get(), base_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!replaces_file_ || now.st_dev != dev_ || now.st_ino != ino_) return decide_again();
        if (!carried) return start_writing_through();
    } else if (errno != ENOENT) {
        return errno;
    } else if (!carried) {
        // The file that could not be stood in for is gone from the name: the
        // deck takes the name as a new file would.
        return decide_again();
    }
    if (::renameat(folder_.get(), temp_name_.c_str(), folder_.get(), base_.c_str()) != 0) return errno;
    temp_exists_ = false;
    temp_.reset();
    target_.reset();
    stage_ = Stage::done;
    // Makes the rename durable, at best effort. Its failure is not reported:
    // the new deck is in place and whole, the old file is gone, and an error
    // would tell the caller the save failed and the old file was kept. Only a
    // crash before the folder reaches the disk could bring the old file back.
    const int dir = ::openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

Result<void> replace_file(std::string_view path, std::span<const std::uint8_t> bytes) {
    Saving saving{std::string(path), bytes};
    for (;;) {
        auto step = saving.resume();
        if (!step) return fail(std::move(step.error()));
        if (*step == Saving::Step::done) return {};
    }
}

} // namespace vantrell_write::save
