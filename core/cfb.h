// Compound files: the sector-allocated container of legacy binary decks and of
// password-encrypted packages.
//
// The whole file is held in memory (legacy decks are small and every stream of
// interest is read whole anyway). Opening validates the header, loads the FAT
// through the DIFAT and reads the directory; the mini stream and mini FAT are
// loaded too, but a fault there is kept and reported only when a small stream
// is read, so that a deck whose large streams are intact stays readable.
//
// Nothing read from the file is trusted: every sector number is range-checked,
// every chain is walked with a visited bitmap, stream sizes are bounded by the
// bytes that could hold them, and the directory tree is walked iteratively with
// a visited set, so a hostile file gives an error, never a hang or an
// over-read. Names are compared case-insensitively, as the format orders them.
#pragma once

#include "core/error.h"
#include "core/zip.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vantrell_core::cfb {

// Special sector numbers.
inline constexpr std::uint32_t MAXREGSECT = 0xFFFFFFFA;
inline constexpr std::uint32_t DIFSECT = 0xFFFFFFFC;
inline constexpr std::uint32_t FATSECT = 0xFFFFFFFD;
inline constexpr std::uint32_t ENDOFCHAIN = 0xFFFFFFFE;
inline constexpr std::uint32_t FREESECT = 0xFFFFFFFF;
// No directory entry (sibling and child links).
inline constexpr std::uint32_t NOSTREAM = 0xFFFFFFFF;

// Streams below this size live in the mini stream.
inline constexpr std::uint64_t MINI_STREAM_CUTOFF = 4096;

// True when the bytes begin D0 CF 11 E0: what tells a compound file apart from
// a ZIP package (the first half of the eight-byte signature is enough and is
// what callers that refuse compound files test).
bool has_signature(std::span<const std::uint8_t> bytes) noexcept;

enum class ObjectType : std::uint8_t { unused = 0, storage = 1, stream = 2, root = 5 };

struct DirEntry {
    std::u16string raw_name; // UTF-16 code units as stored, without the NUL
    std::string name;        // the same as UTF-8 (unpaired surrogates as U+FFFD)
    ObjectType type = ObjectType::unused;
    std::uint32_t left = NOSTREAM;
    std::uint32_t right = NOSTREAM;
    std::uint32_t child = NOSTREAM;
    std::uint32_t start_sector = ENDOFCHAIN;
    std::uint64_t size = 0; // for a version 3 file only the low 32 bits count

    bool is_storage() const noexcept {
        return type == ObjectType::storage || type == ObjectType::root;
    }
    bool is_stream() const noexcept { return type == ObjectType::stream; }
};

// Leaves elements made without a value uninitialised, so a buffer about to
// be filled by a read is not zeroed first.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using FileBytes = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;

class Compound {
public:
    // Parses a copy of the file's bytes. Errors: "compound file: {what}".
    static Result<Compound> parse(const std::vector<std::uint8_t>& file) {
        return parse_file(FileBytes(file.begin(), file.end()));
    }
    static Result<Compound> parse(std::span<const std::uint8_t> file) {
        return parse_file(FileBytes(file.begin(), file.end()));
    }

    // Reads the whole source into memory and parses it.
    static Result<Compound> open(const zip::Source& source);

    std::uint32_t sector_size() const noexcept { return sector_size_; }
    std::uint16_t major_version() const noexcept { return major_; }
    // Directory entries by stream id; entry 0 is the root storage.
    const std::vector<DirEntry>& entries() const noexcept { return entries_; }
    const std::vector<std::uint32_t>& fat() const noexcept { return fat_; }
    const std::vector<std::uint32_t>& mini_fat() const noexcept { return mini_fat_; }
    const std::vector<std::uint8_t>& mini_stream() const noexcept { return mini_stream_; }

    // The ids of the entries in the child tree of a storage, in tree order
    // (left subtree, entry, right subtree). Links that leave the directory,
    // point back into the walk or at unused entries are skipped.
    std::vector<std::uint32_t> children(std::uint32_t storage) const;

    // The child of a storage with this name (UTF-8), ignoring case.
    std::optional<std::uint32_t> child(std::uint32_t storage, std::string_view name) const;

    // An entry by path below the root: names separated by "/", matched ignoring
    // case; every step but the last must be a storage. "" is the root.
    std::optional<std::uint32_t> find(std::string_view path) const;

    // The contents of a stream entry, exactly its size.
    Result<std::vector<std::uint8_t>> read_stream(std::uint32_t id) const;
    // The contents of the stream at a path; "compound file: no stream {path}"
    // when the path names no stream.
    Result<std::vector<std::uint8_t>> read_stream(std::string_view path) const;

private:
    struct Header;

    Compound() = default;
    // Takes the bytes over.
    static Result<Compound> parse_file(FileBytes file);

    std::uint64_t sector_count() const noexcept;
    const std::uint8_t* sector(std::uint32_t n) const noexcept;
    Result<std::vector<std::uint32_t>> chain(std::uint32_t start, const std::vector<std::uint32_t>& table,
                                             std::uint64_t limit, std::uint64_t need,
                                             const char* what) const;
    Result<void> load_fat(const Header& h);
    Result<void> load_directory(std::uint32_t first_sector);
    Result<void> load_mini(std::uint32_t first_mini_fat_sector);

    FileBytes file_; // padded to whole sectors (with zeros)
    std::uint32_t sector_size_ = 512;
    std::uint16_t major_ = 3;
    std::vector<std::uint32_t> fat_;
    std::vector<std::uint32_t> mini_fat_;
    std::vector<std::uint8_t> mini_stream_;
    std::optional<Error> mini_error_;
    std::vector<DirEntry> entries_;
};

} // namespace vantrell_core::cfb
