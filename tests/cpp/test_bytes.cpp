#include "core/bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include <sys/mman.h>

namespace vb = vantrell_core::bytes;

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::uint8_t SAMPLE[8] = {0x01, 0x82, 0x03, 0xF4, 0x05, 0x06, 0x07, 0x88};

} // namespace

TEST(Bytes, LoadsReadTheirByteOrder) {
    EXPECT_EQ(vb::load_le16(SAMPLE), 0x8201u);
    EXPECT_EQ(vb::load_le32(SAMPLE), 0xF4038201u);
    EXPECT_EQ(vb::load_le64(SAMPLE), 0x88070605F4038201ull);
    EXPECT_EQ(vb::load_be16(SAMPLE), 0x0182u);
    EXPECT_EQ(vb::load_be32(SAMPLE), 0x018203F4u);
    // At an offset, unaligned, through a span.
    const std::span<const std::uint8_t> s(SAMPLE);
    EXPECT_EQ(vb::load_le16(s, 1), 0x0382u);
    EXPECT_EQ(vb::load_le32(s, 3), 0x070605F4u);
    EXPECT_EQ(vb::load_be16(s, 6), 0x0788u);
    EXPECT_EQ(vb::load_be32(s, 1), 0x8203F405u);
}

TEST(Bytes, StoresAndAppendsWriteTheirByteOrder) {
    std::uint8_t b[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    vb::store_le32(b + 1, 0x12345678u);
    vb::store_le16(b + 4, 0xBEEF);
    EXPECT_EQ(Bytes(b, b + 6), (Bytes{0xAA, 0x78, 0x56, 0x34, 0xEF, 0xBE}));

    Bytes out{0x00};
    vb::append_le16(out, 0x0102);
    vb::append_le32(out, 0x03040506u);
    vb::append_be16(out, 0x0708);
    vb::append_be24(out, 0xFF090A0Bu);  // the top byte is not written
    vb::append_be32(out, 0x0C0D0E0Fu);
    EXPECT_EQ(out, (Bytes{0x00, 0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D,
                          0x0E, 0x0F}));
}

namespace {

// One record of every field kind: u8, u16, u32, u64, three raw bytes, u16.
const Bytes RECORD = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x01, 0x02, 0x03,
                      0x04, 0x05, 0x06, 0x07, 0x08, 0xA1, 0xA2, 0xA3, 0xEE, 0xFF};

struct Fields {
    std::uint8_t a;
    std::uint16_t b;
    std::uint32_t c;
    std::uint64_t d;
    std::span<const std::uint8_t> raw;
    std::uint16_t e;
};

Fields read_record(vb::Cursor& c) {
    Fields f{};
    f.a = c.u8();
    f.b = c.u16();
    f.c = c.u32();
    f.d = c.u64();
    f.raw = c.bytes(3);
    f.e = c.u16();
    return f;
}

} // namespace

TEST(BytesCursor, ReadsAWholeRecordInOrder) {
    vb::Cursor c(RECORD);
    const Fields f = read_record(c);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(f.a, 0x11u);
    EXPECT_EQ(f.b, 0x3322u);
    EXPECT_EQ(f.c, 0x77665544u);
    EXPECT_EQ(f.d, 0x0807060504030201ull);
    EXPECT_EQ(Bytes(f.raw.begin(), f.raw.end()), (Bytes{0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(f.e, 0xFFEEu);
    EXPECT_EQ(c.avail(), 0u);
}

// Every prefix of the record, copied to the end of an allocation of exactly
// its size so that any over-read leaves the buffer: the fields that fit are
// read, the first that does not and every one after it read as 0 or nothing,
// and the failure is seen once at the end.
TEST(BytesCursor, TruncationAtEveryLength) {
    // Offsets at which each field ends.
    const std::size_t ends[] = {1, 3, 7, 15, 18, 20};
    for (std::size_t len = 0; len < RECORD.size(); ++len) {
        auto buf = std::make_unique<std::uint8_t[]>(len);
        std::copy_n(RECORD.begin(), len, buf.get());
        vb::Cursor c({buf.get(), len});
        const Fields f = read_record(c);
        EXPECT_FALSE(c.ok()) << len;
        EXPECT_EQ(f.a, len >= ends[0] ? 0x11u : 0u) << len;
        EXPECT_EQ(f.b, len >= ends[1] ? 0x3322u : 0u) << len;
        EXPECT_EQ(f.c, len >= ends[2] ? 0x77665544u : 0u) << len;
        EXPECT_EQ(f.d, len >= ends[3] ? 0x0807060504030201ull : 0u) << len;
        EXPECT_EQ(f.raw.size(), len >= ends[4] ? 3u : 0u) << len;
        EXPECT_EQ(f.e, 0u) << len;
    }
}

TEST(BytesCursor, FailureIsStickyAndSkipsAreBounded) {
    const Bytes four = {1, 2, 3, 4};
    {
        vb::Cursor c(four);
        EXPECT_EQ(c.u64(), 0u);
        EXPECT_FALSE(c.ok());
        // The bytes are still there, but a failed record stays failed.
        EXPECT_EQ(c.u8(), 0u);
        EXPECT_EQ(c.avail(), 4u);
        EXPECT_FALSE(c.ok());
    }
    {
        vb::Cursor c(four);
        c.skip(3);
        EXPECT_EQ(c.avail(), 1u);
        EXPECT_EQ(c.u8(), 4u);
        EXPECT_TRUE(c.bytes(0).empty());
        EXPECT_TRUE(c.ok());
        c.skip(1);
        EXPECT_FALSE(c.ok());
    }
    {
        // A length near the top of size_t does not wrap.
        vb::Cursor c(four);
        c.skip(1);
        EXPECT_TRUE(c.bytes(SIZE_MAX).empty());
        EXPECT_FALSE(c.ok());
    }
}

namespace {

// Whether all of [p, p + len) is mapped.
bool mapped(void* p, std::size_t len) {
    static std::vector<unsigned char> pages(vb::detail::KEPT_MAPPING_NBYTES);
    return ::mincore(p, len, pages.data()) == 0;
}

struct Mapping {
    const char* what;
    std::size_t nbytes;
    std::size_t mapped_nbytes;
    bool kept;
};

const Mapping MAPPINGS[] = {
    {"the smallest own mapping", vb::OWN_MAPPING_NBYTES, vb::OWN_MAPPING_NBYTES, true},
    {"a byte more, the next power of two", vb::OWN_MAPPING_NBYTES + 1, 2 * vb::OWN_MAPPING_NBYTES, true},
    {"the largest kept", std::size_t{1} << 20, std::size_t{1} << 20, true},
    {"a byte more, its own size and unmapped", (std::size_t{1} << 20) + 1, (std::size_t{1} << 20) + 1, false},
};

} // namespace

TEST(BytesMappings, OnePerSizeIsKeptForTheNextBlock) {
    for (const Mapping& m : MAPPINGS) {
        SCOPED_TRACE(m.what);
        ASSERT_EQ(vb::detail::mapped_nbytes(m.nbytes), m.mapped_nbytes);
        void* a = vb::detail::map(m.nbytes);
        void* b = vb::detail::map(m.nbytes);
        static_cast<std::uint8_t*>(b)[m.mapped_nbytes - 1] = 1;
        vb::detail::unmap(a, m.nbytes);
        vb::detail::unmap(b, m.nbytes);
        // Checked before anything else maps: only the last freed stays.
        const bool a_mapped = mapped(a, m.mapped_nbytes);
        const bool b_mapped = mapped(b, m.mapped_nbytes);
        EXPECT_EQ(std::pair(a_mapped, b_mapped), std::pair(false, m.kept));
        void* c = vb::detail::map(m.nbytes);
        void* d = vb::detail::map(m.nbytes);
        if (m.kept) {
            EXPECT_EQ(c, b);
        }
        EXPECT_NE(d, c);
        vb::detail::unmap(d, m.nbytes);
        vb::detail::unmap(c, m.nbytes);
        EXPECT_EQ(mapped(d, m.mapped_nbytes), false);
    }
}

TEST(BytesMappings, ThreadsNeverShareAKeptBlock) {
    std::atomic<int> shared{0};
    const auto churn = [&](std::uint8_t id) {
        for (int i = 0; i < 2000; ++i) {
            auto* p = static_cast<std::uint8_t*>(vb::detail::map(vb::OWN_MAPPING_NBYTES));
            std::memset(p, id, 64);
            std::this_thread::yield();
            if (std::count(p, p + 64, id) != 64) ++shared;
            vb::detail::unmap(p, vb::OWN_MAPPING_NBYTES);
        }
    };
    std::thread other(churn, 2);
    churn(1);
    other.join();
    EXPECT_EQ(shared.load(), 0);
}
