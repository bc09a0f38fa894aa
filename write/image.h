// Pixel dimensions of the picture formats the writer recognises.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace vantrell_write::image {

// (width, height) in pixels of a PNG, JPEG, GIF or BMP; none for TIFF, for
// anything unrecognised and for any truncated or zero-sized header.
std::optional<std::pair<std::uint32_t, std::uint32_t>> dimensions(std::span<const std::uint8_t> data);

} // namespace vantrell_write::image
