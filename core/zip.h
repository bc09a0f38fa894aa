// Byte sources and the ZIP archive reader.
//
// A `Source` is random access over the bytes of a deck: a file read on demand
// by positioned reads, or a vector handed over by the caller. Sources are
// shared (std::shared_ptr) because an archive, the package built on it and
// every view of that package read through the same one.
//
// `Archive::open` reads the central directory once and keeps the entries; it
// never reads entry data. It tolerates what real-world writers and damaged
// copies produce, and records every repair so the checker can report it:
//   - bytes before the archive (self-extractor stubs, mail headers): every
//     stored offset is shifted by `prefix_len()`;
//   - a trailing comment and garbage after the end record;
//   - ZIP64 locator, end record and extra fields;
//   - a central directory that ends early (`incomplete()`), or that cannot be
//     used at all, in which case entries are rebuilt by scanning local file
//     headers (`rebuilt()`);
//   - entries whose data overlaps: of entries sharing one local header only
//     the first listed is read (`Entry::overlaps`), and an entry's bytes end
//     at the next intact local header of another entry, whatever its sizes
//     claim. No byte is then read for two entries, so reading every entry
//     costs at most the file's size in compressed input, and a record that
//     lies about its size harms only itself.
// Every length, offset and count taken from the file is checked against the
// source before use, and no allocation is sized by a file field alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/name_index.h"
#include "core/once.h"

namespace vantrell_core::zip {

// Random-access bytes. Implementations are immutable after construction and
// safe to read from several threads at once.
class Source {
public:
    virtual ~Source() = default;

    virtual std::uint64_t len() const noexcept = 0;
    bool is_empty() const noexcept { return len() == 0; }
    // Fills all of `out` from `offset`; running out of bytes is an error.
    virtual Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
    // The whole contents, only for a source that holds them in memory.
    virtual std::optional<std::span<const std::uint8_t>> as_bytes() const noexcept {
        return std::nullopt;
    }

protected:
    Source() = default;
    Source(const Source&) = default;
    Source& operator=(const Source&) = default;
};

// A file opened read-only; its length is taken once when it is opened. A
// file of at most WHOLE_FILE_NBYTES is read whole then and its descriptor
// closed; a larger one is read on demand, and its descriptor closed when the
// last holder of the source lets go of it.
class FileSource final : public Source {
public:
    // Small decks are read in one go: a read per entry costs more in system
    // calls than copying their few media bytes. Larger files are mostly
    // media, which rendering text must not load.
    static constexpr std::uint64_t WHOLE_FILE_NBYTES = 1 << 20;

    // I/O error when the file cannot be opened or examined, or when the path
    // holds a NUL byte (which the OS would silently cut the name at).
    static Result<std::shared_ptr<FileSource>> open(std::string_view path);

    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    std::uint64_t len() const noexcept override { return len_nbytes_; }
    Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) const override;
    std::optional<std::span<const std::uint8_t>> as_bytes() const noexcept override;

private:
    struct Token {};

public:
    FileSource(Token, int fd, std::uint64_t len_nbytes) noexcept
        : fd_(fd), len_nbytes_(len_nbytes) {}

private:
    int fd_; // -1 once the whole file is in `whole_`
    std::uint64_t len_nbytes_;
    std::unique_ptr<std::uint8_t[]> whole_;
};

// Bytes held in memory; the caller's vector is moved in, never copied.
class MemorySource final : public Source {
public:
    explicit MemorySource(std::vector<std::uint8_t> bytes) noexcept : bytes_(std::move(bytes)) {}

    std::uint64_t len() const noexcept override { return bytes_.size(); }
    Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) const override;
    std::optional<std::span<const std::uint8_t>> as_bytes() const noexcept override {
        return std::span<const std::uint8_t>(bytes_);
    }

private:
    std::vector<std::uint8_t> bytes_;
};

// One item of the archive, as its central directory record gives it (or, in a
// rebuilt archive, as its local header and data descriptor give it).
// The names are views into the archive, which holds them for its lifetime.
struct Entry {
    std::string_view name;      // the raw name decoded as UTF-8, invalid sequences as U+FFFD
    std::string_view raw_name;  // the name bytes exactly as stored
    std::uint64_t compressed_size = 0;    // after any ZIP64 extra field
    std::uint64_t uncompressed_size = 0;  // after any ZIP64 extra field
    std::uint32_t crc32 = 0;
    std::uint16_t flags = 0;  // general-purpose bit flags
    std::uint16_t method = 0;
    std::uint16_t version_needed = 0;        // the whole 16-bit field
    std::uint64_t local_header_offset = 0;   // as stored; add prefix_len() for a source offset
    // Its local header is the one of an entry listed before it: the two
    // would read the same bytes, and only the first listed is read. Entries
    // that cannot be read anyway (encrypted, an unsupported method, stored
    // with differing sizes, data past the end) share nothing.
    bool overlaps = false;
};

// A local file header as stored: the sizes are the 32-bit fields
// (0xFFFFFFFF where ZIP64 is used, 0 under a data descriptor).
struct LocalHeader {
    std::string raw_name;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t compressed_size = 0;
    std::uint32_t uncompressed_size = 0;
    // Source offset of the byte after the header's name and extra field.
    std::uint64_t data_offset = 0;
};

class Archive {
public:
    // A copy's entries point into its own copy of the names.
    Archive(const Archive& other);
    Archive& operator=(const Archive& other);
    Archive(Archive&&) noexcept = default;
    Archive& operator=(Archive&&) noexcept = default;

    // "not a zip archive" when the source has neither an end record nor a
    // local file header; "zip: ..." or "unsupported: ..." for other damage.
    static Result<Archive> open(std::shared_ptr<Source> source);
    static Result<Archive> open_path(std::string_view path);

    const std::vector<Entry>& entries() const noexcept { return entries_; }
    // Index of the first entry with this name.
    std::optional<std::size_t> find(std::string_view name) const;
    // Positions of entries whose name repeats an earlier entry's, in order.
    const std::vector<std::size_t>& duplicates() const noexcept { return duplicates_; }
    // Bytes found before the archive; every stored offset is shifted by it.
    std::uint64_t prefix_len() const noexcept { return prefix_len_; }
    // Entry count stated by the end record (0 when none was found).
    std::uint64_t declared_entries() const noexcept { return declared_entries_; }
    // The central directory was unusable; entries come from local headers.
    bool rebuilt() const noexcept { return rebuilt_; }
    // The central directory held fewer readable records than it declared.
    bool incomplete() const noexcept { return incomplete_; }
    const std::shared_ptr<Source>& source() const noexcept { return source_; }

    // Reads the entry's local file header: "zip: bad local header signature"
    // or "zip: local header out of bounds" at the header's source offset.
    Result<LocalHeader> local_header(const Entry& entry) const;
    // Replaces `out` with the entry's uncompressed bytes (stored or
    // deflated). The CRC-32 is not verified. An entry that overlaps an
    // earlier one fails with the overlapping-entry error before any read;
    // one whose data would have to run into another entry's local header
    // fails with "zip: entry {name} runs into the local header of another
    // entry at offset {offset}".
    Result<void> read(const Entry& entry, bytes::Buffer& out) const;
    // The source offset of the first intact local header (its signature in
    // place) of another readable entry after the entry's own header and
    // before source offset `end`: where the entry's bytes stop.
    Result<std::optional<std::uint64_t>> header_before(const Entry& entry, std::uint64_t end) const;

private:
    Archive() = default;

    std::shared_ptr<Source> source_;
    std::vector<Entry> entries_;
    // Every entry's name bytes, stored and (when not valid UTF-8) decoded,
    // end to end: one buffer instead of a string or two per entry. Moving
    // the vector keeps the bytes where the entries' views point.
    std::vector<char> names_;
    name_index::Index<name_index::Exact> by_name_;
    std::vector<std::size_t> duplicates_;
    // Source offsets of the local headers of readable entries, ascending,
    // each once.
    std::vector<std::uint64_t> starts_;
    // Those of `starts_` whose signature is in place, found once, on the
    // first size that runs past the next header: every later search is then
    // a lookup, however many offsets without a header records point at.
    std::unique_ptr<once::OnceCell<std::vector<std::uint64_t>>> intact_starts_ =
        std::make_unique<once::OnceCell<std::vector<std::uint64_t>>>();
    std::uint64_t prefix_len_ = 0;
    std::uint64_t declared_entries_ = 0;
    bool rebuilt_ = false;
    bool incomplete_ = false;
};

} // namespace vantrell_core::zip
