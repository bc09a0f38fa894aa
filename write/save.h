// Saving a written deck: a file replaced whole or not at all.
//
// The bytes go to a temporary file beside the target, which is then renamed
// over it; a reader never sees a half-written deck, and a failed save leaves
// any existing file as it was. A symbolic link is followed, so that the link
// itself survives and its target gets the new contents.
#pragma once

#include "write/style.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace vantrell_write::save {

// Writes `bytes` to `path`, taking over the permission bits of a regular
// file it replaces. Errors are `Error::io` with the system's description.
Result<void> replace_file(std::string_view path, std::span<const std::uint8_t> bytes);

} // namespace vantrell_write::save
