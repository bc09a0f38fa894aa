#include "core/zip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>
#include <tuple>
#include <vector>

#include "core/crc32.h"
#include "corpus.h"
#include "testkit.h"

namespace vz = vantrell_core::zip;
using vantrell_core::Error;
using vantrell_core::error::Kind;
using Bytes = std::vector<std::uint8_t>;
using Buffer = vantrell_core::bytes::Buffer;

namespace {

Bytes to_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes deflate_raw(const Bytes& in) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&zs, static_cast<uLong>(in.size())) + 16);
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

void put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(Bytes& b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
void put64(Bytes& b, std::uint64_t v) {
    put32(b, static_cast<std::uint32_t>(v));
    put32(b, static_cast<std::uint32_t>(v >> 32));
}
void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
void append(Bytes& b, std::string_view more) { b.insert(b.end(), more.begin(), more.end()); }

// One item for the test archive builder.
struct Item {
    std::string name;
    Bytes data;  // uncompressed
    std::uint16_t method = 8;
    std::uint16_t flags = 0;
    bool zip64 = false;         // 0xFFFFFFFF markers plus ZIP64 extra fields
    bool descriptor = false;    // sizes and CRC after the data (flag bit 3)
    bool descriptor_sig = true;
    std::uint16_t version_needed = 20;
    // Central-directory values that lie about the data.
    std::optional<std::uint32_t> central_usize;
    std::optional<std::uint32_t> central_csize;
    // A stored offset for the central record instead of the item's own.
    std::optional<std::uint64_t> central_offset;
};

struct Options {
    std::string prefix;       // bytes before the archive; stored offsets not shifted
    std::string comment;      // end record comment
    std::string garbage;      // bytes after the end record
    bool zip64_end = false;   // ZIP64 end record and locator, 32-bit fields at their markers
    std::optional<std::uint16_t> declared;  // entry count in the end record
};

struct Built {
    Bytes bytes;
    std::vector<std::uint64_t> local_offsets;  // source offsets of local headers
    std::uint64_t cd_start = 0;                // source offset of the central directory
};

Built build(const std::vector<Item>& items, const Options& o = {}) {
    Built out;
    Bytes& z = out.bytes;
    append(z, o.prefix);
    const std::uint64_t base = z.size();
    struct Rec {
        std::uint32_t crc;
        std::uint64_t csize, usize, offset;
    };
    std::vector<Rec> recs;
    for (const Item& it : items) {
        const Bytes payload = it.method == 8 ? deflate_raw(it.data) : it.data;
        Rec r{static_cast<std::uint32_t>(::crc32(0, it.data.data(), static_cast<uInt>(it.data.size()))),
              payload.size(), it.data.size(), z.size() - base};
        recs.push_back(r);
        out.local_offsets.push_back(z.size());
        const std::uint16_t flags = it.flags | (it.descriptor ? 8 : 0);
        put32(z, 0x04034b50);
        put16(z, it.version_needed);
        put16(z, flags);
        put16(z, it.method);
        put32(z, 0);
        if (it.descriptor) {
            put32(z, 0);
            put32(z, it.zip64 ? 0xFFFFFFFF : 0);
            put32(z, it.zip64 ? 0xFFFFFFFF : 0);
        } else {
            put32(z, r.crc);
            put32(z, it.zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(r.csize));
            put32(z, it.zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(r.usize));
        }
        put16(z, static_cast<std::uint32_t>(it.name.size()));
        put16(z, it.zip64 ? 20 : 0);
        append(z, it.name);
        if (it.zip64) {
            put16(z, 1);
            put16(z, 16);
            put64(z, it.descriptor ? 0 : r.usize);
            put64(z, it.descriptor ? 0 : r.csize);
        }
        append(z, payload);
        if (it.descriptor) {
            if (it.descriptor_sig) put32(z, 0x08074b50);
            put32(z, r.crc);
            if (it.zip64) {
                put64(z, r.csize);
                put64(z, r.usize);
            } else {
                put32(z, static_cast<std::uint32_t>(r.csize));
                put32(z, static_cast<std::uint32_t>(r.usize));
            }
        }
    }
    out.cd_start = z.size();
    const std::uint64_t cd_offset = z.size() - base;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Item& it = items[i];
        Rec r = recs[i];
        r.offset = it.central_offset.value_or(r.offset);
        put32(z, 0x02014b50);
        put16(z, 45);
        put16(z, it.version_needed);
        put16(z, it.flags | (it.descriptor ? 8 : 0));
        put16(z, it.method);
        put32(z, 0);
        put32(z, r.crc);
        put32(z, it.zip64 ? 0xFFFFFFFF : it.central_csize.value_or(static_cast<std::uint32_t>(r.csize)));
        put32(z, it.zip64 ? 0xFFFFFFFF : it.central_usize.value_or(static_cast<std::uint32_t>(r.usize)));
        put16(z, static_cast<std::uint32_t>(it.name.size()));
        put16(z, it.zip64 ? 28 : 0);
        put16(z, 0);
        put16(z, 0);
        put16(z, 0);
        put32(z, 0);
        put32(z, it.zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(r.offset));
        append(z, it.name);
        if (it.zip64) {
            put16(z, 1);
            put16(z, 24);
            put64(z, r.usize);
            put64(z, r.csize);
            put64(z, r.offset);
        }
    }
    const std::uint64_t cd_size = z.size() - out.cd_start;
    const std::uint64_t count = o.declared.value_or(static_cast<std::uint16_t>(items.size()));
    if (o.zip64_end) {
        const std::uint64_t end64 = z.size() - base;
        put32(z, 0x06064b50);
        put64(z, 44);
        put16(z, 45);
        put16(z, 45);
        put32(z, 0);
        put32(z, 0);
        put64(z, count);
        put64(z, count);
        put64(z, cd_size);
        put64(z, cd_offset);
        put32(z, 0x07064b50);
        put32(z, 0);
        put64(z, end64);
        put32(z, 1);
    }
    put32(z, 0x06054b50);
    put16(z, 0);
    put16(z, 0);
    put16(z, o.zip64_end ? 0xFFFF : static_cast<std::uint32_t>(count));
    put16(z, o.zip64_end ? 0xFFFF : static_cast<std::uint32_t>(count));
    put32(z, o.zip64_end ? 0xFFFFFFFF : static_cast<std::uint32_t>(cd_size));
    put32(z, o.zip64_end ? 0xFFFFFFFF : static_cast<std::uint32_t>(cd_offset));
    put16(z, static_cast<std::uint32_t>(o.comment.size()));
    append(z, o.comment);
    append(z, o.garbage);
    return out;
}

vantrell_core::Result<vz::Archive> open_bytes(Bytes b) {
    return vz::Archive::open(std::make_shared<vz::MemorySource>(std::move(b)));
}

std::string read_text(const vz::Archive& a, std::size_t i) {
    Buffer out;
    auto r = a.read(a.entries().at(i), out);
    if (!r) return "<" + r.error().message() + ">";
    return std::string(out.begin(), out.end());
}

std::string text_of(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) s += "<p:sp id=\"" + std::to_string(rng() % 1000) + "\"/>";
    s.resize(n);
    return s;
}

// A small archive exercising stored, deflated, ZIP64 and descriptor entries.
std::vector<Item> mixed_items() {
    return {
        {.name = "[Content_Types].xml", .data = to_bytes(text_of(700, 1))},
        {.name = "stored.bin", .data = to_bytes("raw bytes"), .method = 0},
        {.name = "ppt/big.xml", .data = to_bytes(text_of(5000, 2)), .zip64 = true},
        {.name = "ppt/desc.xml", .data = to_bytes(text_of(900, 3)), .descriptor = true},
        {.name = "ppt/nosig.xml", .data = to_bytes(text_of(300, 4)), .descriptor = true,
         .descriptor_sig = false},
        {.name = "ppt/both.xml", .data = to_bytes(text_of(600, 5)), .zip64 = true, .descriptor = true},
    };
}

class TempFile {
public:
    explicit TempFile(const Bytes& b) {
        path_ = (std::filesystem::temp_directory_path() /
                 ("vantrell_zip_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++)))
                    .string();
        std::ofstream f(path_, std::ios::binary);
        f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    ~TempFile() { std::filesystem::remove(path_); }
    const std::string& path() const { return path_; }

private:
    static inline int counter_ = 0;
    std::string path_;
};

} // namespace

// ---------------------------------------------------------------- sources

TEST(ZipSource, MemoryReadsAndRefusesShortReads) {
    Bytes data = to_bytes("0123456789");
    const auto* storage = data.data();
    vz::MemorySource src(std::move(data));
    EXPECT_EQ(src.len(), 10u);
    EXPECT_FALSE(src.is_empty());
    ASSERT_TRUE(src.as_bytes());
    EXPECT_EQ(src.as_bytes()->data(), storage);  // moved in, not copied

    Bytes buf(4);
    ASSERT_TRUE(src.read_at(6, buf));
    EXPECT_EQ(std::string(buf.begin(), buf.end()), "6789");
    EXPECT_FALSE(src.read_at(7, buf));
    EXPECT_FALSE(src.read_at(~std::uint64_t{0} - 1, buf));
    EXPECT_TRUE(src.read_at(10, std::span<std::uint8_t>()));
    EXPECT_TRUE(vz::MemorySource({}).is_empty());
}

TEST(ZipSource, FileReadsAndErrors) {
    TempFile f(to_bytes("hello file source"));
    auto src = vz::FileSource::open(f.path());
    ASSERT_TRUE(src) << src.error().message();
    EXPECT_EQ((*src)->len(), 17u);
    EXPECT_TRUE((*src)->as_bytes()); // small enough to be read whole
    Bytes buf(6);
    ASSERT_TRUE((*src)->read_at(11, buf));
    EXPECT_EQ(std::string(buf.begin(), buf.end()), "source");
    EXPECT_FALSE((*src)->read_at(12, buf));

    auto nul = vz::FileSource::open(std::string_view("a\0b", 3));
    ASSERT_FALSE(nul);
    EXPECT_EQ(nul.error().message(), "io: file name contained an unexpected NUL byte");

    auto missing = vz::Archive::open_path("/nonexistent/vantrell/deck.pptx");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(), "io: No such file or directory (os error 2)");

    auto dir = vz::Archive::open_path(std::filesystem::temp_directory_path().string());
    ASSERT_FALSE(dir);
    EXPECT_EQ(dir.error().kind(), Kind::Io);
}

// A small file is read whole at open and its descriptor closed; a larger one
// keeps its descriptor until the last holder of the source lets go.
TEST(ZipSource, FileDescriptorClosedWithLastHolder) {
    const auto open_fds = [] {
        std::size_t n = 0;
        for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
        return n;
    };
    const std::size_t big = vz::FileSource::WHOLE_FILE_NBYTES + 1;
    for (std::size_t padding : {std::size_t{0}, big}) {
        TempFile f(build({{.name = "a", .data = to_bytes("x"), .method = 0},
                          {.name = "pad", .data = Bytes(padding, 'p'), .method = 0}})
                       .bytes);
        const bool whole = padding == 0;
        const std::size_t before = open_fds();
        {
            auto a = vz::Archive::open_path(f.path());
            ASSERT_TRUE(a);
            EXPECT_EQ(a->source()->as_bytes().has_value(), whole);
            auto copy = *a;
            a = vantrell_core::fail(Error::other("gone"));
            EXPECT_EQ(read_text(copy, 0), "x");
            EXPECT_EQ(open_fds(), before + (whole ? 0 : 1));
        }
        EXPECT_EQ(open_fds(), before);
    }
}

// A small file's bytes are taken at open: a later change to the file does
// not reach the reads.
TEST(ZipSource, SmallFileIsReadAtOpen) {
    TempFile f(build({{.name = "a.xml", .data = to_bytes(text_of(3000, 9))}}).bytes);
    auto a = vz::Archive::open_path(f.path());
    ASSERT_TRUE(a);
    std::filesystem::resize_file(f.path(), 10);
    EXPECT_EQ(read_text(*a, 0), text_of(3000, 9));
    Bytes buf(4);
    ASSERT_TRUE(a->source()->read_at(0, buf));
    EXPECT_EQ(std::string(buf.begin(), buf.end()), "PK\x03\x04");
    EXPECT_FALSE(a->source()->read_at(a->source()->len() - 3, buf));
}

// ---------------------------------------------------------------- well-formed archives

TEST(ZipArchive, PlainEntriesFromMemoryAndFile) {
    const auto items = mixed_items();
    const Built b = build(items);
    TempFile f(b.bytes);
    for (bool from_file : {false, true}) {
        auto a = from_file ? vz::Archive::open_path(f.path()) : open_bytes(b.bytes);
        ASSERT_TRUE(a) << a.error().message();
        EXPECT_FALSE(a->rebuilt());
        EXPECT_FALSE(a->incomplete());
        EXPECT_EQ(a->prefix_len(), 0u);
        EXPECT_EQ(a->declared_entries(), items.size());
        EXPECT_TRUE(a->duplicates().empty());
        ASSERT_EQ(a->entries().size(), items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            const vz::Entry& e = a->entries()[i];
            EXPECT_EQ(e.name, items[i].name);
            EXPECT_EQ(e.raw_name, items[i].name);
            EXPECT_EQ(e.uncompressed_size, items[i].data.size());
            EXPECT_EQ(e.method, items[i].method);
            EXPECT_EQ(e.version_needed, 20);
            EXPECT_EQ(e.local_header_offset, b.local_offsets[i]);
            EXPECT_EQ(e.crc32, vantrell_core::crc32::of(items[i].data));
            EXPECT_EQ(a->find(items[i].name), i);
            EXPECT_EQ(read_text(*a, i), std::string(items[i].data.begin(), items[i].data.end()));
        }
        EXPECT_FALSE(a->find("missing"));
        EXPECT_EQ(a->entries()[2].compressed_size, deflate_raw(items[2].data).size());
    }
}

TEST(ZipArchive, Zip64EndRecordsAndExtraFields) {
    const auto items = mixed_items();
    const Built b = build(items, {.zip64_end = true});
    auto a = open_bytes(b.bytes);
    ASSERT_TRUE(a) << a.error().message();
    EXPECT_EQ(a->declared_entries(), items.size());
    EXPECT_FALSE(a->incomplete());
    const vz::Entry& big = a->entries()[2];
    EXPECT_EQ(big.uncompressed_size, 5000u);
    EXPECT_EQ(big.local_header_offset, b.local_offsets[2]);
    EXPECT_EQ(read_text(*a, 2), std::string(items[2].data.begin(), items[2].data.end()));

    // The local header reports the 32-bit markers as stored.
    auto lh = a->local_header(big);
    ASSERT_TRUE(lh);
    EXPECT_EQ(lh->compressed_size, 0xFFFFFFFFu);
    EXPECT_EQ(lh->uncompressed_size, 0xFFFFFFFFu);
    EXPECT_EQ(lh->raw_name, "ppt/big.xml");
}

TEST(ZipArchive, DataDescriptorsWithAndWithoutSignature) {
    const auto items = mixed_items();
    auto a = open_bytes(build(items).bytes);
    ASSERT_TRUE(a);
    for (std::size_t i : {3u, 4u, 5u}) {
        const vz::Entry& e = a->entries()[i];
        EXPECT_EQ(e.flags & 8, 8);
        EXPECT_EQ(read_text(*a, i), std::string(items[i].data.begin(), items[i].data.end()));
        auto lh = a->local_header(e);
        ASSERT_TRUE(lh);
        EXPECT_EQ(lh->crc32, 0u);
        EXPECT_EQ(lh->compressed_size, items[i].zip64 ? 0xFFFFFFFFu : 0u);
        EXPECT_EQ(lh->flags, e.flags);
    }
}

TEST(ZipArchive, PrefixCommentAndTrailingGarbage) {
    const auto items = mixed_items();
    const std::string stub(1234, 'M');
    for (const Options& o : {Options{.prefix = stub},
                             Options{.comment = "a comment", .garbage = std::string(70000, '\0')},
                             Options{.prefix = stub, .zip64_end = true},
                             Options{.prefix = "PK\x05\x06 not an end record", .comment = "PK\x05\x06"}}) {
        auto a = open_bytes(build(items, o).bytes);
        ASSERT_TRUE(a) << a.error().message();
        EXPECT_EQ(a->prefix_len(), o.prefix.size());
        EXPECT_FALSE(a->rebuilt());
        ASSERT_EQ(a->entries().size(), items.size());
        for (std::size_t i = 0; i < items.size(); ++i)
            EXPECT_EQ(read_text(*a, i), std::string(items[i].data.begin(), items[i].data.end()));
    }
}

// A tail crowded with end-record signatures, each pointing somewhere else,
// costs bounded work and still leaves the entries reachable.
TEST(ZipArchive, TailFullOfFalseEndRecords) {
    const auto items = mixed_items();
    std::string noise;
    while (noise.size() < 300000) noise += std::string("PK\x05\x06\0\0\0\0\x01\0\x01\0\x10\0\0\0\x20\0\0\0\0\0", 22);
    TempFile f(build(items, {.garbage = noise}).bytes);
    auto a = vz::Archive::open_path(f.path());
    ASSERT_TRUE(a) << a.error().message();
    ASSERT_EQ(a->entries().size(), items.size());
    EXPECT_EQ(read_text(*a, 4), std::string(items[4].data.begin(), items[4].data.end()));
}

// The end record is looked for in a short tail first and in the whole search
// region only when that fails: garbage of every size around the boundary
// between the two, from a file and from memory, finds the same directory.
TEST(ZipArchive, EndRecordBehindGarbageOfEverySize) {
    const auto items = mixed_items();
    for (std::size_t n : {32u * 1024 - 40, 32u * 1024 - 22, 32u * 1024, 32u * 1024 + 1, 100000u, 250000u}) {
        const Built b = build(items, {.garbage = std::string(n, 'g')});
        TempFile f(b.bytes);
        for (bool from_file : {false, true}) {
            auto a = from_file ? vz::Archive::open_path(f.path()) : open_bytes(b.bytes);
            ASSERT_TRUE(a) << a.error().message();
            EXPECT_FALSE(a->rebuilt()) << n;
            ASSERT_EQ(a->entries().size(), items.size());
            EXPECT_EQ(read_text(*a, 2), std::string(items[2].data.begin(), items[2].data.end()));
        }
    }
    // Past the search region only the local headers are left.
    auto far = open_bytes(build(items, {.garbage = std::string(300000, 'g')}).bytes);
    ASSERT_TRUE(far);
    EXPECT_TRUE(far->rebuilt());
}

// A usable end record far back wins over an unusable one near the end; a
// usable one near the end wins over one far back.
TEST(ZipArchive, LastUsableEndRecordWinsAcrossTheTailBoundary) {
    const auto items = mixed_items();
    // An end record declaring one entry in a directory that is not there.
    const std::string fake("PK\x05\x06\0\0\0\0\x01\0\x01\0\x10\0\0\0\x20\0\0\0\0\0", 22);
    TempFile f(build(items, {.garbage = std::string(60000, 'g') + fake + std::string(100, 'g')}).bytes);
    auto a = vz::Archive::open_path(f.path());
    ASSERT_TRUE(a) << a.error().message();
    EXPECT_FALSE(a->rebuilt());
    EXPECT_EQ(a->entries().size(), items.size());

    // A whole second archive appended after 50000 bytes: its directory is
    // the one found, shifted by everything before it.
    const Built first = build(items);
    const Built second = build({{.name = "only.txt", .data = to_bytes("second"), .method = 0}});
    Bytes both = first.bytes;
    both.resize(both.size() + 50000, 'x');
    const std::size_t shift = both.size();
    append(both, second.bytes);
    auto b = open_bytes(both);
    ASSERT_TRUE(b) << b.error().message();
    ASSERT_EQ(b->entries().size(), 1u);
    EXPECT_EQ(b->prefix_len(), shift);
    EXPECT_EQ(read_text(*b, 0), "second");
}

// A directory larger than any first read, and names longer than the bytes
// read with a local header, from a file.
TEST(ZipArchive, LargeDirectoryAndLongNamesFromFile) {
    std::vector<Item> items;
    for (int i = 0; i < 700; ++i)
        items.push_back({.name = "ppt/slides/slide" + std::to_string(i) + std::string(40, 'n') + ".xml",
                         .data = to_bytes(std::to_string(i)), .method = 0});
    items.push_back({.name = std::string(300, 'L') + ".xml", .data = to_bytes(text_of(400, 9))});
    items.push_back({.name = std::string(226, 'K'), .data = to_bytes("edge"), .method = 0});
    const Built b = build(items);
    ASSERT_GT(b.bytes.size() - b.cd_start, 40000u);
    TempFile f(b.bytes);
    auto a = vz::Archive::open_path(f.path());
    ASSERT_TRUE(a) << a.error().message();
    ASSERT_EQ(a->entries().size(), items.size());
    for (std::size_t i = 0; i < items.size(); i += 37) EXPECT_EQ(a->find(items[i].name), i);
    EXPECT_EQ(read_text(*a, 699), "699");
    EXPECT_EQ(read_text(*a, 700), std::string(items[700].data.begin(), items[700].data.end()));
    EXPECT_EQ(read_text(*a, 701), "edge");
    for (std::size_t i : {std::size_t{0}, std::size_t{700}, std::size_t{701}}) {
        auto h = a->local_header(a->entries()[i]);
        ASSERT_TRUE(h) << h.error().message();
        EXPECT_EQ(h->raw_name, items[i].name);
        EXPECT_EQ(h->data_offset, b.local_offsets[i] + 30 + items[i].name.size());
    }
}

// A local extra field longer than the bytes read after the name with the
// header, or none at all: the data is found either way, from a file and from
// memory, stored or deflated.
TEST(ZipRead, LocalExtraFieldOfAnyLength) {
    const std::string text = text_of(3000, 7);
    for (std::uint16_t method : {std::uint16_t{0}, std::uint16_t{8}}) {
        for (std::size_t extra : {0u, 1u, 63u, 64u, 65u, 1000u}) {
            Built b = build({{.name = "ppt/slides/slide1.xml", .data = to_bytes(text), .method = method}});
            Bytes& z = b.bytes;
            // Extra bytes after the local name, the directory offset moved on.
            const std::size_t at = 30 + std::string("ppt/slides/slide1.xml").size();
            z.insert(z.begin() + static_cast<std::ptrdiff_t>(at), extra, 0xEE);
            z[28] = static_cast<std::uint8_t>(extra);
            z[29] = static_cast<std::uint8_t>(extra >> 8);
            const std::size_t end = z.size() - 22;
            const std::uint32_t cd = static_cast<std::uint32_t>(b.cd_start + extra);
            for (int k = 0; k < 4; ++k) z[end + 16 + k] = static_cast<std::uint8_t>(cd >> (8 * k));
            TempFile f(z);
            for (bool from_file : {false, true}) {
                auto a = from_file ? vz::Archive::open_path(f.path()) : open_bytes(z);
                ASSERT_TRUE(a) << a.error().message();
                EXPECT_FALSE(a->rebuilt());
                EXPECT_EQ(read_text(*a, 0), text) << method << " " << extra << " " << from_file;
                auto h = a->local_header(a->entries()[0]);
                ASSERT_TRUE(h);
                EXPECT_EQ(h->data_offset, at + extra);
            }
        }
    }
}

TEST(ZipArchive, DuplicateNamesMapToTheFirst) {
    auto a = open_bytes(build({{.name = "a", .data = to_bytes("1"), .method = 0},
                               {.name = "b", .data = to_bytes("2"), .method = 0},
                               {.name = "a", .data = to_bytes("3"), .method = 0},
                               {.name = "a", .data = to_bytes("4"), .method = 0}})
                            .bytes);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->duplicates(), (std::vector<std::size_t>{2, 3}));
    EXPECT_EQ(a->find("a"), 0u);
    EXPECT_EQ(read_text(*a, 3), "4");
}

TEST(ZipArchive, NamesDecodedAndRawBytesKept) {
    struct Case {
        std::string raw, decoded;
    };
    const std::vector<Case> cases = {
        {"ppt/slides/slide1.xml", "ppt/slides/slide1.xml"},
        {"ppt/m\xC3\xA9" "dia/\xE2\x82\xAC.png", "ppt/m\xC3\xA9" "dia/\xE2\x82\xAC.png"},  // valid UTF-8
        {"ppt/\xff\xfe" "x.xml", "ppt/\xEF\xBF\xBD\xEF\xBF\xBDx.xml"},
        {"ppt/x\xC3", "ppt/x\xEF\xBF\xBD"},  // a sequence cut off by the end
        {"", ""},
    };
    // The names live in the archive, wherever it is moved or copied to.
    enum class Kept { moved, copied, assigned };
    const Built other = build({{.name = "other", .data = to_bytes("o"), .method = 0}});
    const auto keep = [&](vz::Archive a, Kept how) {
        std::optional<vz::Archive> out;
        if (how == Kept::moved) out.emplace(std::move(a));
        if (how == Kept::copied) out.emplace(a);
        if (how == Kept::assigned) {
            out.emplace(*open_bytes(other.bytes));
            *out = a;
        }
        return out;
    };
    for (const Case& c : cases) {
        for (bool rebuilt : {false, true}) {
            Built b = build({{.name = c.raw, .data = to_bytes("x"), .method = 0},
                             {.name = "second/" + c.raw, .data = to_bytes("y"), .method = 0}});
            if (rebuilt) b.bytes.resize(b.cd_start);
            for (Kept how : {Kept::moved, Kept::copied, Kept::assigned}) {
                auto opened = open_bytes(b.bytes);
                ASSERT_TRUE(opened) << opened.error().message();
                const std::optional<vz::Archive> a = keep(std::move(*opened), how);
                opened = vantrell_core::fail(Error::other("gone"));
                ASSERT_EQ(a->rebuilt(), rebuilt);
                ASSERT_EQ(a->entries().size(), 2u);
                for (std::size_t i = 0; i < 2; ++i) {
                    const std::string prefix = i == 0 ? "" : "second/";
                    const vz::Entry& e = a->entries()[i];
                    EXPECT_EQ(e.raw_name, prefix + c.raw) << c.decoded;
                    EXPECT_EQ(e.name, prefix + c.decoded);
                    EXPECT_EQ(a->find(prefix + c.decoded), i) << c.decoded;
                }
                EXPECT_EQ(read_text(*a, 1), "y");
            }
        }
    }
}

TEST(ZipArchive, EmptyArchive) {
    auto a = open_bytes(build({}).bytes);
    ASSERT_TRUE(a) << a.error().message();
    EXPECT_TRUE(a->entries().empty());
    EXPECT_FALSE(a->rebuilt());
}

// ---------------------------------------------------------------- repairs

TEST(ZipArchive, BrokenCentralDirectoryIsRebuiltFromLocalHeaders) {
    const auto items = mixed_items();
    for (bool keep_end : {true, false}) {
        Built b = build(items, {.prefix = "stub"});
        if (keep_end) {
            // The end record's directory size and offset point nowhere.
            for (std::size_t i = b.bytes.size() - 10; i < b.bytes.size() - 2; ++i) b.bytes[i] = 0x7F;
        } else {
            b.bytes.resize(b.cd_start);
        }
        auto a = open_bytes(b.bytes);
        ASSERT_TRUE(a) << a.error().message();
        EXPECT_TRUE(a->rebuilt());
        EXPECT_EQ(a->declared_entries(), keep_end ? items.size() : 0u);
        EXPECT_EQ(a->prefix_len(), 0u);
        ASSERT_EQ(a->entries().size(), items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            const vz::Entry& e = a->entries()[i];
            EXPECT_EQ(e.name, items[i].name);
            EXPECT_EQ(e.local_header_offset, b.local_offsets[i]);
            EXPECT_EQ(e.uncompressed_size, items[i].data.size()) << e.name;
            EXPECT_EQ(e.crc32, vantrell_core::crc32::of(items[i].data)) << e.name;
            EXPECT_EQ(read_text(*a, i), std::string(items[i].data.begin(), items[i].data.end()));
        }
    }
}

TEST(ZipArchive, FewerEntriesThanDeclared) {
    const auto items = mixed_items();
    auto a = open_bytes(build(items, {.declared = 9}).bytes);
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->incomplete());
    EXPECT_FALSE(a->rebuilt());
    EXPECT_EQ(a->declared_entries(), 9u);
    EXPECT_EQ(a->entries().size(), items.size());

    // A record cut short ends the directory there.
    Built b = build(items);
    const std::size_t second = b.cd_start + 46 + items[0].name.size();
    b.bytes[second] = 'X';
    auto cut = open_bytes(b.bytes);
    ASSERT_TRUE(cut);
    EXPECT_TRUE(cut->incomplete());
    EXPECT_EQ(cut->entries().size(), 1u);
}

// ---------------------------------------------------------------- refusals

TEST(ZipArchive, NotAZipArchive) {
    for (const std::string& s : {std::string(), std::string("PK\x03"), std::string("hello world"),
                                 std::string("PK\x03\x04 short"), std::string(100000, 'z'),
                                 std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1") + std::string(600, '\0')}) {
        auto a = open_bytes(to_bytes(s));
        ASSERT_FALSE(a) << s.size();
        EXPECT_EQ(a.error().kind(), Kind::NotZip);
        EXPECT_EQ(a.error().message(), "not a zip archive");
    }
    // A compound file embedding a package is not that package.
    const std::string cfb = std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1") + std::string(504, '\0');
    auto embedded = open_bytes(build(mixed_items(), {.prefix = cfb}).bytes);
    ASSERT_FALSE(embedded);
    EXPECT_EQ(embedded.error().kind(), Kind::NotZip);

    TempFile empty({});
    auto a = vz::Archive::open_path(empty.path());
    ASSERT_FALSE(a);
    EXPECT_EQ(a.error().message(), "not a zip archive");
}

TEST(ZipArchive, EndRecordWithoutAnythingUsable) {
    Built b = build({{.name = "a", .data = to_bytes("x"), .method = 0}});
    std::fill(b.bytes.begin(), b.bytes.begin() + static_cast<long>(b.cd_start + 4), 'z');
    auto a = open_bytes(b.bytes);
    ASSERT_FALSE(a);
    EXPECT_EQ(a.error().kind(), Kind::Zip);
}

TEST(ZipRead, UnsupportedEntries) {
    auto a = open_bytes(build({{.name = "secret.xml", .data = to_bytes("x"), .method = 0, .flags = 1},
                               {.name = "bz.xml", .data = to_bytes("x"), .method = 12}})
                            .bytes);
    ASSERT_TRUE(a);
    Buffer out = {'s', 't', 'a', 'l', 'e'};
    auto r = a->read(a->entries()[0], out);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "unsupported: encrypted zip entry secret.xml");
    EXPECT_TRUE(out.empty());
    r = a->read(a->entries()[1], out);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "unsupported: zip compression method 12 for bz.xml");
}

TEST(ZipRead, DamagedLocalHeaders) {
    const auto items = mixed_items();
    Built b = build(items, {.prefix = "xx"});
    b.bytes[b.local_offsets[1]] = 'Q';
    auto a = open_bytes(b.bytes);
    ASSERT_TRUE(a);
    Buffer out;
    auto r = a->read(a->entries()[1], out);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(),
              "zip: bad local header signature at offset " + std::to_string(b.local_offsets[1]));
    EXPECT_EQ(a->local_header(a->entries()[1]).error(), r.error());

    vz::Entry far = a->entries()[0];
    far.local_header_offset = b.bytes.size() - 20;
    EXPECT_EQ(a->local_header(far).error().message(),
              "zip: local header out of bounds at offset " + std::to_string(b.bytes.size() - 18));
    far.local_header_offset = ~std::uint64_t{0};
    EXPECT_EQ(a->local_header(far).error().kind(), Kind::Zip);
}

TEST(ZipRead, SizesThatLieAboutTheData) {
    const Bytes data = to_bytes(text_of(4000, 9));
    auto a = open_bytes(build({{.name = "short.xml", .data = data, .central_usize = 3999},
                               {.name = "long.xml", .data = data, .central_usize = 0xFFFFFFF0},
                               {.name = "beyond.xml", .data = data, .central_csize = 0x7FFFFFFF},
                               {.name = "stored.xml", .data = data, .method = 0, .central_usize = 10}})
                            .bytes);
    ASSERT_TRUE(a);
    Buffer out;
    for (std::size_t i = 0; i < 4; ++i) {
        auto r = a->read(a->entries()[i], out);
        ASSERT_FALSE(r) << i;
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(r.error().kind(), i < 2 ? Kind::Inflate : Kind::Zip) << r.error().message();
    }
    EXPECT_EQ(read_text(*a, 1),
              "<inflate: inflated size 4000 of long.xml differs from the recorded size 4294967280>");
}

TEST(ZipRead, DeflateBombStopsAtRecordedSize) {
    const Bytes zeros(8 << 20, 0);
    auto a = open_bytes(build({{.name = "bomb.xml", .data = zeros, .central_usize = 1000}}).bytes);
    ASSERT_TRUE(a);
    Buffer out;
    auto r = a->read(a->entries()[0], out);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Kind::Inflate);
    EXPECT_LT(out.capacity(), std::size_t{1} << 20);
}

// A recorded size far beyond what the data holds is not allocated up front:
// the output grows with what the data really produces.
TEST(ZipRead, RecordedSizeIsNotTrustedForMemory) {
    std::vector<std::uint8_t> noise(1 << 20);
    std::uint32_t x = 12345;
    for (auto& b : noise) b = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 24);
    auto a = open_bytes(build({{.name = "noise.xml", .data = noise, .central_usize = 0xFFFFFFF0}}).bytes);
    ASSERT_TRUE(a);
    Buffer out;
    auto r = a->read(a->entries()[0], out);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Kind::Inflate);
    EXPECT_LT(out.capacity(), std::size_t{32} << 20);
    // An entry within the trusted size comes out exactly, allocated once.
    a = open_bytes(build({{.name = "noise.xml", .data = noise}}).bytes);
    ASSERT_TRUE(a);
    ASSERT_TRUE(a->read(a->entries()[0], out));
    EXPECT_TRUE(std::ranges::equal(out, noise));
}

// Every prefix of an archive, in a buffer of exactly its size so that any
// over-read leaves the allocation, opens or fails; entries of those that open
// read or fail.
// A file cut short after it was opened: the read fails and hands out no
// bytes, whatever `out` held before and however much room it had.
TEST(ZipRead, FileShortenedAfterOpenGivesNoBytes) {
    Bytes noise(3 << 20);
    std::uint32_t x = 777;
    for (auto& b : noise) b = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 24);
    const Built b = build({{.name = "stored.bin", .data = noise, .method = 0},
                           {.name = "deflated.bin", .data = noise}});
    for (std::size_t entry : {0, 1}) {
        TempFile f(b.bytes);
        auto a = vz::Archive::open_path(f.path());
        ASSERT_TRUE(a) << a.error().message();
        std::filesystem::resize_file(f.path(), b.local_offsets[entry] + 1000);
        Buffer out(5 << 20, 0xAA);
        out.resize(3);
        auto r = a->read(a->entries()[entry], out);
        ASSERT_FALSE(r) << entry;
        EXPECT_EQ(r.error().message(), "io: unexpected end of file");
        EXPECT_TRUE(out.empty());
    }
}

TEST(ZipRead, EveryTruncationIsHandled) {
    auto items = mixed_items();
    for (auto& it : items) it.data.resize(std::min<std::size_t>(it.data.size(), 400));
    for (bool zip64_end : {false, true}) {
        const Bytes full = build(items, {.prefix = "ab", .comment = "c", .zip64_end = zip64_end}).bytes;
        for (std::size_t n = 0; n <= full.size(); ++n) {
            auto a = open_bytes(Bytes(full.begin(), full.begin() + static_cast<long>(n)));
            if (!a) {
                const Kind k = a.error().kind();
                ASSERT_TRUE(k == Kind::NotZip || k == Kind::Zip) << a.error().message();
                continue;
            }
            Buffer out;
            for (const auto& e : a->entries()) (void)a->read(e, out);
        }
        ASSERT_TRUE(open_bytes(full));
    }
}

// Random single-byte damage anywhere: never a crash or a hang.
TEST(ZipRead, ByteFlipsAreHandled) {
    const Bytes full = build(mixed_items(), {.zip64_end = true}).bytes;
    std::mt19937 rng(42);
    for (int round = 0; round < 3000; ++round) {
        Bytes b = full;
        for (int k = 0; k < 3; ++k) b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
        auto a = open_bytes(std::move(b));
        if (!a) continue;
        Buffer out;
        for (const auto& e : a->entries()) (void)a->read(e, out);
    }
}

// ---------------------------------------------------------------- corpus

// The corpus mixes real decks with deliberately broken files. Each file
// opens or fails with a container error, each entry reads or fails with one,
// and an entry that reads has the CRC-32 its directory records, except in the
// few fuzzer-made files whose data was damaged on purpose.
TEST(ZipCorpus, EveryDeckOpensOrFailsAndEveryEntryMatchesItsCrc) {
    const auto corpus = testkit::corpus_dir();
    if (!corpus) GTEST_SKIP() << "no corpus";
    const std::filesystem::path& dir = *corpus;
    std::size_t opened = 0, entries = 0;
    Buffer out;
    for (const auto& f : std::filesystem::recursive_directory_iterator(dir)) {
        if (!f.is_regular_file()) continue;
        const std::string path = f.path().string();
        const bool damaged = path.find("clusterfuzz") != std::string::npos ||
                             path.find("fuzz") != std::string::npos;
        auto a = vz::Archive::open_path(path);
        if (!a) {
            const Kind k = a.error().kind();
            EXPECT_TRUE(k == Kind::NotZip || k == Kind::Zip || k == Kind::Unsupported)
                << path << ": " << a.error().message();
            continue;
        }
        ++opened;
        for (const auto& e : a->entries()) {
            auto r = a->read(e, out);
            if (!r) {
                const Kind k = r.error().kind();
                EXPECT_TRUE(k == Kind::Zip || k == Kind::Inflate || k == Kind::Unsupported ||
                            k == Kind::OverlappingEntry)
                    << path << " " << e.name << ": " << r.error().message();
                EXPECT_TRUE(damaged || (e.flags & 1)) << path << " " << e.name << ": " << r.error().message();
                continue;
            }
            if (!damaged) {
                EXPECT_EQ(vantrell_core::crc32::of(out), e.crc32) << path << " " << e.name;
            }
            ++entries;
        }
    }
    EXPECT_GT(opened, 0u);
    RecordProperty("archives", static_cast<int>(opened));
    RecordProperty("entries", static_cast<int>(entries));
}

// ---------------------------------------------------------------- overlaps

namespace {

std::vector<bool> overlap_flags(const vz::Archive& a) {
    std::vector<bool> out;
    for (const vz::Entry& e : a.entries()) out.push_back(e.overlaps);
    return out;
}

// A local header and stored data for `name`, as they would sit in an archive.
Bytes stored_record(const std::string& name, const Bytes& data) {
    const Built one = build({{.name = name, .data = data, .method = 0}});
    return Bytes(one.bytes.begin(), one.bytes.begin() + static_cast<std::ptrdiff_t>(one.cd_start));
}

} // namespace

// No byte is read for two entries: of entries sharing one local header only
// the first listed is read, the others failing before any read; an entry
// whose sizes run past another's intact header is read up to it, and fails
// only if its data needs more. Records pointing where no header is, entries
// that cannot be read anyway and data past the end take nothing from others.
TEST(ZipOverlap, NoByteIsReadForTwoEntries) {
    const Bytes body = to_bytes(text_of(3000, 11));
    const Bytes other = to_bytes(text_of(500, 12));
    // Claims 40 bytes more than the data: past the next header's fixed part.
    const auto too_long = static_cast<std::uint32_t>(deflate_raw(body).size() + 40);
    const auto stored_too_long = static_cast<std::uint32_t>(body.size() + 40);
    // Per item: read as written, sharing an earlier listed header, failing
    // for a reason of its own, or (0, 1, ...) running into that item's header.
    constexpr int READ = -1, SHARES = -2, FAILS = -3;
    // Stored offsets of the items of a first build: the layout of the local
    // records does not depend on what the central records say.
    const auto offsets_of = [](const std::vector<Item>& items, const std::string& prefix) {
        std::vector<std::uint64_t> out;
        for (std::uint64_t off : build(items, {.prefix = prefix}).local_offsets) out.push_back(off - prefix.size());
        return out;
    };
    struct Case {
        const char* what;
        std::vector<Item> items;
        // Central offset of item i taken from item j plus k bytes, as (i, j, k).
        std::vector<std::tuple<std::size_t, std::size_t, std::uint64_t>> aliases;
        std::vector<int> expect;
    };
    const Item stored_long = {.name = "long", .data = body, .method = 0, .central_usize = stored_too_long,
                              .central_csize = stored_too_long};
    std::vector<Case> cases = {
        {"one header shared by many",
         {{.name = "s1", .data = body}, {.name = "s2", .data = body}, {.name = "s3", .data = body},
          {.name = "s4", .data = body, .zip64 = true}},
         {{1, 0, 0}, {2, 0, 0}}, {READ, SHARES, SHARES, READ}},
        {"tie goes to the first listed", {{.name = "alias", .data = body}, {.name = "real", .data = body}},
         {{0, 1, 0}}, {READ, SHARES}},
        {"zip64 records sharing", {{.name = "a", .data = body, .zip64 = true}, {.name = "b", .data = body, .zip64 = true}},
         {{1, 0, 0}}, {READ, SHARES}},
        {"deflated size running into the next header: both read",
         {{.name = "long", .data = body, .central_csize = too_long}, {.name = "next", .data = other},
          {.name = "after", .data = other}},
         {}, {READ, READ, READ}},
        {"stored size running into the next header: only it fails",
         {stored_long, {.name = "next", .data = other, .method = 0}, {.name = "after", .data = other}}, {}, {1, READ, READ}},
        {"out of order: the last record shares the first header",
         {stored_long, {.name = "next", .data = other}, {.name = "again", .data = other}}, {{2, 0, 0}},
         {1, READ, SHARES}},
        {"record pointing into deflated data where no header is",
         {{.name = "whole", .data = body}, {.name = "inside", .data = other}, {.name = "after", .data = other}},
         {{1, 0, 40}}, {READ, FAILS, READ}},
        {"ordinary entries, empty ones included",
         {{.name = "dir/", .data = {}, .method = 0}, {.name = "e0", .data = {}, .method = 0},
          {.name = "e8", .data = {}}, {.name = "d", .data = other, .descriptor = true},
          {.name = "n", .data = other, .descriptor = true, .descriptor_sig = false}, {.name = "z", .data = other}},
         {}, std::vector<int>(6, READ)},
        {"unreadable entries claim nothing",
         {{.name = "enc", .data = other, .method = 0, .flags = 1, .central_usize = 2000, .central_csize = 2000},
          {.name = "bz", .data = other, .method = 12, .central_csize = 2000}, {.name = "st", .data = other, .method = 0,
          .central_csize = 2000}, {.name = "past", .data = other, .central_csize = 0x7FFFFFFF}, {.name = "ok", .data = other}},
         {}, {FAILS, FAILS, FAILS, FAILS, READ}},
    };
    // From memory, and from a file read on demand (bytes before the archive
    // make it large enough).
    for (const bool from_file : {false, true}) {
        const std::string prefix = from_file ? std::string(vz::FileSource::WHOLE_FILE_NBYTES, 's') : "stub";
        for (Case c : cases) {
            const auto offsets = offsets_of(c.items, prefix);
            for (auto [i, j, k] : c.aliases) c.items[i].central_offset = offsets[j] + k;
            const Built built = build(c.items, {.prefix = prefix});
            TempFile f(built.bytes);
            auto a = from_file ? vz::Archive::open_path(f.path()) : open_bytes(built.bytes);
            ASSERT_TRUE(a) << c.what;
            EXPECT_EQ(a->source()->as_bytes().has_value(), !from_file);
            std::vector<bool> shares;
            for (int e : c.expect) shares.push_back(e == SHARES);
            EXPECT_EQ(overlap_flags(*a), shares) << c.what;
            for (std::size_t i = 0; i < c.items.size(); ++i) {
                Buffer out = {'s', 't', 'a', 'l', 'e'};
                auto r = a->read(a->entries()[i], out);
                const int e = c.expect[i];
                ASSERT_EQ(bool(r), e == READ) << c.what << " " << i;
                if (r) {
                    EXPECT_EQ(Bytes(out.begin(), out.end()), c.items[i].data) << c.what << " " << i;
                    continue;
                }
                EXPECT_TRUE(out.empty());
                const std::string said = r.error().message();
                if (e == SHARES)
                    EXPECT_EQ(said, "zip: entry " + c.items[i].name + " overlaps the data of an earlier entry");
                else if (e == FAILS)
                    EXPECT_TRUE(r.error().kind() != Kind::OverlappingEntry && said.find("runs into") == std::string::npos)
                        << c.what << ": " << said;
                else
                    EXPECT_EQ(said, "zip: entry " + c.items[i].name + " runs into the local header of another entry at offset " +
                                        std::to_string(built.local_offsets[static_cast<std::size_t>(e)]))
                        << c.what;
            }
        }
    }
}

// A whole entry hidden in another's stored data: the record pointing at it
// reads it, its header being intact, and the entry whose stored data would
// run over that header fails, though its own header comes first in the file.
TEST(ZipOverlap, HeaderInsideStoredDataBoundsItsHolder) {
    const Bytes inner = to_bytes(text_of(400, 13));
    const Bytes outer_data = stored_record("inner.xml", inner);
    std::vector<Item> items = {{.name = "inner.xml", .data = inner, .method = 0},
                               {.name = "outer.bin", .data = outer_data, .method = 0}};
    const Built first = build(items);
    const std::uint64_t hidden = first.local_offsets[1] + 30 + items[1].name.size();
    items[0].central_offset = hidden;
    auto a = open_bytes(build(items).bytes);
    ASSERT_TRUE(a);
    EXPECT_EQ(overlap_flags(*a), (std::vector<bool>{false, false}));
    EXPECT_EQ(read_text(*a, 0), std::string(inner.begin(), inner.end()));
    Buffer out;
    EXPECT_EQ(a->read(a->entries()[1], out).error().message(),
              "zip: entry outer.bin runs into the local header of another entry at offset " + std::to_string(hidden));
    auto bound = a->header_before(a->entries()[1], hidden + 1);
    ASSERT_TRUE(bound);
    EXPECT_EQ(*bound, hidden);
    EXPECT_EQ(*a->header_before(a->entries()[1], hidden), std::nullopt);
}

// ---------------------------------------------------------------- name table

// Names that all share one slot of the entry table, repeats among them: each
// is found at its first position, the repeats are listed in order, and a
// sharing name that is absent is not found.
TEST(ZipArchive, NamesSharingOneSlotAreFoundInOrder) {
    constexpr std::size_t N = 300;
    const auto names =
        testkit::sharing_slot(N + 1, N + N / 10, "ppt/slides/slide", vantrell_core::name_index::Exact::hash);
    std::vector<Item> items;
    for (std::size_t i = 0; i < N; ++i) items.push_back({.name = names[i], .data = to_bytes(std::to_string(i)), .method = 0});
    std::vector<std::size_t> repeats;
    for (std::size_t i = N; i-- > 0;) {
        if (i % 10 != 3) continue;
        repeats.push_back(items.size());
        items.push_back({.name = names[i], .data = to_bytes("again"), .method = 0});
    }
    for (bool central : {true, false}) {
        Built b = build(items);
        if (!central) b.bytes.resize(b.cd_start);
        auto a = open_bytes(b.bytes);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->rebuilt(), !central);
        ASSERT_EQ(a->entries().size(), items.size());
        for (std::size_t i = 0; i < items.size(); ++i) ASSERT_EQ(a->entries()[i].name, items[i].name);
        EXPECT_EQ(a->duplicates(), repeats);
        for (std::size_t i = 0; i < N; ++i) {
            ASSERT_EQ(a->find(names[i]), i);
            EXPECT_EQ(read_text(*a, *a->find(names[i])), std::to_string(i));
        }
        EXPECT_FALSE(a->find(names[N]));
    }
}
