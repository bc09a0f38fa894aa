// The OPC package: parts of a ZIP archive by part name.
//
// A package is split in two. The `Core` is built once when the archive is
// indexed and is immutable afterwards, except for two members computed on
// first use in once-only cells (the defect record and the parsed content
// types; core/once.h), so any number of threads may share it. A `Package` is a cheap view
// over a shared core plus two caches that belong to one thread: parsed
// relationships by source and part bytes by part index. Making a view costs
// nothing and cannot fail; each thread (each call, for the Python layer)
// makes its own.
//
// Part table. The part name of an item is "/" followed by its name. Items
// named "{part}/[n].piece" and "{part}/[n].last.piece" are the pieces of one
// interleaved part, read by concatenating them in piece order. The table
// lists single-item parts in central-directory order, then interleaved parts
// sorted by name; directory items (names ending in "/"), the content types
// stream and later items repeating an earlier item's exact name are left out.
#pragma once

#include "core/budget.h"
#include "core/bytes.h"
#include "core/error.h"
#include "core/hash.h"
#include "core/name_index.h"
#include "core/once.h"
#include "core/opc.h"
#include "core/zip.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vantrell_core::package {

inline constexpr std::string_view CONTENT_TYPES_NAME = "[Content_Types].xml";

struct Part {
    std::string_view name;           // "/" + item name, letter case as stored; held by the core
    std::size_t entry = 0;           // the single entry, or the first piece's
    std::vector<std::size_t> pieces; // entries of an interleaved part in piece order
    // Sums over the pieces for an interleaved part (saturating).
    std::uint64_t size = 0;
    std::uint64_t compressed_size = 0;

    bool interleaved() const noexcept { return !pieces.empty(); }
};

// What reading a part charges to a ledger (see Package::set_ledger): its
// inflated size and a copy of its stored bytes.
std::uint64_t read_cost(const Part& part) noexcept;

struct PackageDefects {
    bool content_types_missing = false;
    std::optional<std::string> content_types_case;       // stored name, when only its case differs
    std::optional<std::string> content_types_unreadable; // display text of the read error
    std::optional<std::pair<std::string, std::uint64_t>> content_types_error; // XML message, offset
    std::vector<std::pair<std::string, opc::PartNameError>> invalid_names;
    // Pairs of positions in the part table: a name may be one of many pairs
    // (a base of every name below it), which then hold no copies of it.
    std::vector<std::pair<std::size_t, std::size_t>> collisions; // (first, second)
    std::vector<std::pair<std::size_t, std::size_t>> derivable;  // (derived, base)
    std::vector<std::string> directories;       // item names as stored
    std::vector<std::string> incomplete_pieces; // interleaved part names
};

struct ParsedContentTypes {
    opc::ContentTypes types; // empty when the stream is missing or broken
    // Display text of the error that kept the stream from being used.
    std::optional<std::string> error;
    // The same failure split by kind, for the defect record.
    std::optional<std::string> unreadable;
    std::optional<xml::XmlError> xml_error;
};

// The most an XML part may inflate to before the reader and the checker
// refuse to parse it: real decks keep their largest part to a few megabytes,
// and a hostile one must not cost gigabytes to be turned away. Media read as
// raw bytes is not limited.
inline constexpr std::uint64_t MAX_XML_PART_NBYTES = std::uint64_t{256} << 20;
inline constexpr std::uint64_t NO_SIZE_LIMIT = UINT64_MAX;

// What reading something that inflates to `size` bytes from
// `compressed_size` stored (a part, or one entry of the archive) charges
// when it is read to be parsed: both, as read_cost; nothing when it is over
// MAX_XML_PART_NBYTES, as it is then refused unread.
std::uint64_t parse_cost(std::uint64_t size, std::uint64_t compressed_size) noexcept;
inline std::uint64_t parse_cost(const Part& part) noexcept { return parse_cost(part.size, part.compressed_size); }

// Part bytes a view keeps for reuse, over all its parts: a pass reads many
// parts through one view, which must not hold them all until it ends.
inline constexpr std::uint64_t MAX_CACHED_NBYTES = std::uint64_t{64} << 20;
static_assert(MAX_CACHED_NBYTES < MAX_XML_PART_NBYTES);

// Shared part bytes.
using Bytes = std::shared_ptr<const bytes::Buffer>;

inline std::string_view as_text(std::span<const std::uint8_t> bytes) noexcept {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

class Core {
public:
    explicit Core(zip::Archive archive);
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    const zip::Archive& archive() const noexcept { return archive_; }
    const std::vector<Part>& parts() const noexcept { return parts_; }
    // The content types stream's entry: the exactly named one, else the first
    // named so ignoring ASCII case.
    std::optional<std::size_t> content_types_entry() const noexcept { return content_types_entry_; }
    std::optional<std::size_t> part_index(std::string_view name) const;

    const ParsedContentTypes& parsed_content_types() const;
    const PackageDefects& defects() const;
    // Whether the content types stream was parsed already, and what reading
    // it for that charges (nothing for a stream over the limit, which is
    // refused unread).
    bool content_types_parsed() const noexcept { return content_types_.done(); }
    std::uint64_t content_types_cost() const noexcept;

    // The entries' decompressed bytes appended to `out`. A part whose
    // recorded size passes `max_nbytes` is refused before anything is
    // inflated: the decoder never writes past an entry's recorded size, so
    // that size bounds what a read could give.
    Result<void> read_entries(const Part& part, bytes::Buffer& out,
                              std::uint64_t max_nbytes = NO_SIZE_LIMIT) const;

private:
    zip::Archive archive_;
    std::vector<Part> parts_;
    name_index::Index<name_index::PartName> by_lower_name_; // first part of each name ignoring case
    std::optional<std::size_t> content_types_entry_;
    std::vector<std::string> incomplete_; // found while indexing, reported in the defects
    // The part names, end to end: one allocation instead of one per part.
    std::unique_ptr<char[]> names_;

    mutable once::OnceCell<ParsedContentTypes> content_types_;
    mutable once::OnceCell<PackageDefects> defects_;
};

// Whether a view keeps what it read for later calls.
enum class Keep : bool { no, yes };

// The parts read for parsing through the views of one pass (see
// Package::set_reads), each counted once by its bytes as parsed, however
// many views read it and how often. Any number of views may count at once.
class ReadSet {
public:
    explicit ReadSet(std::size_t parts)
        : seen_(std::make_unique<std::atomic<bool>[]>(parts)), parts_(parts) {}

    void add(std::size_t index, std::uint64_t nbytes) noexcept {
        if (index >= parts_ || seen_[index].exchange(true, std::memory_order_relaxed)) return;
        nbytes_.fetch_add(nbytes, std::memory_order_relaxed);
    }
    std::uint64_t nbytes() const noexcept { return nbytes_.load(std::memory_order_relaxed); }

private:
    std::unique_ptr<std::atomic<bool>[]> seen_;
    std::size_t parts_;
    std::atomic<std::uint64_t> nbytes_{0};
};

class Package {
public:
    // A view over an existing core; no I/O, cannot fail.
    explicit Package(std::shared_ptr<const Core> core) noexcept : core_(std::move(core)) {}

    // The compound-file error for data beginning D0 CF 11 E0; otherwise the
    // bytes are opened as a ZIP archive in memory and indexed.
    static Result<Package> from_bytes(std::vector<std::uint8_t> data);
    // Indexes an opened archive, which the package takes over.
    static Result<Package> from_archive(zip::Archive archive);
    // Opens a file by positioned reads. When it is not a ZIP archive, its
    // first four bytes (and only those) tell a compound file apart, which
    // gives the compound-file error instead of "not a zip archive".
    static Result<Package> open_path(std::string_view path);

    const std::shared_ptr<const Core>& core() const noexcept { return core_; }
    const zip::Archive& archive() const noexcept { return core_->archive(); }
    const std::vector<Part>& parts() const noexcept { return core_->parts(); }

    // The part whose name equals `name` ignoring ASCII case; nothing else is
    // normalised.
    std::optional<std::size_t> part_index(std::string_view name) const { return core_->part_index(name); }

    // The part's bytes to be parsed, UTF-16 XML converted to UTF-8; cached in
    // this view while the cache holds less than MAX_CACHED_NBYTES. "missing
    // part: {name}" for a name that is no part; a part that would inflate,
    // or whose UTF-8 form would grow, past `max_nbytes` is refused.
    Result<Bytes> read_part(std::string_view name, std::uint64_t max_nbytes = MAX_XML_PART_NBYTES);
    // The same for a part parsed once and dropped: served from the cache when
    // there, never put in it.
    Result<Bytes> read_part_once(std::string_view name);
    // The raw decompressed bytes appended to `out`, not cached; a caller
    // that parses them passes MAX_XML_PART_NBYTES.
    Result<void> read_part_bytes(std::string_view name, bytes::Buffer& out,
                                 std::uint64_t max_nbytes = NO_SIZE_LIMIT) const;
    // Puts the bytes of part `index`, exactly as read_part gives them, in this
    // view's cache, for a caller that has decompressed the part already;
    // read_part and rels then use them. An index out of range is ignored.
    void cache_part(std::size_t index, Bytes text);

    // The relationships of a part, or of the package for "/". No
    // relationships part gives an empty set. Successes are cached in this
    // view by the ASCII-lower-cased source, unless `keep` says no (a caller
    // reading every slide's once); errors are not.
    Result<std::shared_ptr<const opc::Relationships>> rels(std::string_view source, Keep keep = Keep::yes);
    // The part name an internal relationship of `source` designates; nullopt
    // for an unknown Id or an external target.
    Result<std::optional<std::string>> resolve(std::string_view source, std::string_view id);

    // Parsed once per package; the first parse is charged to this view's
    // ledger, and throws budget::Stopped when the charge was refused.
    const ParsedContentTypes& parsed_content_types() const;
    const PackageDefects& defects() const;

    // Parts read for parsing through this view (read_part, read_part_once,
    // rels) are charged to `ledger` first, by what reading them can
    // allocate; none (the default) charges nothing. See core/budget.h.
    void set_ledger(budget::Ledger* ledger) noexcept { ledger_ = ledger; }
    budget::Ledger* ledger() const noexcept { return ledger_; }

    // Parts read for parsing through this view (read_part, read_part_once,
    // rels), from its cache or not, are counted in `reads`; none (the
    // default) counts nothing.
    void set_reads(ReadSet* reads) noexcept { reads_ = reads; }
    ReadSet* reads() const noexcept { return reads_; }

private:
    std::shared_ptr<const Core> core_;
    budget::Ledger* ledger_ = nullptr;
    ReadSet* reads_ = nullptr;
    struct CaselessHasher {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return static_cast<std::size_t>(name_index::AsciiCaseless::hash(s));
        }
    };
    struct CaselessEqual {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const noexcept {
            return name_index::AsciiCaseless::equal(a, b);
        }
    };
    // By source as first asked for, matched ignoring ASCII case. A key views
    // the `source` of its own value, which the entry keeps alive.
    std::unordered_map<std::string_view, std::shared_ptr<const opc::Relationships>, CaselessHasher, CaselessEqual>
        rels_cache_;
    std::string rels_name_; // room for the relationships part name rels() looks up
    std::unordered_map<std::size_t, Bytes> bytes_cache_;
    std::uint64_t cached_nbytes_ = 0; // what read_part has put in bytes_cache_

    Result<Bytes> read_text(std::size_t index, std::uint64_t max_nbytes) const;
};

// While one lives, what a view reads for parsing is charged to a ledger of
// its own: one step, which `stop` (when set, and polled by this thread)
// ends early, settled when it ends. The view's ledger before is put back.
class Charging {
public:
    Charging(Package& view, budget::Stop* stop) noexcept : view_(view), previous_(view.ledger()) {
        ledger_.watch(stop, true);
        view_.set_ledger(&ledger_);
    }
    Charging(const Charging&) = delete;
    Charging& operator=(const Charging&) = delete;
    ~Charging() { view_.set_ledger(previous_); }

private:
    Package& view_;
    budget::Ledger* previous_;
    budget::Ledger ledger_;
};

// The error of a read whose charge was refused: the pass was stopped.
Error stopped();

// "unsupported: xml part {name} inflates to {nbytes} bytes, over the limit
// of {max_nbytes}".
Error too_large(std::string_view name, std::uint64_t nbytes, std::uint64_t max_nbytes);

} // namespace vantrell_core::package
