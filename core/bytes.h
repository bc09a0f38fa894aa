// Fixed-width integers in bytes: little- and big-endian loads and stores, and
// a bounded cursor over one record. Every binary format read or written here
// goes through these: ZIP, compound files, legacy records, DEFLATE, images,
// fonts.
//
// Loads and stores do not check bounds: the caller tests the bytes left first
// (`n <= end - p`, never `p + n <= end`). A load is one memcpy and, on a
// machine of the other byte order, one byte swap, which compilers turn into a
// single move. Loads and stores are forced inline: left to the inliner, the
// inflater's hot loop came out slower with them than with a file-local copy.
//
// A `Cursor` reads a fixed record field by field: a read past the end yields 0
// (or no bytes) and clears `ok()`, and once cleared it stays cleared, so the
// whole record is read and then tested once.
//
// `Buffer` holds bytes read from a deck (inflated or copied entry data). Its
// allocator leaves the room a resize() adds unwritten instead of zeroing it:
// the decoder sizes its output first and then overwrites all of it, and the
// clearing cost about an eighth of the inflating. Whoever grows a Buffer
// by resize() writes every byte of the new room before the buffer is handed
// on (or shrinks it back). A block of OWN_MAPPING_NBYTES or more gets a
// mapping of its own, unmapped when freed: left to malloc, the freed bytes of
// a huge part stay in the arena of the worker thread that read it, and a
// pass over such parts keeps about one part per worker for good. The
// threshold is malloc's own starting one: above it malloc maps blocks apart
// too, but then raises its threshold to the largest block it freed, and
// blocks of a few hundred KiB land in every worker's arena after all. (The
// host's own malloc settings are not ours to change.) Mappings up to 1 MiB
// come in powers of two, and the last one freed of each size is kept for
// the next block of that size (see detail::map).
//
// Header-only, so the writer shares them without depending on the reader's
// compiled code.
#pragma once

#include <atomic>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include <sys/mman.h>

namespace vantrell_core::bytes {

namespace detail {

template <std::unsigned_integral T, std::endian Order>
[[gnu::always_inline]] inline T load(const std::uint8_t* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native != Order) v = std::byteswap(v);
    return v;
}

template <std::unsigned_integral T, std::endian Order>
[[gnu::always_inline]] inline void store(std::uint8_t* p, T v) noexcept {
    if constexpr (std::endian::native != Order) v = std::byteswap(v);
    std::memcpy(p, &v, sizeof v);
}

template <std::unsigned_integral T, std::endian Order, class Alloc>
inline void append(std::vector<std::uint8_t, Alloc>& out, T v) {
    std::uint8_t b[sizeof(T)];
    store<T, Order>(b, v);
    // Byte by byte: GCC 12 warns falsely about a range insert into an empty vector.
    for (const std::uint8_t x : b) out.push_back(x);
}

} // namespace detail

inline constexpr std::size_t OWN_MAPPING_NBYTES = std::size_t{128} << 10;

namespace detail {

// Mappings up to this size are made in powers of two, and the last one
// freed of each size is kept (one per size for the whole process) for the
// next block of that size: parts of a few hundred KiB are read one after
// another, and mapping each afresh cost a pass over ordinary decks a few
// per cent in faulting in and clearing new pages. What is kept stays under
// twice this size.
inline constexpr std::size_t KEPT_MAPPING_NBYTES = std::size_t{1} << 20;
inline constexpr int FIRST_KEPT_EXPONENT = std::countr_zero(OWN_MAPPING_NBYTES);
inline constexpr int KEPT_SIZES = std::countr_zero(KEPT_MAPPING_NBYTES) - FIRST_KEPT_EXPONENT + 1;
inline std::atomic<void*> kept_mappings[KEPT_SIZES] = {};

// The length mapped for a block of `nbytes` (at least OWN_MAPPING_NBYTES).
inline std::size_t mapped_nbytes(std::size_t nbytes) noexcept {
    return nbytes <= KEPT_MAPPING_NBYTES ? std::bit_ceil(nbytes) : nbytes;
}

inline std::atomic<void*>& kept_mapping(std::size_t len) noexcept {
    return kept_mappings[std::countr_zero(len) - FIRST_KEPT_EXPONENT];
}

inline void* map(std::size_t nbytes) {
    const std::size_t len = mapped_nbytes(nbytes);
    if (len <= KEPT_MAPPING_NBYTES)
        if (void* kept = kept_mapping(len).exchange(nullptr, std::memory_order_acquire)) return kept;
    void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
}

inline void unmap(void* p, std::size_t nbytes) noexcept {
    const std::size_t len = mapped_nbytes(nbytes);
    if (len <= KEPT_MAPPING_NBYTES) p = kept_mapping(len).exchange(p, std::memory_order_acq_rel);
    if (p) ::munmap(p, len);
}

} // namespace detail

// std::allocator, except that an element constructed without arguments is
// default-initialised (for bytes, left as it is), and large blocks are
// mapped apart.
template <class T>
struct NoFillAllocator {
    using value_type = T;

    NoFillAllocator() noexcept = default;
    template <class U>
    NoFillAllocator(const NoFillAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (!own_mapping(n)) return std::allocator<T>{}.allocate(n);
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(detail::map(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (own_mapping(n)) detail::unmap(p, n * sizeof(T));
        else std::allocator<T>{}.deallocate(p, n);
    }

    // Under the address sanitizer, its allocator (which watches the bounds
    // of every block, and gives large ones back itself) does it all.
    static constexpr bool own_mapping(std::size_t n) noexcept {
#if defined(__SANITIZE_ADDRESS__)
        (void)n;
        return false;
#else
        return n >= OWN_MAPPING_NBYTES / sizeof(T);
#endif
    }

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        std::uninitialized_default_construct_n(p, 1);
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        std::construct_at(p, std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const NoFillAllocator<U>&) const noexcept {
        return true;
    }
};

using Buffer = std::vector<std::uint8_t, NoFillAllocator<std::uint8_t>>;

[[gnu::always_inline]] inline std::uint16_t load_le16(const std::uint8_t* p) noexcept {
    return detail::load<std::uint16_t, std::endian::little>(p);
}
[[gnu::always_inline]] inline std::uint32_t load_le32(const std::uint8_t* p) noexcept {
    return detail::load<std::uint32_t, std::endian::little>(p);
}
[[gnu::always_inline]] inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
    return detail::load<std::uint64_t, std::endian::little>(p);
}
[[gnu::always_inline]] inline std::uint16_t load_be16(const std::uint8_t* p) noexcept {
    return detail::load<std::uint16_t, std::endian::big>(p);
}
[[gnu::always_inline]] inline std::uint32_t load_be32(const std::uint8_t* p) noexcept {
    return detail::load<std::uint32_t, std::endian::big>(p);
}

// The same at byte offset `at` of `b`; `at` and the field lie within `b`.
[[gnu::always_inline]] inline std::uint16_t load_le16(std::span<const std::uint8_t> b, std::size_t at) noexcept {
    return load_le16(b.data() + at);
}
[[gnu::always_inline]] inline std::uint32_t load_le32(std::span<const std::uint8_t> b, std::size_t at) noexcept {
    return load_le32(b.data() + at);
}
[[gnu::always_inline]] inline std::uint16_t load_be16(std::span<const std::uint8_t> b, std::size_t at) noexcept {
    return load_be16(b.data() + at);
}
[[gnu::always_inline]] inline std::uint32_t load_be32(std::span<const std::uint8_t> b, std::size_t at) noexcept {
    return load_be32(b.data() + at);
}

[[gnu::always_inline]] inline void store_le16(std::uint8_t* p, std::uint16_t v) noexcept {
    detail::store<std::uint16_t, std::endian::little>(p, v);
}
[[gnu::always_inline]] inline void store_le32(std::uint8_t* p, std::uint32_t v) noexcept {
    detail::store<std::uint32_t, std::endian::little>(p, v);
}

template <class Alloc>
inline void append_le16(std::vector<std::uint8_t, Alloc>& out, std::uint16_t v) {
    detail::append<std::uint16_t, std::endian::little>(out, v);
}
template <class Alloc>
inline void append_le32(std::vector<std::uint8_t, Alloc>& out, std::uint32_t v) {
    detail::append<std::uint32_t, std::endian::little>(out, v);
}
template <class Alloc>
inline void append_be16(std::vector<std::uint8_t, Alloc>& out, std::uint16_t v) {
    detail::append<std::uint16_t, std::endian::big>(out, v);
}
// The low 24 bits of `v`, most significant byte first.
template <class Alloc>
inline void append_be24(std::vector<std::uint8_t, Alloc>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
template <class Alloc>
inline void append_be32(std::vector<std::uint8_t, Alloc>& out, std::uint32_t v) {
    detail::append<std::uint32_t, std::endian::big>(out, v);
}

// Little-endian fields of one record held in memory, read in order. A read
// that does not fit yields 0 (or an empty span) and clears `ok()` for good.
class Cursor {
public:
    explicit Cursor(std::span<const std::uint8_t> record) noexcept
        : next_(record.data()), end_(record.data() + record.size()) {}

    std::uint8_t u8() noexcept { return take(1) ? next_[-1] : 0; }
    std::uint16_t u16() noexcept { return take(2) ? load_le16(next_ - 2) : 0; }
    std::uint32_t u32() noexcept { return take(4) ? load_le32(next_ - 4) : 0; }
    std::uint64_t u64() noexcept { return take(8) ? load_le64(next_ - 8) : 0; }
    void skip(std::size_t nbytes) noexcept { take(nbytes); }
    std::span<const std::uint8_t> bytes(std::size_t nbytes) noexcept {
        if (!take(nbytes)) return {};
        return {next_ - nbytes, nbytes};
    }
    std::size_t avail() const noexcept { return static_cast<std::size_t>(end_ - next_); }
    bool ok() const noexcept { return ok_; }

private:
    bool take(std::size_t nbytes) noexcept {
        if (!ok_ || nbytes > static_cast<std::size_t>(end_ - next_)) {
            ok_ = false;
            return false;
        }
        next_ += nbytes;
        return true;
    }

    const std::uint8_t* next_;
    const std::uint8_t* end_;
    bool ok_ = true;
};

} // namespace vantrell_core::bytes
