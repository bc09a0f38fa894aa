// Package indexing, part reading, relationships and defects.
#include "core/package.h"

#include "core/cfb.h"
#include "core/encoding.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

namespace vantrell_core::package {

namespace {

bool iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

struct Piece {
    std::string_view part; // item name of the whole part
    std::uint32_t number = 0;
    bool last = false;
};

// "{part}/[n].piece" or "{part}/[n].last.piece", n decimal without leading
// zeros; the suffix is matched ignoring ASCII case.
std::optional<Piece> piece_of(std::string_view item) {
    // Both forms end in ".piece", which nearly no other name does: most
    // names are turned away before any search.
    constexpr std::string_view SUFFIX = ".piece";
    if (item.size() < SUFFIX.size() || !iequals(item.substr(item.size() - SUFFIX.size()), SUFFIX))
        return std::nullopt;
    const std::size_t slash = item.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return std::nullopt;
    std::string_view tail = item.substr(slash + 1);
    if (tail.size() < 3 || tail[0] != '[') return std::nullopt;
    const std::size_t close = tail.find(']');
    if (close == std::string_view::npos || close < 2 || close > 10) return std::nullopt;
    const std::string_view digits = tail.substr(1, close - 1);
    if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
    std::uint32_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<std::uint32_t>(c - '0'); // at most nine digits: no overflow
    }
    const std::string_view suffix = tail.substr(close + 1);
    Piece p{item.substr(0, slash), n, false};
    if (iequals(suffix, ".piece")) return p;
    if (iequals(suffix, ".last.piece")) {
        p.last = true;
        return p;
    }
    return std::nullopt;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t s;
    return __builtin_add_overflow(a, b, &s) ? UINT64_MAX : s;
}

// The derivable pairs kept. Nested names ("/a", "/a/a", "/a/a/a", ...) give
// a pair per ancestor, so a small hostile directory could otherwise demand
// memory cubic in its size; real packages have none.
constexpr std::size_t MAX_DERIVABLE = 10000;

// Polynomial hash of `name`, ASCII-lower-cased, modulo 2^61 - 1. With `cuts` set, also lists
// (length, hash) of every prefix that ends just before a "/" (the leading
// "/" excluded).
__extension__ typedef unsigned __int128 U128;

constexpr std::uint64_t MOD = (std::uint64_t{1} << 61) - 1;

// The base is drawn per process: two names of length at most n then share
// a hash with probability at most n / 2^61, while under a known base
// colliding names are cheap to compute, and every lookup of a prefix would
// walk all of them.
std::uint64_t prefix_base() noexcept {
    static const std::uint64_t base = 2 + hash::number(0x7072656669786573ULL) % (MOD - 2);
    return base;
}

// Made when the library is loaded rather than on first use: a fork() child
// must never find a first use half made by another thread, whose guard
// would stay taken there for ever.
[[maybe_unused]] const bool drawn_at_load = (hash::key(), prefix_base(), true);

std::uint64_t prefix_hashes(std::string_view name, std::vector<std::pair<std::size_t, std::uint64_t>>* cuts) {
    const std::uint64_t base = prefix_base();
    if (cuts) cuts->clear();
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (cuts && name[i] == '/' && i > 0) cuts->emplace_back(i, h);
        // x < 2^123, so two folds of the Mersenne modulus and one subtraction
        // reduce it exactly, without a 128-bit division.
        const U128 x = static_cast<U128>(h) * base + static_cast<unsigned char>(name_index::lower_char(name[i])) + 1;
        const U128 once = (x & MOD) + (x >> 61);
        h = static_cast<std::uint64_t>((once & MOD) + (once >> 61));
        if (h >= MOD) h -= MOD;
    }
    return h;
}

} // namespace

std::uint64_t read_cost(const Part& part) noexcept { return saturating_add(part.size, part.compressed_size); }

std::uint64_t parse_cost(std::uint64_t size, std::uint64_t compressed_size) noexcept {
    return size > MAX_XML_PART_NBYTES ? 0 : saturating_add(size, compressed_size);
}

Error stopped() { return Error::other("stopped before reading"); }

namespace {

// Bytes of an XML part as UTF-8. A UTF-16 part's UTF-8 form is held to the
// limit and charged before it is made, and the UTF-16 bytes go as soon as
// it is written.
Result<bytes::Buffer> as_utf8(bytes::Buffer bytes, std::string_view name, std::uint64_t max_nbytes,
                              budget::Ledger* ledger) {
    const auto nbytes = encoding::utf16_xml_utf8_nbytes(bytes);
    if (!nbytes) return bytes;
    if (*nbytes > max_nbytes)
        return fail(Error::unsupported("xml part " + std::string(name) + " converts from UTF-16 to " +
                                       std::to_string(*nbytes) + " bytes, over the limit of " +
                                       std::to_string(max_nbytes)));
    if (ledger && !ledger->charge(*nbytes)) return fail(stopped());
    bytes::Buffer out(*nbytes);
    encoding::utf16_xml_write_utf8(bytes, out);
    return out;
}

// Charges what reading a part can allocate: its recorded inflated size,
// which the inflater never writes past, and a copy of its stored bytes. A
// part over the limit is refused before anything is allocated. False when
// the pass was stopped meanwhile.
bool charge(budget::Ledger* ledger, const Part& part, std::uint64_t max_nbytes) {
    return !ledger || part.size > max_nbytes || ledger->charge(read_cost(part));
}

} // namespace

// ---- core ----

Core::Core(zip::Archive archive) : archive_(std::move(archive)) {
    const auto& entries = archive_.entries();
    std::vector<bool> repeated(entries.size());
    for (std::size_t i : archive_.duplicates())
        if (i < repeated.size()) repeated[i] = true;

    struct Group {
        std::string_view item;
        std::vector<std::pair<Piece, std::size_t>> pieces;
    };
    std::map<std::string, Group> groups; // by lower-cased item name
    parts_.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string_view name = entries[i].name;
        if (repeated[i] || name.ends_with('/')) continue;
        if (iequals(name, CONTENT_TYPES_NAME)) {
            if (!content_types_entry_ || (name == CONTENT_TYPES_NAME &&
                                          entries[*content_types_entry_].name != CONTENT_TYPES_NAME))
                content_types_entry_ = i;
            continue;
        }
        if (auto piece = piece_of(name)) {
            Group& g = groups[opc::ascii_lower(piece->part)];
            if (g.pieces.empty()) g.item = piece->part;
            g.pieces.emplace_back(*piece, i);
            continue;
        }
        Part p;  // named below, once the room for every name is known
        p.entry = i;
        p.size = entries[i].uncompressed_size;
        p.compressed_size = entries[i].compressed_size;
        parts_.push_back(std::move(p));
    }

    std::size_t names_nbytes = 0;
    for (const Part& p : parts_) names_nbytes += 1 + entries[p.entry].name.size();
    for (const auto& [lower, g] : groups) names_nbytes += 1 + g.item.size();
    names_ = std::make_unique_for_overwrite<char[]>(names_nbytes);
    char* next_name = names_.get();
    const auto part_name = [&next_name](std::string_view item) {
        const std::string_view name(next_name, item.size() + 1);
        *next_name = '/';
        if (!item.empty()) std::memcpy(next_name + 1, item.data(), item.size());  // an empty name may view nothing
        next_name += name.size();
        return name;
    };
    for (Part& p : parts_) p.name = part_name(entries[p.entry].name);

    std::vector<Part> interleaved;
    for (auto& [lower, g] : groups) {
        std::stable_sort(g.pieces.begin(), g.pieces.end(), [](const auto& a, const auto& b) {
            return a.first.number != b.first.number ? a.first.number < b.first.number
                                                    : !a.first.last && b.first.last;
        });
        // Complete: numbers 0..n without gaps or repeats, and the last piece,
        // and only it, marked last.
        bool complete = true;
        for (std::size_t k = 0; k < g.pieces.size(); ++k) {
            const Piece& pc = g.pieces[k].first;
            if (pc.number != k || pc.last != (k + 1 == g.pieces.size())) complete = false;
        }
        Part p;
        p.name = part_name(g.item);
        p.entry = g.pieces.front().second;
        for (const auto& [pc, entry] : g.pieces) {
            p.pieces.push_back(entry);
            p.size = saturating_add(p.size, entries[entry].uncompressed_size);
            p.compressed_size = saturating_add(p.compressed_size, entries[entry].compressed_size);
        }
        if (!complete) incomplete_.emplace_back(p.name);
        interleaved.push_back(std::move(p));
    }
    std::stable_sort(interleaved.begin(), interleaved.end(),
                     [](const Part& a, const Part& b) { return a.name < b.name; });
    std::sort(incomplete_.begin(), incomplete_.end());
    for (auto& p : interleaved) parts_.push_back(std::move(p));

    by_lower_name_.build(parts_.size(), [this](std::size_t i) -> std::string_view { return parts_[i].name; },
                         [](std::size_t) {});
}

std::optional<std::size_t> Core::part_index(std::string_view name) const {
    return by_lower_name_.find(name, [this](std::size_t i) -> std::string_view { return parts_[i].name; });
}

Error too_large(std::string_view name, std::uint64_t nbytes, std::uint64_t max_nbytes) {
    return Error::unsupported("xml part " + std::string(name) + " inflates to " + std::to_string(nbytes) +
                              " bytes, over the limit of " + std::to_string(max_nbytes));
}

Result<void> Core::read_entries(const Part& part, bytes::Buffer& out, std::uint64_t max_nbytes) const {
    if (part.size > max_nbytes) return fail(too_large(part.name, part.size, max_nbytes));
    const auto& entries = archive_.entries();
    if (!part.interleaved() && out.empty()) return archive_.read(entries[part.entry], out);
    bytes::Buffer chunk;
    const std::array<std::size_t, 1> single{part.entry};
    const std::span<const std::size_t> list = part.interleaved() ? std::span<const std::size_t>(part.pieces)
                                                                 : std::span<const std::size_t>(single);
    for (std::size_t e : list) {
        if (auto r = archive_.read(entries[e], chunk); !r) return r;
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return {};
}

const ParsedContentTypes& Core::parsed_content_types() const {
    content_types_.call([this] {
        ParsedContentTypes out;
        if (!content_types_entry_) return out;
        const zip::Entry& entry = archive_.entries()[*content_types_entry_];
        bytes::Buffer raw;
        auto r = entry.uncompressed_size > MAX_XML_PART_NBYTES
                     ? fail(too_large("/" + std::string(entry.name), entry.uncompressed_size, MAX_XML_PART_NBYTES))
                     : archive_.read(entry, raw);
        auto utf8 = r ? as_utf8(std::move(raw), "/" + std::string(entry.name), MAX_XML_PART_NBYTES, nullptr)
                      : Result<bytes::Buffer>(fail(std::move(r.error())));
        if (!utf8) {
            out.error = utf8.error().message();
            out.unreadable = out.error;
            return out;
        }
        const bytes::Buffer text = std::move(*utf8);
        auto parsed = opc::ContentTypes::parse(as_text(text));
        if (!parsed) {
            out.xml_error = parsed.error();
            out.error = parsed.error().to_error("/" + std::string(entry.name)).message();
            return out;
        }
        out.types = std::move(*parsed);
        return out;
    });
    return *content_types_.get();
}

std::uint64_t Core::content_types_cost() const noexcept {
    if (!content_types_entry_) return 0;
    const zip::Entry& entry = archive_.entries()[*content_types_entry_];
    return parse_cost(entry.uncompressed_size, entry.compressed_size);
}

const PackageDefects& Core::defects() const {
    defects_.call([this] {
        PackageDefects d;
        for (const auto& e : archive_.entries())
            if (e.name.ends_with('/')) d.directories.emplace_back(e.name);

        if (!content_types_entry_) {
            d.content_types_missing = true;
        } else {
            const std::string_view stored = archive_.entries()[*content_types_entry_].name;
            if (stored != CONTENT_TYPES_NAME) d.content_types_case = stored;
            const ParsedContentTypes& ct = parsed_content_types();
            d.content_types_unreadable = ct.unreadable;
            if (ct.xml_error) d.content_types_error.emplace(ct.xml_error->message, ct.xml_error->offset);
        }

        for (const Part& p : parts_)
            if (auto why = opc::check_part_name(p.name)) d.invalid_names.emplace_back(p.name, *why);

        // Names equal ignoring ASCII case: the part table holds the first
        // of each, and every later one collides with it.
        using Caseless = name_index::AsciiCaseless;
        std::vector<bool> repeated(parts_.size());
        for (std::size_t i = 0; i < parts_.size(); ++i) {
            if (const auto holder = part_index(parts_[i].name); holder && *holder != i) {
                repeated[i] = true;
                d.collisions.emplace_back(*holder, i);
            }
        }
        // A name derives from another when a prefix of it ending before a "/"
        // is itself a part name. Hashing every such prefix afresh would cost
        // the square of a name's length, so prefixes are matched by a rolling
        // hash and confirmed by comparison.
        // (hash, part) of every distinct name, sorted, so equal hashes sit
        // together in part order.
        // Each name is hashed once: its cuts are kept for the search below.
        std::vector<std::pair<std::uint64_t, std::size_t>> by_hash;
        by_hash.reserve(parts_.size());
        std::vector<std::pair<std::size_t, std::uint64_t>> all_cuts, cuts;
        std::vector<std::size_t> cuts_end(parts_.size());
        for (std::size_t i = 0; i < parts_.size(); ++i) {
            const std::uint64_t h = prefix_hashes(parts_[i].name, &cuts);
            if (!repeated[i]) by_hash.emplace_back(h, i);
            all_cuts.insert(all_cuts.end(), cuts.begin(), cuts.end());
            cuts_end[i] = all_cuts.size();
        }
        std::sort(by_hash.begin(), by_hash.end());
        for (std::size_t i = 0; i < parts_.size() && d.derivable.size() < MAX_DERIVABLE; ++i) {
            const std::string_view name = parts_[i].name;
            const std::size_t from = i == 0 ? 0 : cuts_end[i - 1];
            for (std::size_t c = from; c < cuts_end[i]; ++c) {
                const auto [len, h] = all_cuts[c];
                auto it = std::lower_bound(by_hash.begin(), by_hash.end(), std::pair<std::uint64_t, std::size_t>(h, 0));
                for (; it != by_hash.end() && it->first == h; ++it) {
                    const std::size_t base = it->second;
                    if (Caseless::equal(parts_[base].name, name.substr(0, len)) && d.derivable.size() < MAX_DERIVABLE)
                        d.derivable.emplace_back(i, base);
                }
            }
        }
        d.incomplete_pieces = incomplete_;
        return d;
    });
    return *defects_.get();
}

// ---- views ----

Result<Package> Package::from_bytes(std::vector<std::uint8_t> data) {
    if (cfb::has_signature(data)) return fail(Error::compound_file());
    auto archive = zip::Archive::open(std::make_shared<zip::MemorySource>(std::move(data)));
    if (!archive) return fail(std::move(archive.error()));
    return from_archive(std::move(*archive));
}

Result<Package> Package::from_archive(zip::Archive archive) {
    return Package(std::make_shared<const Core>(std::move(archive)));
}

Result<Package> Package::open_path(std::string_view path) {
    auto archive = zip::Archive::open_path(path);
    if (archive) return from_archive(std::move(*archive));
    if (archive.error().kind() != error::Kind::NotZip) return fail(std::move(archive.error()));
    // A file that cannot be reopened or is shorter keeps "not a zip archive".
    if (auto file = zip::FileSource::open(path); file && (*file)->len() >= 4) {
        std::array<std::uint8_t, 4> head{};
        if ((*file)->read_at(0, head) && cfb::has_signature(head)) return fail(Error::compound_file());
    }
    return fail(std::move(archive.error()));
}

const ParsedContentTypes& Package::parsed_content_types() const {
    if (!ledger_ || core_->content_types_parsed()) return core_->parsed_content_types();
    // Charged before the once-only parse is entered, as a wait inside would
    // hold up every caller waiting for it; given back once it is over.
    budget::Held room;
    if (!room.take(ledger_, core_->content_types_cost())) throw budget::Stopped();
    return core_->parsed_content_types();
}

const PackageDefects& Package::defects() const {
    // The defects record what parsing the content types found.
    (void)parsed_content_types();
    return core_->defects();
}

Result<Bytes> Package::read_text(std::size_t index, std::uint64_t max_nbytes) const {
    const Part& part = parts()[index];
    if (!charge(ledger_, part, max_nbytes)) return fail(stopped());
    bytes::Buffer raw;
    if (auto r = core_->read_entries(part, raw, max_nbytes); !r) return fail(std::move(r.error()));
    auto text = as_utf8(std::move(raw), part.name, max_nbytes, ledger_);
    if (!text) return fail(std::move(text.error()));
    return std::make_shared<const bytes::Buffer>(std::move(*text));
}

Result<Bytes> Package::read_part(std::string_view name, std::uint64_t max_nbytes) {
    const auto index = part_index(name);
    if (!index) return fail(Error::missing_part(std::string(name)));
    // What the cache holds is within any limit a parser asks for: the budget
    // is below the ceiling, and the checker hands over only bytes it kept.
    if (auto it = bytes_cache_.find(*index); it != bytes_cache_.end()) {
        if (reads_) reads_->add(*index, it->second->size());
        return it->second;
    }
    auto bytes = read_text(*index, max_nbytes);
    if (!bytes) return bytes;
    if (reads_) reads_->add(*index, (*bytes)->size());
    if ((*bytes)->size() <= MAX_CACHED_NBYTES - cached_nbytes_) {
        cached_nbytes_ += (*bytes)->size();
        bytes_cache_.emplace(*index, *bytes);
    }
    return bytes;
}

Result<Bytes> Package::read_part_once(std::string_view name) {
    const auto index = part_index(name);
    if (!index) return fail(Error::missing_part(std::string(name)));
    auto it = bytes_cache_.find(*index);
    auto bytes = it != bytes_cache_.end() ? Result<Bytes>(it->second) : read_text(*index, MAX_XML_PART_NBYTES);
    if (bytes && reads_) reads_->add(*index, (*bytes)->size());
    return bytes;
}

Result<void> Package::read_part_bytes(std::string_view name, bytes::Buffer& out,
                                      std::uint64_t max_nbytes) const {
    const auto index = part_index(name);
    if (!index) return fail(Error::missing_part(std::string(name)));
    return core_->read_entries(parts()[*index], out, max_nbytes);
}

void Package::cache_part(std::size_t index, Bytes text) {
    if (index < parts().size() && text) bytes_cache_.insert_or_assign(index, std::move(text));
}

Result<std::shared_ptr<const opc::Relationships>> Package::rels(std::string_view source, Keep keep) {
    if (auto it = rels_cache_.find(source); it != rels_cache_.end()) return it->second;
    std::shared_ptr<const opc::Relationships> result;
    opc::rels_part_name_into(source, rels_name_);
    if (const auto index = part_index(rels_name_); !index) {
        auto empty = std::make_shared<opc::Relationships>();
        empty->source = std::string(source);
        result = std::move(empty);
    } else {
        // Read past the byte cache, which is used but not filled: the parsed
        // form is what gets kept.
        const Part& part = parts()[*index];
        bytes::Buffer text;
        std::string_view view;
        if (auto it = bytes_cache_.find(*index); it != bytes_cache_.end()) {
            view = as_text(*it->second);
        } else {
            if (!charge(ledger_, part, MAX_XML_PART_NBYTES)) return fail(stopped());
            bytes::Buffer raw;
            if (auto r = core_->read_entries(part, raw, MAX_XML_PART_NBYTES); !r) return fail(std::move(r.error()));
            auto utf8 = as_utf8(std::move(raw), part.name, MAX_XML_PART_NBYTES, ledger_);
            if (!utf8) return fail(std::move(utf8.error()));
            text = std::move(*utf8);
            view = as_text(text);
        }
        if (reads_) reads_->add(*index, view.size());
        auto parsed = opc::Relationships::parse(std::string(source), view);
        if (!parsed) return fail(parsed.error().to_error(std::string(part.name)));
        result = std::make_shared<const opc::Relationships>(std::move(*parsed));
    }
    if (keep == Keep::yes) rels_cache_.emplace(result->source, result);
    return result;
}

Result<std::optional<std::string>> Package::resolve(std::string_view source, std::string_view id) {
    auto set = rels(source);
    if (!set) return fail(std::move(set.error()));
    const opc::Relationship* r = (*set)->get(id);
    if (!r || r->external) return std::optional<std::string>();
    return std::optional<std::string>(opc::resolve_target(source, r->target));
}

} // namespace vantrell_core::package
