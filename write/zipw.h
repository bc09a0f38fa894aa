// The ZIP writer: packs generated parts into one in-memory archive.
//
// The plain form of ZIP only: no data descriptors, extra fields, ZIP64
// records or comments; a fixed 1980-01-01 00:00:00 timestamp; each entry
// either raw deflate (zlib level 6, memory level 8) or stored. Values that do
// not fit the 16- and 32-bit fields are refused, never truncated.
#pragma once

#include "write/parts.h"
#include "write/style.h"

#include <span>
#include <vector>

namespace vantrell_write::zipw {

// The archive of `parts`, in their order.
Result<Bytes> write(std::span<const parts::PartOut> parts);

// One raw deflate stream of `data` with the archive's parameters.
Result<Bytes> deflate_raw(std::span<const std::uint8_t> data);

} // namespace vantrell_write::zipw
