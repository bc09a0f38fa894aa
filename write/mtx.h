// Compressed font data for embedding (encoding only).
//
// The glyph outlines of a TrueType font are split into three streams: glyph
// structure with point coordinates as compact triplets, the values of each
// glyph program's leading push instructions, and the rest of the programs.
// The sfnt is rebuilt around the transformed outlines (loca left empty, since
// the decoder recreates it; hdmx and VDMX dropped; cvt delta-coded) and the
// three parts are LZCOMP blocks behind a 10-byte header.
//
// Nothing here reports errors: any input that does not fit, or a size past
// what the 24-bit header fields hold, gives no result and the caller embeds
// the font file as it is.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vantrell_write::mtx {

using Bytes = std::vector<std::uint8_t>;

struct Triplet {
    std::uint8_t flag = 0;              // 0..127, before the off-curve bit
    std::array<std::uint8_t, 4> data{}; // the first `size` bytes are used
    std::uint8_t size = 0;
};

// A point's delta as one flag and 1 to 4 data bytes.
Triplet triplet(std::int16_t dx, std::int16_t dy);

// 255UInt16: 1 byte below 253, else a marker byte and one or two more.
void push_u255(Bytes& out, std::uint16_t value);
// 255Short: the signed counterpart, used for pushed values.
void push_short255(Bytes& out, std::int16_t value);

// The cvt table as a count and deltas between consecutive values.
Bytes encode_cvt(std::span<const std::uint8_t> cvt);

struct Streams {
    Bytes glyf;
    Bytes push;
    Bytes code;
    // Estimated size of a glyf table rebuilt from the streams; decides the
    // loca format the decoder will need.
    std::uint64_t glyf_size = 0;

    // Splits one glyph program into pushed values and code and returns the
    // estimated size of the program a decoder rebuilds.
    std::uint64_t instructions(std::span<const std::uint8_t> program);
    // Appends one glyph; false when it does not parse.
    bool glyph(std::span<const std::uint8_t> data);
};

// The whole font as compressed data, or nothing when it cannot be done.
std::optional<Bytes> compress(std::span<const std::uint8_t> font);

} // namespace vantrell_write::mtx
