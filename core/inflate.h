// Raw DEFLATE decoder (RFC 1951, no zlib or gzip wrapper).
//
// The ZIP reader is the one caller: it knows each entry's recorded
// uncompressed size and passes it as `max_out`, so a stream that would produce
// more (a deflate bomb, or a lying directory) fails after bounded work and
// bounded memory instead of growing without limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/bytes.h"
#include "core/error.h"

namespace vantrell_core::inflate {

// Decodes the whole stream in `in`, appending the output to `out`. Fails with
// an "inflate: ..." error on corrupt or truncated data, or when the output of
// this call would exceed `max_out` bytes; on failure `out` keeps exactly its
// previous contents. Bytes after the final block are ignored. Matches may
// reach back only into this call's output, never into what `out` held before.
// Memory grows with the output actually produced, not with `max_out`; room
// already reserved in `out` is used first.
// Thread-safe: decode tables are per thread.
Result<void> inflate(std::span<const std::uint8_t> in, bytes::Buffer& out,
                     std::size_t max_out);

// Room the decoder uses past the end of its output while it works. A caller
// that knows the output size reserves that much more, so the output is
// allocated once.
inline constexpr std::size_t SLACK_NBYTES = 2 + 258 + 16;

namespace detail {

// The decoder is built once per instruction set it can use; `inflate` takes
// the best one this processor runs. Exposed so tests can run each.
enum class Path {
    generic,
    bmi2, // x86-64 with BMI2: variable shifts and masks in one instruction
};

// Whether this build has `path` and this processor runs it.
bool supports(Path path);

// `inflate` on the given path, or on the generic one where `path` is not
// supported.
Result<void> inflate_with(Path path, std::span<const std::uint8_t> in,
                          bytes::Buffer& out, std::size_t max_out);

} // namespace detail

} // namespace vantrell_core::inflate
