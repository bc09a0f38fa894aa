#include "core/zip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

#include "core/bytes.h"
#include "core/encoding.h"
#include "core/inflate.h"

namespace vantrell_core::zip {
namespace {

constexpr std::uint32_t SIG_LOCAL = 0x04034b50;
constexpr std::uint32_t SIG_CENTRAL = 0x02014b50;
constexpr std::uint32_t SIG_END = 0x06054b50;
constexpr std::uint32_t SIG_END64 = 0x06064b50;
constexpr std::uint32_t SIG_LOCATOR64 = 0x07064b50;
constexpr std::uint32_t SIG_DESCRIPTOR = 0x08074b50;

// D0 CF 11 E0, read little-endian.
constexpr std::uint32_t COMPOUND_FILE_SIGNATURE = 0xE011CFD0;

constexpr std::uint64_t LOCAL_NBYTES = 30;
constexpr std::uint64_t CENTRAL_NBYTES = 46;
constexpr std::uint64_t END_NBYTES = 22;
constexpr std::uint64_t END64_NBYTES = 56;
constexpr std::uint64_t LOCATOR64_NBYTES = 20;

constexpr std::uint16_t EXTRA_ZIP64 = 0x0001;
constexpr std::uint16_t FLAG_ENCRYPTED = 0x0001;
constexpr std::uint16_t FLAG_DESCRIPTOR = 0x0008;
constexpr std::uint32_t MAX32 = 0xFFFFFFFF;

// The end record sits within the last 22 + 65535 bytes of a well-formed
// archive; the extra slack admits garbage appended after it.
constexpr std::uint64_t END_SEARCH_NBYTES = 256 * 1024;
constexpr std::uint64_t FIRST_TAIL_NBYTES = 32 * 1024;
// Room read after a local name for its extra field along with the data.
constexpr std::uint64_t LIKELY_EXTRA_NBYTES = 64;
constexpr std::size_t MAX_END_CANDIDATES = 1024;
// Reads of a file source are batched into windows of this size.
constexpr std::size_t WINDOW_NBYTES = 1 << 20;
// DEFLATE cannot expand a stream by more than about 1032:1.
constexpr std::uint64_t MAX_INFLATE_RATIO = 1032;
// A recorded uncompressed size up to this is allocated at once; a larger one
// only as the output actually grows, so a directory that lies about a small
// entry cannot make it allocate and clear gigabytes.
constexpr std::uint64_t TRUSTED_SIZE_NBYTES = 16 << 20;

constexpr std::size_t MAX_PREAD_NBYTES = 0x7fffffff;
// Room taken at once for the names; more grows as they are read.
constexpr std::uint64_t MAX_NAMES_RESERVE_NBYTES = 1 << 20;

Error premature_end() { return Error::io_text("unexpected end of file"); }

// True when [off, off + n) lies within [0, len).
constexpr bool fits(std::uint64_t len, std::uint64_t off, std::uint64_t n) noexcept {
    return off <= len && n <= len - off;
}

using bytes::Cursor;
using bytes::load_le32;
using bytes::load_le64;

std::string_view as_text(std::span<const std::uint8_t> b) noexcept {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// The entries' names as they are read, end to end. The buffer moves as it
// grows, so a name is kept as offsets until every entry is read; then the
// entries are pointed at the bytes where they end up.
class Names {
public:
    void reserve(std::size_t count, std::size_t nbytes) {
        spans_.reserve(count);
        bytes_.reserve(nbytes);
    }

    // The name of the next entry. Valid UTF-8 (nearly every stored name is
    // ASCII) is its own decoding, and is kept once.
    void add(std::string_view raw) {
        Span s{bytes_.size(), raw.size(), bytes_.size(), raw.size()};
        bytes_.insert(bytes_.end(), raw.begin(), raw.end());
        if (!encoding::is_valid_utf8(raw)) {
            const std::string decoded = encoding::utf8_lossy(raw);
            s.name_at = bytes_.size();
            s.name_n = decoded.size();
            bytes_.insert(bytes_.end(), decoded.begin(), decoded.end());
        }
        spans_.push_back(s);
    }

    // Hands the bytes to `store` and points `entries`, one per name added
    // and in that order, at them there.
    void move_into(std::vector<char>& store, std::vector<Entry>& entries) {
        store = std::move(bytes_);
        for (std::size_t i = 0; i < entries.size() && i < spans_.size(); ++i) {
            const Span& s = spans_[i];
            entries[i].raw_name = std::string_view(store.data() + s.raw_at, s.raw_n);
            entries[i].name = std::string_view(store.data() + s.name_at, s.name_n);
        }
    }

private:
    struct Span {
        std::size_t raw_at, raw_n, name_at, name_n;
    };
    std::vector<char> bytes_;
    std::vector<Span> spans_;
};

// Spans of a source: direct for an in-memory source, otherwise served from a
// window refilled by positioned reads, so parsing many small records costs
// few system calls. Callers check bounds against `len()` first.
class View {
public:
    explicit View(const Source& src, std::size_t window_nbytes = WINDOW_NBYTES)
        : src_(src), mem_(src.as_bytes()), len_(src.len()), window_nbytes_(window_nbytes) {}

    std::uint64_t len() const noexcept { return len_; }
    const Source& source() const noexcept { return src_; }

    // `n` bytes at `off`; the span stays valid until the next call.
    Result<std::span<const std::uint8_t>> get(std::uint64_t off, std::size_t n) {
        if (!fits(len_, off, n)) return fail(premature_end());
        if (mem_) return mem_->subspan(static_cast<std::size_t>(off), n);
        if (off >= pre_off_ && n <= pre_.size() && off - pre_off_ <= pre_.size() - n)
            return pre_.subspan(static_cast<std::size_t>(off - pre_off_), n);
        if (off < win_off_ || n > win_nbytes_ || off - win_off_ > win_nbytes_ - n) {
            const std::uint64_t want = std::max<std::uint64_t>(n, window_nbytes_);
            const std::size_t fill = static_cast<std::size_t>(std::min(want, len_ - off));
            if (fill > win_cap_) {
                win_ = std::make_unique_for_overwrite<std::uint8_t[]>(fill);
                win_cap_ = fill;
            }
            win_nbytes_ = 0;
            win_off_ = off;
            if (auto r = src_.read_at(off, {win_.get(), fill}); !r) return fail(r.error());
            win_nbytes_ = fill;
        }
        return std::span<const std::uint8_t>(win_.get() + (off - win_off_), n);
    }

    // Bytes at `off` already read elsewhere, served before the source is
    // read again; they must outlive this view.
    void preload(std::uint64_t off, std::span<const std::uint8_t> bytes) noexcept {
        pre_off_ = off;
        pre_ = bytes;
    }

    // Position of the first "PK" at or after `from` (and before `to`) whose
    // next two bytes satisfy `accept`.
    template <class Accept>
    Result<std::optional<std::uint64_t>> find_pk(std::uint64_t from, std::uint64_t to,
                                                 Accept accept) {
        to = std::min(to, len_);
        constexpr std::size_t STEP = 64 * 1024;
        while (from < to && to - from >= 4) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, STEP));
            auto span = get(from, n);
            if (!span) return fail(span.error());
            const std::uint8_t* p = span->data();
            for (std::size_t i = 0; i + 4 <= n; ++i) {
                if (p[i] == 'P' && p[i + 1] == 'K' && accept(p[i + 2], p[i + 3]))
                    return std::optional<std::uint64_t>(from + i);
            }
            // The last three bytes may begin a signature that crosses the step.
            from += n - 3;
        }
        return std::optional<std::uint64_t>();
    }

private:
    const Source& src_;
    std::optional<std::span<const std::uint8_t>> mem_;
    std::uint64_t len_;
    std::size_t window_nbytes_;
    // Filled by the read before use, so never zeroed first.
    std::unique_ptr<std::uint8_t[]> win_;
    std::size_t win_cap_ = 0;
    std::size_t win_nbytes_ = 0;
    std::uint64_t win_off_ = 0;
    std::span<const std::uint8_t> pre_;
    std::uint64_t pre_off_ = 0;
};

// Applies a ZIP64 extra field: each 64-bit value is present only when its
// 32-bit field holds the 0xFFFFFFFF marker, in the order uncompressed size,
// compressed size, local header offset. A short field supplies what it can.
void apply_zip64(std::span<const std::uint8_t> extra, bool central, std::uint64_t& usize,
                 std::uint64_t& csize, std::uint64_t* lh_offset) {
    Cursor c(extra);
    while (c.avail() >= 4) {
        const std::uint16_t id = c.u16();
        const std::uint16_t size = c.u16();
        auto data = c.bytes(size);
        if (!c.ok()) return;
        if (id != EXTRA_ZIP64) continue;
        Cursor z(data);
        // A local header's field holds both sizes whenever it is present.
        if (!central && z.avail() >= 16) {
            const std::uint64_t u = z.u64();
            const std::uint64_t c64 = z.u64();
            if (usize == MAX32) usize = u;
            if (csize == MAX32) csize = c64;
            return;
        }
        if (usize == MAX32 && z.avail() >= 8) usize = z.u64();
        if (csize == MAX32 && z.avail() >= 8) csize = z.u64();
        if (lh_offset && *lh_offset == MAX32 && z.avail() >= 8) *lh_offset = z.u64();
        return;
    }
}

// Where the end records place the central directory.
struct Directory {
    std::uint64_t start = 0;         // source offset of the first central record
    std::uint64_t end = 0;           // source offset where the records must stop
    std::uint64_t prefix_len = 0;
    std::uint64_t declared = 0;
    std::uint64_t stored_offset = 0; // the central directory offset as stored
    bool usable = false;
};

// Reads the end record candidate at `pos` (its signature already matched)
// and the ZIP64 records before it, and finds the central directory.
Result<Directory> examine_end(View& v, std::uint64_t pos) {
    Directory d;
    std::uint64_t count, cd_size, cd_offset;
    {
        auto rec = v.get(pos, END_NBYTES);
        if (!rec) return fail(rec.error());
        Cursor c(*rec);
        c.skip(10);
        count = c.u16();
        cd_size = c.u32();
        cd_offset = c.u32();
    }
    d.end = pos;
    if (pos >= LOCATOR64_NBYTES) {
        auto loc = v.get(pos - LOCATOR64_NBYTES, LOCATOR64_NBYTES);
        if (!loc) return fail(loc.error());
        if (load_le32(loc->data()) == SIG_LOCATOR64) {
            const std::uint64_t stored = load_le64(loc->data() + 8);
            // With bytes before the archive the stored offset is off by the
            // prefix; the record then normally sits right before the locator.
            std::optional<std::uint64_t> at;
            for (std::uint64_t cand : {stored, pos - LOCATOR64_NBYTES - END64_NBYTES}) {
                if (cand > pos - LOCATOR64_NBYTES || !fits(v.len(), cand, END64_NBYTES) ||
                    END64_NBYTES > pos - LOCATOR64_NBYTES - cand)
                    continue;
                auto sig = v.get(cand, 4);
                if (!sig) return fail(sig.error());
                if (load_le32(sig->data()) == SIG_END64) {
                    at = cand;
                    break;
                }
            }
            if (at) {
                auto rec = v.get(*at, END64_NBYTES);
                if (!rec) return fail(rec.error());
                Cursor c(*rec);
                c.skip(32);
                count = c.u64();
                cd_size = c.u64();
                cd_offset = c.u64();
                d.end = *at;
            }
        }
    }
    d.declared = count;
    d.stored_offset = cd_offset;

    auto central_at = [&](std::uint64_t off) -> Result<bool> {
        if (off >= d.end || CENTRAL_NBYTES > d.end - off) return false;
        auto sig = v.get(off, 4);
        if (!sig) return fail(sig.error());
        return load_le32(sig->data()) == SIG_CENTRAL;
    };

    if (count == 0) {
        // An empty archive: nothing to find, only the shift to learn.
        d.usable = true;
        if (cd_size <= d.end && d.end - cd_size >= cd_offset) d.prefix_len = d.end - cd_size - cd_offset;
        d.start = d.end;
        return d;
    }
    // The directory ends where the end records begin, so its real start is
    // known from its size; the difference from the stored offset is the
    // number of bytes before the archive.
    if (cd_size <= d.end && d.end - cd_size >= cd_offset) {
        auto ok = central_at(d.end - cd_size);
        if (!ok) return fail(ok.error());
        if (*ok) {
            d.start = d.end - cd_size;
            d.prefix_len = d.start - cd_offset;
            d.usable = true;
            return d;
        }
    }
    // A wrong size but a right offset.
    auto ok = central_at(cd_offset);
    if (!ok) return fail(ok.error());
    if (*ok) {
        d.start = cd_offset;
        d.usable = true;
    }
    return d;
}

// The last end record, searching back from the end of the source, whose
// central directory can be found; failing that, the last one seen.
Result<std::optional<Directory>> find_directory(View& v) {
    const std::uint64_t len = v.len();
    if (len < END_NBYTES) return std::optional<Directory>();
    // The end record of a clean archive is in its last bytes, and a small
    // directory right before it: a short tail is read first, and the whole
    // search region only when that finds no usable record. Positions are
    // visited in the same order either way.
    const std::uint64_t full_nbytes = std::min(len, END_SEARCH_NBYTES);
    std::uint64_t tail_nbytes = std::min(full_nbytes, FIRST_TAIL_NBYTES);
    std::size_t candidates = 0;
    std::optional<Directory> first_seen;
    std::uint64_t scanned_from = len - END_NBYTES + 1; // positions at or above are done
    for (;;) {
        const std::uint64_t tail_off = len - tail_nbytes;
        auto span = v.get(tail_off, static_cast<std::size_t>(tail_nbytes));
        if (!span) return fail(span.error());
        const std::span<const std::uint8_t> tail = *span;
        // Candidates make scattered small reads: a small window keeps each
        // one cheap, and the cap bounds the work a tail full of signatures
        // can cause. Most of them land in the tail already read.
        View probe(v.source(), 512);
        probe.preload(tail_off, tail);
        for (std::uint64_t pos = scanned_from; pos-- > tail_off && candidates < MAX_END_CANDIDATES;) {
            const std::uint8_t* p = tail.data() + (pos - tail_off);
            if (*p != 'P' || load_le32(p) != SIG_END) continue;
            ++candidates;
            auto d = examine_end(probe, pos);
            if (!d) return fail(d.error());
            if (d->usable) return std::optional<Directory>(*d);
            if (!first_seen) first_seen = *d;
        }
        if (tail_nbytes == full_nbytes || candidates >= MAX_END_CANDIDATES) break;
        scanned_from = tail_off;
        tail_nbytes = full_nbytes;
    }
    return first_seen;
}

// Reads the central records of `d` until the region ends or a record is
// malformed.
Result<std::vector<Entry>> read_central(View& v, const Directory& d, Names& names) {
    std::vector<Entry> entries;
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(d.declared, (d.end - d.start) / CENTRAL_NBYTES));
    entries.reserve(count);
    // The records hold the names, so their size bounds what valid names take.
    names.reserve(count, static_cast<std::size_t>(std::min<std::uint64_t>(d.end - d.start, MAX_NAMES_RESERVE_NBYTES)));
    std::uint64_t pos = d.start;
    while (pos <= d.end && CENTRAL_NBYTES <= d.end - pos) {
        auto head = v.get(pos, CENTRAL_NBYTES);
        if (!head) return fail(head.error());
        Cursor c(*head);
        if (c.u32() != SIG_CENTRAL) break;
        Entry e;
        c.skip(2);  // version made by
        e.version_needed = c.u16();
        e.flags = c.u16();
        e.method = c.u16();
        c.skip(4);  // time, date
        e.crc32 = c.u32();
        e.compressed_size = c.u32();
        e.uncompressed_size = c.u32();
        const std::uint16_t name_n = c.u16();
        const std::uint16_t extra_n = c.u16();
        const std::uint16_t comment_n = c.u16();
        c.skip(8);  // disk, internal and external attributes
        e.local_header_offset = c.u32();
        const std::uint64_t total = CENTRAL_NBYTES + name_n + extra_n + comment_n;
        if (total > d.end - pos) break;
        auto rec = v.get(pos, static_cast<std::size_t>(total));
        if (!rec) return fail(rec.error());
        names.add(as_text(rec->subspan(CENTRAL_NBYTES, name_n)));
        apply_zip64(rec->subspan(CENTRAL_NBYTES + name_n, extra_n), true, e.uncompressed_size,
                    e.compressed_size, &e.local_header_offset);
        entries.push_back(std::move(e));
        pos += total;
    }
    return entries;
}

// Finds the end of data of unknown length that starts at `data_start`: a
// data descriptor (with or without its signature, 32- or 64-bit sizes) whose
// compressed size equals its distance from the data. Fills the sizes and CRC
// and returns the offset after the descriptor.
Result<std::optional<std::uint64_t>> find_descriptor(View& v, std::uint64_t data_start, Entry& e) {
    std::uint64_t from = data_start;
    for (;;) {
        auto hit = v.find_pk(from, v.len(), [](std::uint8_t a, std::uint8_t b) {
            return (a == 7 && b == 8) || (a == 3 && b == 4) || (a == 1 && b == 2) ||
                   (a == 5 && b == 6);
        });
        if (!hit) return fail(hit.error());
        // The end of a truncated archive may also close the last descriptor.
        const std::uint64_t q = *hit ? **hit : v.len();
        bool with_sig = false;
        if (*hit) {
            auto sig = v.get(q, 4);
            if (!sig) return fail(sig.error());
            with_sig = load_le32(sig->data()) == SIG_DESCRIPTOR;
        }
        if (with_sig) {
            const std::uint64_t dist = q - data_start;
            if (fits(v.len(), q, 24)) {
                auto r = v.get(q, 24);
                if (!r) return fail(r.error());
                if (load_le64(r->data() + 8) == dist) {
                    e.crc32 = load_le32(r->data() + 4);
                    e.compressed_size = dist;
                    e.uncompressed_size = load_le64(r->data() + 16);
                    return std::optional<std::uint64_t>(q + 24);
                }
            }
            if (fits(v.len(), q, 16)) {
                auto r = v.get(q, 16);
                if (!r) return fail(r.error());
                if (load_le32(r->data() + 8) == dist) {
                    e.crc32 = load_le32(r->data() + 4);
                    e.compressed_size = dist;
                    e.uncompressed_size = load_le32(r->data() + 12);
                    return std::optional<std::uint64_t>(q + 16);
                }
            }
        } else {
            // A descriptor without signature ends right before the next record.
            for (std::uint64_t n : {std::uint64_t{20}, std::uint64_t{12}}) {
                if (q - data_start < n) continue;
                const std::uint64_t at = q - n;
                auto r = v.get(at, static_cast<std::size_t>(n));
                if (!r) return fail(r.error());
                const std::uint64_t csize = n == 20 ? load_le64(r->data() + 4) : load_le32(r->data() + 4);
                if (csize == at - data_start) {
                    e.crc32 = load_le32(r->data());
                    e.compressed_size = csize;
                    e.uncompressed_size = n == 20 ? load_le64(r->data() + 12) : load_le32(r->data() + 8);
                    return std::optional<std::uint64_t>(q);
                }
            }
        }
        if (!*hit) return std::optional<std::uint64_t>();
        from = q + 1;
    }
}

// Rebuilds the entry list from local file headers, walking the source from
// the start and skipping each entry's data when its size is known.
Result<std::vector<Entry>> scan_local_headers(View& v, Names& names) {
    std::vector<Entry> entries;
    std::uint64_t pos = 0;
    // A failed descriptor search has read to the end of the source; later
    // entries do not search again, which keeps the scan linear.
    bool search_descriptors = true;
    for (;;) {
        auto hit = v.find_pk(pos, v.len(), [](std::uint8_t a, std::uint8_t b) { return a == 3 && b == 4; });
        if (!hit) return fail(hit.error());
        if (!*hit) break;
        const std::uint64_t at = **hit;
        pos = at + 4;
        if (!fits(v.len(), at, LOCAL_NBYTES)) break;
        Entry e;
        std::uint16_t name_n, extra_n;
        {
            auto head = v.get(at, LOCAL_NBYTES);
            if (!head) return fail(head.error());
            Cursor c(*head);
            c.skip(4);
            e.version_needed = c.u16();
            e.flags = c.u16();
            e.method = c.u16();
            c.skip(4);
            e.crc32 = c.u32();
            e.compressed_size = c.u32();
            e.uncompressed_size = c.u32();
            name_n = c.u16();
            extra_n = c.u16();
        }
        const std::uint64_t var_n = std::uint64_t{name_n} + extra_n;
        if (var_n > v.len() - at - LOCAL_NBYTES) continue;
        {
            auto rec = v.get(at + LOCAL_NBYTES, static_cast<std::size_t>(var_n));
            if (!rec) return fail(rec.error());
            names.add(as_text(rec->first(name_n)));
            apply_zip64(rec->subspan(name_n), false, e.uncompressed_size, e.compressed_size, nullptr);
        }
        e.local_header_offset = at;
        const std::uint64_t data_start = at + LOCAL_NBYTES + var_n;
        if ((e.flags & FLAG_DESCRIPTOR) && e.compressed_size == 0) {
            if (search_descriptors) {
                auto after = find_descriptor(v, data_start, e);
                if (!after) return fail(after.error());
                if (*after)
                    pos = **after;
                else
                    search_descriptors = false;
            }
            if (pos < data_start) pos = data_start;
        } else if (fits(v.len(), data_start, e.compressed_size)) {
            pos = data_start + e.compressed_size;
        } else {
            pos = data_start;
        }
        entries.push_back(std::move(e));
    }
    return entries;
}

// Source offset of the local header of an entry that can be read; none for
// one that cannot (encrypted, an unsupported method, stored with differing
// sizes, data past the end), which reads no byte.
std::optional<std::uint64_t> start_of(const Entry& e, std::uint64_t prefix_len, std::uint64_t len) noexcept {
    if ((e.flags & FLAG_ENCRYPTED) || (e.method != 0 && e.method != 8) ||
        (e.method == 0 && e.compressed_size != e.uncompressed_size))
        return std::nullopt;
    std::uint64_t start, n;
    if (__builtin_add_overflow(e.local_header_offset, prefix_len, &start) ||
        __builtin_add_overflow(LOCAL_NBYTES, e.compressed_size, &n) || !fits(len, start, n))
        return std::nullopt;
    return start;
}

// Sets `overlaps` on every entry whose local header is that of an entry
// listed before it, and lists the headers' offsets, ascending and each once.
// Where one entry's data ends is left to reading it: a size may lie, and the
// bytes up to the next intact header are the entry's own whatever it says.
void mark_overlaps(std::vector<Entry>& entries, std::uint64_t prefix_len, std::uint64_t len,
                   std::vector<std::uint64_t>& starts) {
    starts.clear();
    // Writers store entries in directory order: one pass, no sorting, unless
    // a header comes before the one listed ahead of it.
    bool in_order = true;
    for (Entry& e : entries) {
        const auto s = start_of(e, prefix_len, len);
        if (!s) continue;
        if (!starts.empty() && *s < starts.back()) {
            in_order = false;
            break;
        }
        e.overlaps = !starts.empty() && *s == starts.back();
        if (!e.overlaps) starts.push_back(*s);
    }
    if (in_order) return;
    std::vector<std::pair<std::uint64_t, std::size_t>> order;
    order.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].overlaps = false;
        if (const auto s = start_of(entries[i], prefix_len, len)) order.emplace_back(*s, i);
    }
    std::sort(order.begin(), order.end());
    starts.clear();
    for (const auto& [s, i] : order) {
        entries[i].overlaps = !starts.empty() && s == starts.back();
        if (!entries[i].overlaps) starts.push_back(s);
    }
}

// The local header at source offset `pos`, whose first bytes (at least the
// fixed part) are `head`; the name is taken from `head` when it holds it.
Result<LocalHeader> local_header_at(const Source& src, std::uint64_t pos, std::span<const std::uint8_t> head,
                                    bool with_name) {
    const std::uint64_t len = src.len();
    Cursor c(head.first(LOCAL_NBYTES));
    if (c.u32() != SIG_LOCAL) return fail(Error::zip("bad local header signature", pos));
    LocalHeader h;
    c.skip(2);  // version needed
    h.flags = c.u16();
    h.method = c.u16();
    c.skip(4);  // time, date
    h.crc32 = c.u32();
    h.compressed_size = c.u32();
    h.uncompressed_size = c.u32();
    const std::uint16_t name_n = c.u16();
    const std::uint16_t extra_n = c.u16();
    if (name_n > len - pos - LOCAL_NBYTES) return fail(Error::zip("local header out of bounds", pos));
    if (with_name && name_n <= head.size() - LOCAL_NBYTES) {
        h.raw_name.assign(reinterpret_cast<const char*>(head.data() + LOCAL_NBYTES), name_n);
    } else if (with_name) {
        h.raw_name.resize(name_n);
        if (auto r = src.read_at(pos + LOCAL_NBYTES, {reinterpret_cast<std::uint8_t*>(h.raw_name.data()), name_n});
            !r)
            return fail(r.error());
    }
    h.data_offset = pos + LOCAL_NBYTES + name_n + extra_n;
    return h;
}

// Fills `out` from `offset` of the file by positioned reads.
Result<void> pread_full(int fd, std::uint64_t offset, std::span<std::uint8_t> out) {
    std::uint8_t* p = out.data();
    std::size_t left = out.size();
    while (left > 0) {
        const std::size_t chunk = std::min(left, MAX_PREAD_NBYTES);
        const ssize_t got = ::pread(fd, p, chunk, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail(Error::io(errno));
        }
        // The file shrank since it was opened.
        if (got == 0) return fail(premature_end());
        p += got;
        left -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return {};
}

} // namespace

// ---------------------------------------------------------------- sources

Result<std::shared_ptr<FileSource>> FileSource::open(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        return fail(Error::io_text(std::string(error::NUL_IN_PATH)));
    const std::string cpath(path);
    int fd;
    do {
        fd = ::open(cpath.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(Error::io(errno));
    struct Guard {
        int fd;
        ~Guard() {
            if (fd >= 0) ::close(fd);
        }
    } guard{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail(Error::io(errno));
    if (S_ISDIR(st.st_mode)) return fail(Error::io(EISDIR));
    const std::uint64_t len = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    auto src = std::make_shared<FileSource>(Token{}, fd, len);
    guard.fd = -1;
    if (len > 0 && len <= WHOLE_FILE_NBYTES) {
        auto whole = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(len));
        // A file that shrank meanwhile stays read on demand, where its reads
        // report it.
        if (pread_full(fd, 0, {whole.get(), static_cast<std::size_t>(len)})) {
            src->whole_ = std::move(whole);
            src->fd_ = -1;
            ::close(fd);
        }
    }
    return src;
}

FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

Result<void> FileSource::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (!fits(len_nbytes_, offset, out.size())) return fail(premature_end());
    if (!whole_) return pread_full(fd_, offset, out);
    if (!out.empty()) std::memcpy(out.data(), whole_.get() + offset, out.size());
    return {};
}

std::optional<std::span<const std::uint8_t>> FileSource::as_bytes() const noexcept {
    if (!whole_) return std::nullopt;
    return std::span<const std::uint8_t>(whole_.get(), static_cast<std::size_t>(len_nbytes_));
}

Result<void> MemorySource::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (!fits(bytes_.size(), offset, out.size())) return fail(premature_end());
    if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
    return {};
}

// ---------------------------------------------------------------- archive

Result<Archive> Archive::open(std::shared_ptr<Source> source) {
    Archive a;
    View v(*source);
    // A compound file (legacy deck, encrypted package) often embeds OOXML
    // objects; read as a ZIP with a prefix it would pass for that object.
    if (v.len() >= 4) {
        std::uint8_t head[4];
        if (auto r = source->read_at(0, head); !r) return fail(r.error());
        if (load_le32(head) == COMPOUND_FILE_SIGNATURE) return fail(Error::not_zip());
    }
    auto dir = find_directory(v);
    if (!dir) return fail(dir.error());
    if (*dir) a.declared_entries_ = (*dir)->declared;

    bool central_ok = false;
    Names names;
    if (*dir && (*dir)->usable) {
        auto entries = read_central(v, **dir, names);
        if (!entries) return fail(entries.error());
        // An empty directory is only right when the end record says so.
        if (!entries->empty() || (*dir)->declared == 0) {
            central_ok = true;
            a.entries_ = std::move(*entries);
            a.prefix_len_ = (*dir)->prefix_len;
            a.incomplete_ = a.entries_.size() < (*dir)->declared;
        }
    }
    if (!central_ok) {
        names = Names();
        auto entries = scan_local_headers(v, names);
        if (!entries) return fail(entries.error());
        if (entries->empty()) {
            if (!*dir) return fail(Error::not_zip());
            return fail(Error::zip("central directory not found", (*dir)->stored_offset));
        }
        a.entries_ = std::move(*entries);
        a.rebuilt_ = true;
    }

    names.move_into(a.names_, a.entries_);
    mark_overlaps(a.entries_, a.prefix_len_, v.len(), a.starts_);
    const auto& entries = a.entries_;
    a.by_name_.build(
        entries.size(), [&](std::size_t i) -> std::string_view { return entries[i].name; },
        [&](std::size_t i) { a.duplicates_.push_back(i); });
    a.source_ = std::move(source);
    return a;
}

Archive::Archive(const Archive& other)
    : source_(other.source_), entries_(other.entries_), names_(other.names_), by_name_(other.by_name_),
      duplicates_(other.duplicates_), starts_(other.starts_), prefix_len_(other.prefix_len_), declared_entries_(other.declared_entries_),
      rebuilt_(other.rebuilt_), incomplete_(other.incomplete_) {
    const auto here = [&](std::string_view there) {
        return std::string_view(names_.data() + (there.data() - other.names_.data()), there.size());
    };
    for (Entry& e : entries_) {
        e.name = here(e.name);
        e.raw_name = here(e.raw_name);
    }
}

Archive& Archive::operator=(const Archive& other) {
    if (this != &other) *this = Archive(other);
    return *this;
}

Result<Archive> Archive::open_path(std::string_view path) {
    auto src = FileSource::open(path);
    if (!src) return fail(src.error());
    return open(std::move(*src));
}

std::optional<std::size_t> Archive::find(std::string_view name) const {
    return by_name_.find(name, [this](std::size_t i) -> std::string_view { return entries_[i].name; });
}

Result<LocalHeader> Archive::local_header(const Entry& entry) const {
    const std::uint64_t len = source_->len();
    std::uint64_t pos;
    if (__builtin_add_overflow(entry.local_header_offset, prefix_len_, &pos) ||
        !fits(len, pos, LOCAL_NBYTES))
        return fail(Error::zip("local header out of bounds", pos));
    // The local name nearly always repeats the central one: reading that
    // many bytes with the header saves a second read.
    std::array<std::uint8_t, LOCAL_NBYTES + 226> head;
    const std::size_t got = static_cast<std::size_t>(
        std::min<std::uint64_t>({head.size(), len - pos, LOCAL_NBYTES + entry.raw_name.size()}));
    if (auto r = source_->read_at(pos, {head.data(), got}); !r) return fail(r.error());
    return local_header_at(*source_, pos, {head.data(), got}, true);
}

Result<std::optional<std::uint64_t>> Archive::header_before(const Entry& entry, std::uint64_t end) const {
    std::uint64_t pos;
    if (__builtin_add_overflow(entry.local_header_offset, prefix_len_, &pos)) return std::optional<std::uint64_t>();
    // Within its own span, as every honest entry is: nothing to look for.
    const auto next = std::upper_bound(starts_.begin(), starts_.end(), pos);
    if (next == starts_.end() || *next >= end) return std::optional<std::uint64_t>();
    // Offsets past a record that lies about its size start headers only
    // when their signature is there; the rest belong to the entry's data.
    intact_starts_->call([&]() -> std::optional<std::vector<std::uint64_t>> {
        const auto mem = source_->as_bytes();
        std::vector<std::uint64_t> intact;
        for (const std::uint64_t at : starts_) {
            std::uint8_t sig[4]; // every listed offset has room for a header
            // A header that cannot be read is no header: reading the entry
            // at it fails on its own.
            if (mem)
                std::memcpy(sig, mem->data() + at, sizeof sig);
            else if (!source_->read_at(at, sig))
                continue;
            if (load_le32(sig) == SIG_LOCAL) intact.push_back(at);
        }
        return intact;
    });
    const std::vector<std::uint64_t>& intact = *intact_starts_->get();
    const auto it = std::upper_bound(intact.begin(), intact.end(), pos);
    if (it == intact.end() || *it >= end) return std::optional<std::uint64_t>();
    return std::optional<std::uint64_t>(*it);
}

Result<void> Archive::read(const Entry& entry, bytes::Buffer& out) const {
    out.clear();
    if (entry.flags & FLAG_ENCRYPTED)
        return fail(Error::unsupported("encrypted zip entry " + std::string(entry.name)));
    if (entry.method != 0 && entry.method != 8)
        return fail(Error::unsupported("zip compression method " + std::to_string(entry.method) +
                                       " for " + std::string(entry.name)));
    if (entry.overlaps) return fail(Error::overlapping_entry(std::string(entry.name)));
    const std::uint64_t len = source_->len();
    const std::uint64_t csize = entry.compressed_size;
    const std::uint64_t usize = entry.uncompressed_size;
    std::uint64_t pos;
    if (__builtin_add_overflow(entry.local_header_offset, prefix_len_, &pos) ||
        !fits(len, pos, LOCAL_NBYTES))
        return fail(Error::zip("local header out of bounds", pos));
    const auto runs_into = [&entry](std::uint64_t header) {
        return Error::zip("entry " + std::string(entry.name) + " runs into the local header of another entry", header);
    };
    // The next readable entry's header. This entry's bytes reach past it
    // only when a size lies, and then end at the first intact header.
    const auto after = std::upper_bound(starts_.begin(), starts_.end(), pos);
    const std::uint64_t next = after == starts_.end() ? len : *after;
    // What was read from `pos` on: the whole rest of an in-memory source;
    // from a file, the header with a typical name and extra field, and for a
    // deflated entry its data too, so one read serves both. None of it is
    // zeroed first.
    std::array<std::uint8_t, LOCAL_NBYTES + 226> small;
    std::unique_ptr<std::uint8_t[]> buffer;
    std::span<const std::uint8_t> have;
    if (auto mem = source_->as_bytes()) {
        have = mem->subspan(static_cast<std::size_t>(pos));
    } else {
        const std::uint64_t head_nbytes = LOCAL_NBYTES + entry.raw_name.size() + LIKELY_EXTRA_NBYTES;
        std::uint64_t want = std::min<std::uint64_t>(len - pos, LOCAL_NBYTES + entry.raw_name.size());
        std::uint8_t* into = small.data();
        // A size running past the next entry's header is read apart from
        // the header, once the header is known to be intact: records that
        // lie about many headers must not read the file once for each.
        if (entry.method == 8 && next - pos >= LOCAL_NBYTES && csize <= next - pos - LOCAL_NBYTES) {
            want = std::min({len - pos, head_nbytes + csize, next - pos});
            buffer = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(want));
            into = buffer.get();
        } else {
            want = std::min<std::uint64_t>(want, small.size());
        }
        if (auto r = source_->read_at(pos, {into, static_cast<std::size_t>(want)}); !r) return fail(r.error());
        have = {into, static_cast<std::size_t>(want)};
    }
    auto lh = local_header_at(*source_, pos, have, false);
    if (!lh) return fail(lh.error());
    const std::uint64_t data_off = lh->data_offset;
    if (!fits(len, data_off, csize)) return fail(Error::zip("entry data out of bounds", data_off));
    if (entry.method == 0 && csize != usize) return fail(Error::zip("stored entry sizes differ", data_off));
    // The data this entry may read: up to an intact header within it, a
    // deflated stream being often shorter than a size that lies.
    std::uint64_t own = csize;
    if (data_off + csize > next) {
        auto header = header_before(entry, data_off + csize);
        if (!header) return fail(header.error());
        if (*header && (entry.method == 0 || **header < data_off)) return fail(runs_into(**header));
        if (*header) own = **header - data_off;
    }
    // The data when it lies within what was read.
    std::optional<std::span<const std::uint8_t>> data;
    if (data_off - pos <= have.size() && own <= have.size() - (data_off - pos))
        data = have.subspan(static_cast<std::size_t>(data_off - pos), static_cast<std::size_t>(own));

    if (entry.method == 0) {
        out.resize(static_cast<std::size_t>(csize));
        if (data) {
            if (csize > 0) std::memcpy(out.data(), data->data(), static_cast<std::size_t>(csize));
        } else if (auto r = source_->read_at(data_off, out); !r) {
            out.clear();
            return fail(r.error());
        }
        return {};
    }

    // A deflated empty entry written without even an empty final block.
    if (csize == 0 && usize == 0) return {};
    std::span<const std::uint8_t> in;
    if (data) {
        in = *data;
    } else {
        // An extra field longer than guessed: the data read on its own.
        buffer = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(own));
        if (auto r = source_->read_at(data_off, {buffer.get(), static_cast<std::size_t>(own)}); !r)
            return fail(r.error());
        in = {buffer.get(), static_cast<std::size_t>(own)};
    }
    // The recorded size is trusted only as far as the data could produce it.
    std::uint64_t bound = std::numeric_limits<std::uint64_t>::max();
    if (csize <= bound / MAX_INFLATE_RATIO) bound = csize * MAX_INFLATE_RATIO;
    // With the decoder's working room, so the output is allocated once.
    if (const std::uint64_t expected = std::min(usize, bound); expected <= TRUSTED_SIZE_NBYTES)
        out.reserve(static_cast<std::size_t>(expected + inflate::SLACK_NBYTES));
    const std::size_t max_out = usize > std::numeric_limits<std::size_t>::max()
                                    ? std::numeric_limits<std::size_t>::max()
                                    : static_cast<std::size_t>(usize);
    if (auto r = inflate::inflate(in, out, max_out); !r) {
        out.clear();
        // A stream that needs more than its own bytes would read the next entry's.
        if (own < csize) return fail(runs_into(data_off + own));
        return fail(r.error());
    }
    if (out.size() != usize) {
        const std::size_t got = out.size();
        out.clear();
        return fail(Error::inflate("inflated size " + std::to_string(got) + " of " + std::string(entry.name) +
                                   " differs from the recorded size " + std::to_string(usize)));
    }
    return {};
}

} // namespace vantrell_core::zip
