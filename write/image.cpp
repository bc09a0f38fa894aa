// Reads only fixed header fields; every read is checked against the bytes
// left, so truncated or hostile files give none rather than an over-read.
#include "write/image.h"

#include "write/style.h"

#include "core/bytes.h"

namespace vantrell_write::image {

namespace {

using Dims = std::optional<std::pair<std::uint32_t, std::uint32_t>>;
using vantrell_core::bytes::load_be16;
using vantrell_core::bytes::load_be32;
using vantrell_core::bytes::load_le16;
using vantrell_core::bytes::load_le32;

Dims nonzero(std::uint32_t w, std::uint32_t h) {
    if (w == 0 || h == 0) return std::nullopt;
    return std::pair{w, h};
}

Dims png(std::span<const std::uint8_t> d) {
    if (d.size() < 24) return std::nullopt;
    if (d[12] != 'I' || d[13] != 'H' || d[14] != 'D' || d[15] != 'R') return std::nullopt;
    return nonzero(load_be32(d, 16), load_be32(d, 20));
}

Dims jpeg(std::span<const std::uint8_t> d) {
    const std::size_t n = d.size();
    std::size_t pos = 2;
    // Each step advances by at least one byte, so the walk ends.
    while (pos < n) {
        if (d[pos] != 0xFF || n - pos < 2) return std::nullopt;
        const std::uint8_t marker = d[pos + 1];
        if (marker == 0xFF) { // fill byte
            pos += 1;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD9)) { // stand-alone
            pos += 2;
            continue;
        }
        if (n - pos < 4) return std::nullopt;
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (n - pos < 9) return std::nullopt;
            return nonzero(load_be16(d, pos + 7), load_be16(d, pos + 5));
        }
        pos += load_be16(d, pos + 2) + 2;
    }
    return std::nullopt;
}

Dims gif(std::span<const std::uint8_t> d) {
    if (d.size() < 10) return std::nullopt;
    return nonzero(load_le16(d, 6), load_le16(d, 8));
}

// The magnitude of a signed 32-bit field, taken in unsigned arithmetic so
// that -2^31 does not overflow.
std::uint32_t magnitude(std::uint32_t raw) { return (raw & 0x80000000u) ? 0u - raw : raw; }

Dims bmp(std::span<const std::uint8_t> d) {
    if (d.size() < 26) return std::nullopt;
    return nonzero(magnitude(load_le32(d, 18)), magnitude(load_le32(d, 22)));
}

} // namespace

Dims dimensions(std::span<const std::uint8_t> data) {
    auto format = ImageFormat::sniff(data);
    if (!format) return std::nullopt;
    switch (format->kind) {
    case ImageFormat::png: return png(data);
    case ImageFormat::jpeg: return jpeg(data);
    case ImageFormat::gif: return gif(data);
    case ImageFormat::bmp: return bmp(data);
    case ImageFormat::tiff: return std::nullopt;
    }
    return std::nullopt;
}

} // namespace vantrell_write::image
