// Saving a written deck: a file replaced whole or not at all, and still
// readable by exactly those who could read it before.
//
// The path is opened as open(path, "wb") would open it, without creating or
// truncating anything: links are followed (a loop fails with the system's
// error, a link to nothing gets its target created), and what open() would
// refuse (a read-only file, a folder) is refused the same way.
//
// A regular file is replaced when the new file can carry everything the old
// one has: the bytes go to a temporary file beside it, created readable by
// its owner alone, which takes the old file's owner and group before them
// and its permission bits and extended attributes (ACLs among them) after,
// and is then flushed to disk and renamed over it. A reader never sees a
// half-written deck, a failed save leaves the existing file as it was, and a
// crash just after the save leaves the new deck rather than an empty one. A
// new name is created the same way, its whole temporary file then given the
// mode and access ACL that a file created there by open(path, "wb") gets
// (from the folder's default ACL where it has one, else the umask).
//
// Anything else that exists is written through the opened descriptor, as a
// plain write would: a FIFO, a terminal or another device node; a file
// reached through the process's descriptor links (/dev/stdout,
// /proc/self/fd/N), whose other writers would otherwise go on writing into an
// orphaned file; and a regular file the new one cannot stand in for, because
// it has more than one name or its owner, group, mode or an attribute cannot
// be given to a file we create.
//
// A regular file is never written once it has lost its name (another save's
// rename or a backup rotation moved it): the decision is made again on what
// the name leads to now, and just before the rename the name is checked to
// still lead where it did when the decision was made.
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
    enum class Stage : std::uint8_t { decide, create_temp, write_temp, finish, write_through, done, failed };

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

    int decide();
    int decide_again();
    int start_replacing(const std::string& name);
    int start_writing_through();
    // Empties a regular target before it is written through.
    int empty_target();
    void drop_temp() noexcept;
    int create_temp();
    int take_new_permissions();
    int write_out(int fd);
    bool take_owner();
    bool carry();
    int finish();
    std::string temp_path() const;

    std::string path_;
    std::span<const std::uint8_t> bytes_;
    std::size_t written_ = 0;
    Stage stage_ = Stage::decide;
    int changes_ = 0; // of the name by others, each followed by a new decision
    // The file written through, or the one replaced (read for what the new
    // file must carry); closed for a new name.
    Fd target_, folder_, temp_;
    std::string folder_name_, base_, temp_name_;
    bool temp_exists_ = false;
    bool synced_ = false;        // the temporary file's bytes are on disk
    bool temp_carried_ = false;  // and it was given a replaced file's owner and attributes
    bool renaming_ = false; // the temporary file is whole and being put in place
    // What the name held when the decision was made: the replaced file
    // (device, inode, owner, group, mode), or nothing.
    bool replaces_file_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    mode_t mode_ = 0;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

// The whole save, resuming after every interruption: for callers with no
// signal handlers of their own to run.
Result<void> replace_file(std::string_view path, std::span<const std::uint8_t> bytes);

} // namespace vantrell_write::save
