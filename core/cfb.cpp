// Compound-file reader.
#include "core/cfb.h"

#include "core/bytes.h"
#include "core/encoding.h"

#include <algorithm>
#include <array>
#include <utility>

namespace vantrell_core::cfb {

namespace {

constexpr std::uint8_t SIGNATURE[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::size_t HEADER_SIZE = 512;
// The larger of the two sector sizes a compound file may use.
constexpr std::size_t MAX_SECTOR_NBYTES = 4096;
constexpr std::size_t HEADER_DIFAT_SLOTS = 109;
constexpr std::size_t DIR_ENTRY_SIZE = 128;
constexpr std::uint32_t MINI_SECTOR_SIZE = 64;

using bytes::load_le16;
using bytes::load_le32;

Error bad(std::string what) { return Error::other("compound file: " + std::move(what)); }

// Simple upper-casing of the scripts whose names turn up in real files; the
// names that matter to the reader are ASCII.
char16_t fold(char16_t c) noexcept {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c < 0x80) return c;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F))
        return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    return c;
}

bool same_name(std::u16string_view a, std::u16string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

bool is_chain_end(std::uint32_t n) noexcept { return n == ENDOFCHAIN || n == FREESECT; }

} // namespace

bool has_signature(std::span<const std::uint8_t> bytes) noexcept {
    return bytes.size() >= 4 && std::equal(SIGNATURE, SIGNATURE + 4, bytes.begin());
}

std::uint64_t Compound::sector_count() const noexcept {
    return file_.size() / sector_size_ - 1;
}

const std::uint8_t* Compound::sector(std::uint32_t n) const noexcept {
    return file_.data() + (static_cast<std::size_t>(n) + 1) * sector_size_;
}

// The sectors of a chain through `table`, each below `limit`. With `need` set
// (not UINT64_MAX) exactly that many sectors are taken and what follows is not
// looked at; otherwise the chain runs to its end mark.
Result<std::vector<std::uint32_t>> Compound::chain(std::uint32_t start, const std::vector<std::uint32_t>& table,
                                                   std::uint64_t limit, std::uint64_t need,
                                                   const char* what) const {
    const bool to_end = need == UINT64_MAX;
    std::vector<std::uint32_t> out;
    if (!to_end) out.reserve(need);
    std::vector<bool> seen(limit);
    std::uint32_t cur = start;
    while (to_end || out.size() < need) {
        if (is_chain_end(cur)) {
            if (to_end) break;
            return fail(bad(std::string(what) + " chain ends early"));
        }
        if (cur >= limit || cur >= table.size())
            return fail(bad("sector " + std::to_string(cur) + " out of range in " + what));
        if (seen[cur]) return fail(bad(std::string("cycle in ") + what + " chain"));
        seen[cur] = true;
        out.push_back(cur);
        cur = table[cur];
    }
    return out;
}

// The header fields the reader uses.
struct Compound::Header {
    std::uint16_t major_version = 0;
    std::uint16_t byte_order = 0;
    std::uint16_t sector_shift = 0;
    std::uint16_t mini_sector_shift = 0;
    std::uint32_t fat_sectors = 0;
    std::uint32_t first_directory_sector = 0;
    std::uint32_t first_mini_fat_sector = 0;
    std::uint32_t first_difat_sector = 0;
    std::array<std::uint32_t, HEADER_DIFAT_SLOTS> difat{};  // the first FAT sectors
};

Result<Compound> Compound::parse_file(FileBytes file) {
    bytes::Cursor in(file);
    Header h;
    const auto signature = in.bytes(sizeof SIGNATURE);
    in.skip(16 + 2);  // class id, minor version
    h.major_version = in.u16();
    h.byte_order = in.u16();
    h.sector_shift = in.u16();
    h.mini_sector_shift = in.u16();
    in.skip(6 + 4);  // reserved, directory sector count
    h.fat_sectors = in.u32();
    h.first_directory_sector = in.u32();
    in.skip(4 + 4);  // transaction signature, mini stream cutoff
    h.first_mini_fat_sector = in.u32();
    in.skip(4);  // mini FAT sector count
    h.first_difat_sector = in.u32();
    in.skip(4);  // DIFAT sector count
    for (std::uint32_t& n : h.difat) n = in.u32();
    static_assert(HEADER_SIZE == 0x4C + 4 * HEADER_DIFAT_SLOTS);
    if (!in.ok()) return fail(bad("truncated header"));

    if (!std::equal(signature.begin(), signature.end(), SIGNATURE)) return fail(bad("bad signature"));
    if (h.byte_order != 0xFFFE) return fail(bad("bad byte order mark"));
    if (h.sector_shift != 9 && h.sector_shift != 12)
        return fail(bad("unsupported sector shift " + std::to_string(h.sector_shift)));
    if (h.mini_sector_shift != 6)
        return fail(bad("unsupported mini sector shift " + std::to_string(h.mini_sector_shift)));

    Compound c;
    c.sector_size_ = 1u << h.sector_shift;
    c.major_ = h.major_version;
    // A short final sector reads as if padded with zeros; sector numbers at
    // MAXREGSECT and above are special, so no file has more sectors than that.
    const std::uint64_t ssz = c.sector_size_;
    std::uint64_t count = file.size() <= ssz ? 0 : (file.size() - ssz + ssz - 1) / ssz;
    count = std::min<std::uint64_t>(count, MAXREGSECT);
    file.resize(static_cast<std::size_t>((count + 1) * ssz), 0);
    c.file_ = std::move(file);

    if (auto r = c.load_fat(h); !r) return fail(std::move(r.error()));
    if (auto r = c.load_directory(h.first_directory_sector); !r) return fail(std::move(r.error()));
    if (auto r = c.load_mini(h.first_mini_fat_sector); !r) c.mini_error_ = std::move(r.error());
    return c;
}

Result<Compound> Compound::open(const zip::Source& source) {
    if (auto bytes = source.as_bytes()) return parse(*bytes);
    if (source.len() > SIZE_MAX - MAX_SECTOR_NBYTES) return fail(bad("file too large"));
    const std::size_t len = static_cast<std::size_t>(source.len());
    FileBytes file;
    // Room for the padding to whole sectors, so that it does not move the
    // bytes again; the bytes the read fills are not zeroed first.
    file.reserve(std::max(MAX_SECTOR_NBYTES, (len + MAX_SECTOR_NBYTES - 1) / MAX_SECTOR_NBYTES * MAX_SECTOR_NBYTES));
    file.resize(len);
    if (auto r = source.read_at(0, file); !r) return fail(std::move(r.error()));
    return parse_file(std::move(file));
}

Result<void> Compound::load_fat(const Header& h) {
    const std::uint64_t count = sector_count();
    const std::uint32_t declared = h.fat_sectors;
    if (declared > count) return fail(bad("FAT sector count " + std::to_string(declared) + " exceeds the file"));

    std::vector<std::uint32_t> fat_sectors;
    fat_sectors.reserve(declared);
    auto take = [&](std::uint32_t n) -> Result<void> {
        if (fat_sectors.size() >= declared || n == FREESECT || n == ENDOFCHAIN) return {};
        if (n >= count) return fail(bad("FAT sector " + std::to_string(n) + " out of range"));
        fat_sectors.push_back(n);
        return {};
    };
    for (const std::uint32_t n : h.difat)
        if (auto r = take(n); !r) return r;

    // DIFAT sectors are not chained through the FAT: each ends with the number
    // of the next one. Only as many are walked as the declared FAT needs.
    const std::size_t per_sector = sector_size_ / 4 - 1;
    std::vector<bool> seen(count);
    std::uint32_t next = h.first_difat_sector;
    while (fat_sectors.size() < declared && !is_chain_end(next)) {
        if (next >= count) return fail(bad("DIFAT sector " + std::to_string(next) + " out of range"));
        if (seen[next]) return fail(bad("cycle in DIFAT chain"));
        seen[next] = true;
        const std::uint8_t* s = sector(next);
        for (std::size_t i = 0; i < per_sector; ++i)
            if (auto r = take(load_le32(s + 4 * i)); !r) return r;
        next = load_le32(s + 4 * per_sector);
    }

    const std::size_t words = sector_size_ / 4;
    fat_.reserve(fat_sectors.size() * words);
    for (std::uint32_t n : fat_sectors) {
        const std::uint8_t* s = sector(n);
        for (std::size_t i = 0; i < words; ++i) fat_.push_back(load_le32(s + 4 * i));
    }
    return {};
}

Result<void> Compound::load_directory(std::uint32_t first_sector) {
    auto sectors = chain(first_sector, fat_, sector_count(), UINT64_MAX, "directory");
    if (!sectors) return fail(std::move(sectors.error()));
    const bool v3 = sector_size_ == 512;
    const std::size_t per_sector = sector_size_ / DIR_ENTRY_SIZE;
    entries_.reserve(sectors->size() * per_sector);
    for (std::uint32_t n : *sectors) {
        for (std::size_t k = 0; k < per_sector; ++k) {
            // Every entry lies whole within its sector, so the cursor never fails.
            bytes::Cursor in({sector(n) + k * DIR_ENTRY_SIZE, DIR_ENTRY_SIZE});
            const auto name = in.bytes(64);
            const std::uint16_t name_bytes = in.u16();
            const std::uint8_t type = in.u8();
            in.skip(1);  // colour
            DirEntry e;
            e.left = in.u32();
            e.right = in.u32();
            e.child = in.u32();
            in.skip(16 + 4 + 8 + 8);  // class id, state bits, creation and modification times
            e.start_sector = in.u32();
            const std::uint64_t size = in.u64();
            // Old writers of 512-byte-sector files left garbage in the high half.
            e.size = v3 ? size & 0xFFFFFFFF : size;
            // The length field counts bytes including the NUL; a bad one falls
            // back to the NUL-terminated name within the 32-unit field.
            const std::size_t max_units =
                (name_bytes % 2 == 0 && name_bytes <= 64) ? (name_bytes == 0 ? 0 : name_bytes / 2 - 1) : 32;
            for (std::size_t i = 0; i < max_units; ++i) {
                const auto u = static_cast<char16_t>(load_le16(name, 2 * i));
                if (u == 0) break;
                e.raw_name += u;
            }
            e.name = encoding::utf8_of_utf16(e.raw_name);
            switch (type) {
            case 1: e.type = ObjectType::storage; break;
            case 2: e.type = ObjectType::stream; break;
            case 5: e.type = ObjectType::root; break;
            default: e.type = ObjectType::unused; break;
            }
            entries_.push_back(std::move(e));
        }
    }
    if (entries_.empty() || entries_[0].type != ObjectType::root) return fail(bad("no root entry"));
    return {};
}

Result<void> Compound::load_mini(std::uint32_t first_mini_fat_sector) {
    const DirEntry& root = entries_[0];
    const std::uint64_t capacity = sector_count() * sector_size_;
    if (root.size > capacity) return fail(bad("mini stream larger than the file"));
    const std::uint64_t need = (root.size + sector_size_ - 1) / sector_size_;
    auto sectors = chain(root.start_sector, fat_, sector_count(), need, "mini stream");
    if (!sectors) return fail(std::move(sectors.error()));
    mini_stream_.reserve(static_cast<std::size_t>(root.size));
    for (std::uint32_t n : *sectors) {
        const std::size_t take = static_cast<std::size_t>(
            std::min<std::uint64_t>(sector_size_, root.size - mini_stream_.size()));
        mini_stream_.insert(mini_stream_.end(), sector(n), sector(n) + take);
    }

    auto mf = chain(first_mini_fat_sector, fat_, sector_count(), UINT64_MAX, "mini FAT");
    if (!mf) return fail(std::move(mf.error()));
    const std::size_t words = sector_size_ / 4;
    mini_fat_.reserve(mf->size() * words);
    for (std::uint32_t n : *mf)
        for (std::size_t i = 0; i < words; ++i) mini_fat_.push_back(load_le32(sector(n) + 4 * i));
    return {};
}

std::vector<std::uint32_t> Compound::children(std::uint32_t storage) const {
    std::vector<std::uint32_t> out;
    if (storage >= entries_.size() || !entries_[storage].is_storage()) return out;
    // In-order walk with an explicit stack; an entry is marked when first
    // reached, so a link back into the walk (a cycle) is simply not followed.
    std::vector<bool> seen(entries_.size());
    seen[0] = true;
    seen[storage] = true;
    std::vector<std::uint32_t> stack;
    auto fresh = [&](std::uint32_t id) { return id < entries_.size() && !seen[id]; };
    std::uint32_t cur = entries_[storage].child;
    for (;;) {
        while (fresh(cur)) {
            seen[cur] = true;
            stack.push_back(cur);
            cur = entries_[cur].left;
        }
        if (stack.empty()) break;
        const std::uint32_t id = stack.back();
        stack.pop_back();
        if (entries_[id].type != ObjectType::unused) out.push_back(id);
        cur = entries_[id].right;
    }
    return out;
}

std::optional<std::uint32_t> Compound::child(std::uint32_t storage, std::string_view name) const {
    const std::u16string want = encoding::utf16_of_utf8(name);
    for (std::uint32_t id : children(storage))
        if (same_name(entries_[id].raw_name, want)) return id;
    return std::nullopt;
}

std::optional<std::uint32_t> Compound::find(std::string_view path) const {
    std::uint32_t cur = 0;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view step = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (step.empty()) continue;
        auto next = child(cur, step);
        if (!next) return std::nullopt;
        cur = *next;
    }
    return cur;
}

Result<std::vector<std::uint8_t>> Compound::read_stream(std::uint32_t id) const {
    if (id >= entries_.size() || !entries_[id].is_stream())
        return fail(bad("entry " + std::to_string(id) + " is not a stream"));
    const DirEntry& e = entries_[id];
    std::vector<std::uint8_t> out;
    if (e.size < MINI_STREAM_CUTOFF) {
        if (mini_error_) return fail(*mini_error_);
        if (e.size > mini_stream_.size()) return fail(bad("stream " + e.name + " larger than the mini stream"));
        const std::uint64_t need = (e.size + MINI_SECTOR_SIZE - 1) / MINI_SECTOR_SIZE;
        auto sectors = chain(e.start_sector, mini_fat_, mini_stream_.size() / MINI_SECTOR_SIZE, need, "mini FAT");
        if (!sectors) return fail(std::move(sectors.error()));
        out.reserve(static_cast<std::size_t>(e.size));
        for (std::uint32_t m : *sectors) {
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(MINI_SECTOR_SIZE, e.size - out.size()));
            const auto* p = mini_stream_.data() + static_cast<std::size_t>(m) * MINI_SECTOR_SIZE;
            out.insert(out.end(), p, p + take);
        }
        return out;
    }
    if (e.size > sector_count() * sector_size_) return fail(bad("stream " + e.name + " larger than the file"));
    const std::uint64_t need = (e.size + sector_size_ - 1) / sector_size_;
    auto sectors = chain(e.start_sector, fat_, sector_count(), need, "FAT");
    if (!sectors) return fail(std::move(sectors.error()));
    out.reserve(static_cast<std::size_t>(e.size));
    for (std::uint32_t n : *sectors) {
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(sector_size_, e.size - out.size()));
        out.insert(out.end(), sector(n), sector(n) + take);
    }
    return out;
}

Result<std::vector<std::uint8_t>> Compound::read_stream(std::string_view path) const {
    auto id = find(path);
    if (!id || !entries_[*id].is_stream()) return fail(bad("no stream " + std::string(path)));
    return read_stream(*id);
}

} // namespace vantrell_core::cfb
