// Saving a written deck: a file replaced whole or not at all.
//
// The path is opened as open(path, "wb") would open it, without creating or
// truncating anything: links are followed (a loop fails with the system's
// error, a link to nothing gets its target created), and what open() would
// refuse (a read-only file, a folder) is refused the same way.
//
// An ordinary regular file is replaced: the bytes go to a temporary file
// beside it, created readable by its owner alone, flushed to disk, given the
// owner, group and permission bits of the file it replaces and then renamed
// over it. A reader never sees a half-written deck, a failed save leaves the
// existing file as it was, and a crash just after the save leaves the new
// deck rather than an empty one.
//
// Anything else that exists is written through the opened descriptor, as a
// plain write would: a FIFO, a terminal or another device node, and a file
// that has no name to replace or is reached through the process's
// descriptor links (/dev/stdout, /proc/self/fd/N), whose other writers would
// otherwise go on writing into an orphaned file.
#pragma once

#include "write/style.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace vantrell_write::save {

// A save under way, run in steps. Opening a FIFO waits for a reader and
// writing to it can wait for the reader to catch up; a signal arriving then
// ends the step with `interrupted`, so that the caller can let its handlers
// run and then either resume or drop the save. Dropping an unfinished save
// removes its temporary file; what was already written through to a FIFO or
// device stays written.
class Saving {
public:
    enum class Step : std::uint8_t { done, interrupted };

    // `bytes` must outlive the save.
    Saving(std::string path, std::span<const std::uint8_t> bytes);
    Saving(const Saving&) = delete;
    Saving& operator=(const Saving&) = delete;
    ~Saving();

    // Runs the save on from where it stopped. Errors are `Error::io` with
    // the system's description; one met on the temporary file names it.
    Result<Step> resume();

private:
    enum class Stage : std::uint8_t { open, create_temp, write_temp, finish, write_through, done, failed };

    class Fd {
    public:
        Fd() = default;
        Fd(const Fd&) = delete;
        Fd& operator=(const Fd&) = delete;
        ~Fd() { reset(); }
        int get() const noexcept { return fd_; }
        void reset(int fd = -1) noexcept;
        // Closes now, returning the close's own failure (a delayed write
        // error) or 0.
        int close() noexcept;

    private:
        int fd_ = -1;
    };

    int open_target();
    int start_replacing(const std::string& name);
    int create_temp();
    int write_out(int fd);
    int finish();
    std::string temp_path() const;

    std::string path_;
    std::span<const std::uint8_t> bytes_;
    std::size_t written_ = 0;
    Stage stage_ = Stage::open;
    Fd target_, folder_, temp_;
    std::string folder_name_, base_, temp_name_;
    bool temp_exists_ = false;
    bool renaming_ = false; // the temporary file is whole and being put in place
    bool keeps_owner_ = false;
    mode_t mode_ = 0;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

// The whole save, resuming after every interruption: for callers with no
// signal handlers of their own to run.
Result<void> replace_file(std::string_view path, std::span<const std::uint8_t> bytes);

} // namespace vantrell_write::save
