#include "core/cfb.h"
#include "core/ppt.h"
#include "corpus.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace cfb = vantrell_core::cfb;
namespace ppt = vantrell_core::ppt;
using vantrell_core::error::Kind;
using Bytes = std::vector<std::uint8_t>;

namespace {

void put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

// Builds compound files the way a writer lays them out: large streams, mini
// stream, mini FAT, directory, then the FAT (and DIFAT) sectors. The offsets of
// the structures are kept so that tests can damage them.
struct Builder {
    struct Node {
        std::u16string name;
        std::uint8_t type; // 1 storage, 2 stream
        std::size_t parent;
        Bytes data;
    };
    unsigned shift = 9;
    std::size_t header_difat_slots = 109; // fewer forces DIFAT sectors
    std::vector<Node> nodes{{u"Root Entry", 5, 0, {}}};

    std::size_t storage(std::u16string name, std::size_t parent = 0) {
        nodes.push_back({std::move(name), 1, parent, {}});
        return nodes.size() - 1;
    }
    std::size_t stream(std::u16string name, Bytes data, std::size_t parent = 0) {
        nodes.push_back({std::move(name), 2, parent, std::move(data)});
        return nodes.size() - 1;
    }

    // Outputs, filled by build().
    Bytes out;
    std::vector<std::uint32_t> fat;
    std::uint32_t dir_start = 0, minifat_start = 0, ministream_start = 0;
    std::vector<std::uint32_t> fat_sectors, difat_sectors, starts;

    std::size_t ss() const { return std::size_t{1} << shift; }
    std::size_t offset(std::uint32_t sector) const { return (sector + 1) * ss(); }
    std::size_t dir_offset(std::size_t id) const {
        // Directory sectors are contiguous in this layout.
        return offset(dir_start) + id * 128;
    }

    Bytes build() {
        std::vector<Bytes> sectors;
        fat.clear();
        auto alloc = [&](const Bytes& data) -> std::uint32_t {
            if (data.empty()) return cfb::ENDOFCHAIN;
            const auto first = static_cast<std::uint32_t>(sectors.size());
            for (std::size_t at = 0; at < data.size(); at += ss()) {
                Bytes s(ss());
                std::copy_n(data.begin() + at, std::min(ss(), data.size() - at), s.begin());
                sectors.push_back(std::move(s));
                fat.push_back(static_cast<std::uint32_t>(sectors.size()));
            }
            fat.back() = cfb::ENDOFCHAIN;
            return first;
        };
        starts.assign(nodes.size(), cfb::ENDOFCHAIN);
        Bytes mini, minifat;
        for (std::size_t i = 1; i < nodes.size(); ++i) {
            const Bytes& d = nodes[i].data;
            if (nodes[i].type != 2 || d.empty()) continue;
            if (d.size() >= 4096) {
                starts[i] = alloc(d);
                continue;
            }
            const auto first = static_cast<std::uint32_t>(mini.size() / 64);
            mini.insert(mini.end(), d.begin(), d.end());
            mini.resize((mini.size() + 63) / 64 * 64);
            const auto last = static_cast<std::uint32_t>(mini.size() / 64);
            for (std::uint32_t m = first; m < last; ++m) {
                Bytes w(4);
                put32(w, 0, m + 1 == last ? cfb::ENDOFCHAIN : m + 1);
                minifat.insert(minifat.end(), w.begin(), w.end());
            }
            starts[i] = first;
        }
        ministream_start = alloc(mini);
        minifat.resize((minifat.size() + ss() - 1) / ss() * ss(), 0xFF);
        minifat_start = alloc(minifat);
        Bytes dir(((nodes.size() * 128 + ss() - 1) / ss()) * ss());
        for (std::size_t i = nodes.size(); i < dir.size() / 128; ++i) {
            put32(dir, i * 128 + 0x44, cfb::NOSTREAM);
            put32(dir, i * 128 + 0x48, cfb::NOSTREAM);
            put32(dir, i * 128 + 0x4C, cfb::NOSTREAM);
        }
        dir_start = alloc(dir);
        write_directory(dir, mini.size());
        std::copy_n(dir.begin(), ss(), sectors[dir_start].begin());
        for (std::size_t k = 1; k < dir.size() / ss(); ++k)
            std::copy_n(dir.begin() + k * ss(), ss(), sectors[dir_start + k].begin());

        // FAT and DIFAT sectors cover themselves too.
        const std::size_t per = ss() / 4;
        std::size_t nfat = 0, ndifat = 0;
        for (;;) {
            const std::size_t total = sectors.size() + nfat + ndifat;
            const std::size_t want_fat = (total + per - 1) / per;
            const std::size_t extra = want_fat > header_difat_slots ? want_fat - header_difat_slots : 0;
            const std::size_t want_difat = (extra + per - 2) / (per - 1);
            if (want_fat == nfat && want_difat == ndifat) break;
            nfat = want_fat;
            ndifat = want_difat;
        }
        fat_sectors.clear();
        difat_sectors.clear();
        for (std::size_t i = 0; i < nfat; ++i) {
            fat_sectors.push_back(static_cast<std::uint32_t>(sectors.size()));
            fat.push_back(cfb::FATSECT);
            sectors.emplace_back(ss());
        }
        for (std::size_t i = 0; i < ndifat; ++i) {
            difat_sectors.push_back(static_cast<std::uint32_t>(sectors.size()));
            fat.push_back(cfb::DIFSECT);
            sectors.emplace_back(ss(), 0xFF);
        }
        fat.resize(nfat * per, cfb::FREESECT);
        for (std::size_t i = 0; i < nfat; ++i)
            for (std::size_t k = 0; k < per; ++k) put32(sectors[fat_sectors[i]], k * 4, fat[i * per + k]);
        for (std::size_t i = header_difat_slots, d = 0, k = 0; i < nfat; ++i) {
            put32(sectors[difat_sectors[d]], k * 4, fat_sectors[i]);
            if (++k == per - 1) {
                put32(sectors[difat_sectors[d]], k * 4,
                      d + 1 < ndifat ? difat_sectors[d + 1] : cfb::ENDOFCHAIN);
                k = 0;
                ++d;
            }
        }
        if (ndifat) put32(sectors[difat_sectors.back()], (per - 1) * 4, cfb::ENDOFCHAIN);

        out.assign(ss(), 0);
        const std::uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
        std::copy_n(sig, 8, out.begin());
        put16(out, 0x18, 0x3E);
        put16(out, 0x1A, shift == 9 ? 3 : 4);
        put16(out, 0x1C, 0xFFFE);
        put16(out, 0x1E, shift);
        put16(out, 0x20, 6);
        put32(out, 0x2C, static_cast<std::uint32_t>(nfat));
        put32(out, 0x30, dir_start);
        put32(out, 0x38, 4096);
        put32(out, 0x3C, minifat_start);
        put32(out, 0x40, static_cast<std::uint32_t>(minifat.size() / ss()));
        put32(out, 0x44, ndifat ? difat_sectors[0] : cfb::ENDOFCHAIN);
        put32(out, 0x48, static_cast<std::uint32_t>(ndifat));
        for (std::size_t i = 0; i < 109; ++i)
            put32(out, 0x4C + 4 * i, i < std::min(nfat, header_difat_slots) ? fat_sectors[i] : cfb::FREESECT);
        for (auto& s : sectors) out.insert(out.end(), s.begin(), s.end());
        return out;
    }

    // Children of each storage as a balanced tree in name order.
    void write_directory(Bytes& dir, std::size_t mini_size) {
        auto less = [&](std::size_t a, std::size_t b) {
            const auto& x = nodes[a].name;
            const auto& y = nodes[b].name;
            if (x.size() != y.size()) return x.size() < y.size();
            for (std::size_t i = 0; i < x.size(); ++i) {
                auto up = [](char16_t c) { return c >= u'a' && c <= u'z' ? c - 32 : c; };
                if (up(x[i]) != up(y[i])) return up(x[i]) < up(y[i]);
            }
            return false;
        };
        std::vector<std::uint32_t> left(nodes.size(), cfb::NOSTREAM), right(left), child(left);
        for (std::size_t p = 0; p < nodes.size(); ++p) {
            std::vector<std::size_t> kids;
            for (std::size_t i = 1; i < nodes.size(); ++i)
                if (nodes[i].parent == p) kids.push_back(i);
            std::sort(kids.begin(), kids.end(), less);
            auto tree = [&](auto& self, std::size_t lo, std::size_t hi) -> std::uint32_t {
                if (lo >= hi) return cfb::NOSTREAM;
                const std::size_t mid = (lo + hi) / 2;
                left[kids[mid]] = self(self, lo, mid);
                right[kids[mid]] = self(self, mid + 1, hi);
                return static_cast<std::uint32_t>(kids[mid]);
            };
            if (nodes[p].type != 2) child[p] = tree(tree, 0, kids.size());
        }
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const std::size_t at = i * 128;
            const auto& n = nodes[i];
            for (std::size_t k = 0; k < n.name.size(); ++k) put16(dir, at + 2 * k, n.name[k]);
            put16(dir, at + 0x40, static_cast<std::uint32_t>((n.name.size() + 1) * 2));
            dir[at + 0x42] = n.type;
            dir[at + 0x43] = 1;
            put32(dir, at + 0x44, left[i]);
            put32(dir, at + 0x48, right[i]);
            put32(dir, at + 0x4C, child[i]);
            put32(dir, at + 0x74, i == 0 ? ministream_start : starts[i]);
            put32(dir, at + 0x78, static_cast<std::uint32_t>(i == 0 ? mini_size : n.data.size()));
        }
    }
};

std::string error_of(const Bytes& file) {
    auto c = cfb::Compound::parse(file);
    return c ? std::string("ok") : c.error().message();
}

} // namespace

TEST(Cfb, Signature) {
    EXPECT_TRUE(cfb::has_signature(Bytes{0xD0, 0xCF, 0x11, 0xE0}));
    EXPECT_FALSE(cfb::has_signature(Bytes{0xD0, 0xCF, 0x11}));
    EXPECT_FALSE(cfb::has_signature(Bytes{'P', 'K', 3, 4, 0}));
    EXPECT_FALSE(cfb::has_signature({}));
}

TEST(Cfb, ReadsSmallAndLargeStreamsInBothSectorSizes) {
    for (unsigned shift : {9u, 12u}) {
        Builder b;
        b.shift = shift;
        const Bytes small = pattern(100, 1), big = pattern(9000, 2), edge = pattern(4096, 3),
                    below = pattern(4095, 4);
        b.stream(u"Small", small);
        b.stream(u"PowerPoint Document", big);
        b.stream(u"Edge", edge);
        b.stream(u"Below", below);
        b.stream(u"Empty", {});
        auto c = cfb::Compound::parse(b.build());
        ASSERT_TRUE(c) << c.error().message();
        EXPECT_EQ(c->sector_size(), 1u << shift);
        EXPECT_EQ(*c->read_stream("Small"), small);
        EXPECT_EQ(*c->read_stream("PowerPoint Document"), big);
        EXPECT_EQ(*c->read_stream("Edge"), edge);
        EXPECT_EQ(*c->read_stream("Below"), below);
        EXPECT_TRUE(c->read_stream("Empty")->empty());
        EXPECT_EQ(c->read_stream("Nope").error().message(), "compound file: no stream Nope");
    }
}

TEST(Cfb, StreamSizeHighHalfCountsOnlyWithLargeSectors) {
    for (unsigned shift : {9u, 12u}) {
        Builder b;
        b.shift = shift;
        b.stream(u"Big", pattern(5000, 1));
        Bytes file = b.build();
        put32(file, b.dir_offset(1) + 0x7C, 1);
        auto c = cfb::Compound::parse(file);
        ASSERT_TRUE(c) << c.error().message();
        EXPECT_EQ(c->major_version(), shift == 9 ? 3u : 4u);
        const cfb::DirEntry& e = c->entries()[1];
        EXPECT_EQ(e.name, "Big");
        EXPECT_EQ(e.start_sector, b.starts[1]);
        if (shift == 9) {
            EXPECT_EQ(*c->read_stream("Big"), pattern(5000, 1));
        } else {
            EXPECT_EQ(e.size, (std::uint64_t{1} << 32) + 5000);
        }
    }
}

TEST(Cfb, NamesAndPathsIgnoreCaseAndWalkTheWholeTree) {
    Builder b;
    std::vector<std::u16string> names;
    for (int i = 0; i < 12; ++i) {
        std::u16string n = u"S";
        n += static_cast<char16_t>(u'a' + i);
        b.stream(n, pattern(10 + i, static_cast<std::uint8_t>(i)));
        names.push_back(n);
    }
    const auto dual = b.storage(u"PP97_DUALSTORAGE");
    b.stream(u"PowerPoint Document", pattern(50, 9), dual);
    b.stream(u"\x05SummaryInformation", pattern(20, 8));
    b.stream(u"\u00e9t\u00e9", pattern(5, 7));
    auto c = cfb::Compound::parse(b.build());
    ASSERT_TRUE(c) << c.error().message();

    const auto kids = c->children(0);
    EXPECT_EQ(kids.size(), 15u);
    EXPECT_TRUE(c->find("SA"));
    EXPECT_TRUE(c->find("sl"));
    EXPECT_EQ(*c->read_stream("pp97_dualstorage/POWERPOINT document"), pattern(50, 9));
    EXPECT_EQ(*c->read_stream("/PP97_DualStorage/PowerPoint Document"), pattern(50, 9));
    EXPECT_FALSE(c->find("PowerPoint Document"));
    EXPECT_EQ(*c->read_stream("\x05SummaryInformation"), pattern(20, 8));
    EXPECT_EQ(*c->read_stream("\u00c9T\u00c9"), pattern(5, 7));
    EXPECT_EQ(c->entries()[*c->find("\u00e9t\u00e9")].name, "\u00e9t\u00e9");
    EXPECT_EQ(c->find(""), 0u);
    // A storage is not a stream, and a stream has no children.
    EXPECT_FALSE(c->read_stream("PP97_DUALSTORAGE"));
    EXPECT_FALSE(c->find("Sa/x"));
    EXPECT_TRUE(c->children(*c->find("Sa")).empty());
}

TEST(Cfb, OpensFromSources) {
    Builder b;
    b.stream(u"PowerPoint Document", pattern(6000, 1));
    const Bytes file = b.build();
    auto c = cfb::Compound::open(vantrell_core::zip::MemorySource(file));
    ASSERT_TRUE(c) << c.error().message();
    EXPECT_EQ(*c->read_stream("PowerPoint Document"), pattern(6000, 1));

    const auto path = std::filesystem::temp_directory_path() / ("vantrell-cfb-" + std::to_string(getpid()));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                static_cast<std::streamsize>(file.size()));
    auto src = vantrell_core::zip::FileSource::open(path.string());
    ASSERT_TRUE(src);
    auto d = cfb::Compound::open(**src);
    ASSERT_TRUE(d) << d.error().message();
    EXPECT_EQ(*d->read_stream("powerpoint document"), pattern(6000, 1));
    std::filesystem::remove(path);
}

// A file cut short inside its last sector reads as if padded with zeros,
// from a file as from memory: the padding is never left as it was allocated.
TEST(Cfb, ShortLastSectorReadsAsZeros) {
    const auto outcome = [](const vantrell_core::Result<cfb::Compound>& c) -> std::string {
        if (!c) return "open: " + c.error().message();
        auto s = c->read_stream("PowerPoint Document");
        if (!s) return "read: " + s.error().message();
        return std::string(s->begin(), s->end());
    };
    Builder b;
    b.stream(u"PowerPoint Document", pattern(6000, 3));
    const Bytes whole = b.build();
    ASSERT_EQ(outcome(cfb::Compound::parse(whole)).size(), 6000u);
    for (std::size_t cut : {1u, 100u, 511u}) {
        const Bytes file(whole.begin(), whole.end() - static_cast<std::ptrdiff_t>(cut));
        Bytes padded = file;
        padded.resize(whole.size(), 0);
        const std::string expected = outcome(cfb::Compound::parse(padded));

        const auto path = std::filesystem::temp_directory_path() /
                          ("vantrell-cfb-short-" + std::to_string(getpid()) + "-" + std::to_string(cut));
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                    static_cast<std::streamsize>(file.size()));
        auto src = vantrell_core::zip::FileSource::open(path.string());
        ASSERT_TRUE(src);
        EXPECT_EQ(outcome(cfb::Compound::open(**src)), expected) << cut;
        EXPECT_EQ(outcome(cfb::Compound::parse(file)), expected) << cut;
        std::filesystem::remove(path);
    }
}

TEST(Cfb, DifatChainListsFatSectors) {
    Builder b;
    b.header_difat_slots = 1;
    b.stream(u"Big", pattern(200000, 5)); // 391 sectors: four FAT sectors
    auto c = cfb::Compound::parse(b.build());
    ASSERT_TRUE(c) << c.error().message();
    ASSERT_FALSE(b.difat_sectors.empty());
    EXPECT_EQ(*c->read_stream("Big"), pattern(200000, 5));

    Bytes looped = b.out; // DIFAT sector pointing at itself
    put32(looped, b.offset(b.difat_sectors[0]) + b.ss() - 4, b.difat_sectors[0]);
    put32(looped, 0x2C, 100);
    EXPECT_EQ(error_of(looped), "compound file: cycle in DIFAT chain");
    Bytes outside = b.out;
    put32(outside, 0x44, 0x00FFFFFF);
    EXPECT_EQ(error_of(outside), "compound file: DIFAT sector 16777215 out of range");
}

TEST(Cfb, HeaderFaults) {
    Builder b;
    b.stream(u"A", pattern(10, 1));
    const Bytes good = b.build();
    EXPECT_EQ(error_of(Bytes(good.begin(), good.begin() + 511)), "compound file: truncated header");
    Bytes bad = good;
    bad[7] = 0;
    EXPECT_EQ(error_of(bad), "compound file: bad signature");
    bad = good;
    put16(bad, 0x1C, 0xFEFF);
    EXPECT_EQ(error_of(bad), "compound file: bad byte order mark");
    bad = good;
    put16(bad, 0x1E, 40); // a shift this large would overflow the sector size
    EXPECT_EQ(error_of(bad), "compound file: unsupported sector shift 40");
    bad = good;
    put16(bad, 0x20, 7);
    EXPECT_EQ(error_of(bad), "compound file: unsupported mini sector shift 7");
    bad = good;
    put32(bad, 0x2C, 0xFFFFFFFF);
    EXPECT_EQ(error_of(bad), "compound file: FAT sector count 4294967295 exceeds the file");
    bad = good;
    put32(bad, 0x4C, 0x7FFFFFF0);
    EXPECT_EQ(error_of(bad), "compound file: FAT sector 2147483632 out of range");
}

TEST(Cfb, ChainFaultsAreErrors) {
    Builder b;
    b.stream(u"Big", pattern(5000, 1));
    b.stream(u"Small", pattern(200, 2));
    const Bytes good = b.build();
    const std::uint32_t big = b.starts[1];
    const std::size_t fat0 = b.offset(b.fat_sectors[0]);

    Bytes cyc = good; // second sector of Big points back at the first
    put32(cyc, fat0 + 4 * (big + 1), big);
    auto c = cfb::Compound::parse(cyc);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->read_stream("Big").error().message(), "compound file: cycle in FAT chain");

    Bytes early = good;
    put32(early, fat0 + 4 * big, cfb::ENDOFCHAIN);
    EXPECT_EQ(cfb::Compound::parse(early)->read_stream("Big").error().message(),
              "compound file: FAT chain ends early");

    Bytes range = good;
    put32(range, fat0 + 4 * big, 0x00ABCDEF);
    EXPECT_EQ(cfb::Compound::parse(range)->read_stream("Big").error().message(),
              "compound file: sector 11259375 out of range in FAT");

    Bytes huge = good; // a size beyond the file is refused before any allocation
    put32(huge, b.dir_offset(1) + 0x78, 0xFFFFFFF0);
    EXPECT_EQ(cfb::Compound::parse(huge)->read_stream("Big").error().message(),
              "compound file: stream Big larger than the file");

    Bytes dirloop = good; // directory chain that loops on itself
    put32(dirloop, fat0 + 4 * b.dir_start, b.dir_start);
    EXPECT_EQ(error_of(dirloop), "compound file: cycle in directory chain");

    Bytes noroot = good;
    noroot[b.dir_offset(0) + 0x42] = 1;
    EXPECT_EQ(error_of(noroot), "compound file: no root entry");
}

TEST(Cfb, MiniStreamFaultsOnlyAffectSmallStreams) {
    Builder b;
    b.stream(u"Big", pattern(5000, 1));
    b.stream(u"Small", pattern(200, 2));
    const Bytes good = b.build();

    Bytes bad = good;
    put32(bad, b.dir_offset(0) + 0x74, 0x00FFFFFF); // root's mini stream start
    auto c = cfb::Compound::parse(bad);
    ASSERT_TRUE(c) << c.error().message();
    EXPECT_EQ(*c->read_stream("Big"), pattern(5000, 1));
    EXPECT_EQ(c->read_stream("Small").error().message(),
              "compound file: sector 16777215 out of range in mini stream");

    Bytes minicyc = good; // mini FAT entry 1 points back to 0
    put32(minicyc, b.offset(b.minifat_start) + 4, 0);
    EXPECT_EQ(cfb::Compound::parse(minicyc)->read_stream("Small").error().message(),
              "compound file: cycle in mini FAT chain");

    Bytes big_small = good; // a small stream claiming more than the mini stream holds
    put32(big_small, b.dir_offset(2) + 0x78, 4000);
    EXPECT_EQ(cfb::Compound::parse(big_small)->read_stream("Small").error().message(),
              "compound file: stream Small larger than the mini stream");
}

TEST(Cfb, HostileDirectoryTreesTerminate) {
    Builder b;
    for (char16_t ch = u'a'; ch <= u'g'; ++ch) b.stream(std::u16string(1, ch), pattern(3, 1));
    const Bytes good = b.build();
    // Every link of every entry points at entry 1, and at the root, and far away.
    for (std::uint32_t target : {1u, 0u, 0x7FFFFFFFu}) {
        Bytes bad = good;
        for (std::size_t id = 1; id < b.nodes.size(); ++id) {
            put32(bad, b.dir_offset(id) + 0x44, target);
            put32(bad, b.dir_offset(id) + 0x48, target);
            put32(bad, b.dir_offset(id) + 0x4C, target);
        }
        auto c = cfb::Compound::parse(bad);
        ASSERT_TRUE(c);
        EXPECT_LE(c->children(0).size(), 7u);
        for (std::uint32_t id = 0; id < c->entries().size(); ++id) (void)c->children(id);
        (void)c->find("a/b/c/d");
    }
    // A name length field that lies falls back to the NUL-terminated name.
    Bytes odd = good;
    put16(odd, b.dir_offset(1) + 0x40, 999);
    auto c = cfb::Compound::parse(odd);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->entries()[1].name.size(), 1u);
}

TEST(Cfb, EveryPrefixAndByteFlipIsSafe) {
    Builder b;
    b.stream(u"Big", pattern(5000, 1));
    b.stream(u"Small", pattern(300, 2));
    const auto sub = b.storage(u"Sub");
    b.stream(u"Inner", pattern(70, 3), sub);
    const Bytes good = b.build();
    auto touch = [](const Bytes& file) {
        auto c = cfb::Compound::parse(file);
        if (!c) return;
        for (std::uint32_t id = 0; id < c->entries().size(); ++id) {
            (void)c->children(id);
            (void)c->read_stream(id);
        }
    };
    for (std::size_t n = 0; n <= good.size(); n += 37) {
        // Copied to an exact-size buffer so that any over-read leaves it.
        touch(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)));
    }
    for (std::size_t at = 0; at < good.size(); at += 3) {
        Bytes bad = good;
        bad[at] ^= 0xA5;
        touch(bad);
    }
}

TEST(Cfb, CorpusDecksOpen) {
    const auto corpus = testkit::corpus_dir();
    if (!corpus) GTEST_SKIP() << "corpus absent";
    const std::filesystem::path& root = *corpus;
    int opened = 0;
    for (const auto& f : std::filesystem::directory_iterator(root)) {
        std::ifstream in(f.path(), std::ios::binary);
        Bytes data((std::istreambuf_iterator<char>(in)), {});
        if (!cfb::has_signature(data)) continue;
        auto c = cfb::Compound::parse(std::move(data));
        if (!c) continue; // damaged files may be refused, never crash
        ++opened;
        for (std::uint32_t id = 0; id < c->entries().size(); ++id)
            if (c->entries()[id].is_stream()) (void)c->read_stream(id);
        std::string ext = f.path().extension().string();
        std::ranges::transform(ext, ext.begin(), [](unsigned char ch) { return std::tolower(ch); });
        if (ext != ".ppt") continue;
        const bool dual = c->find("PP97_DUALSTORAGE").has_value();
        const bool plain = c->find("PowerPoint Document").has_value();
        const bool encrypted = c->find("EncryptedPackage").has_value();
        if (dual || plain || encrypted) continue;
        // Any other compound file is refused for what it holds: PowerPoint
        // 4 keeps its deck in one stream of its own, and anything else holds
        // no deck at all.
        auto deck = ppt::Deck::open(*c);
        ASSERT_FALSE(deck) << f.path();
        EXPECT_EQ(deck.error().kind(), c->find("PP40") ? Kind::Unsupported : Kind::NoPowerPointStream) << f.path();
    }
    EXPECT_GT(opened, 0);
}
