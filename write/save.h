// Saving a written deck: a file replaced whole or not at all.
//
// The bytes go to a temporary file beside the target, flushed to disk and
// then renamed over it; a reader never sees a half-written deck, a failed
// save leaves any existing file as it was, and a crash just after the save
// leaves the new deck rather than an empty one. A symbolic link is followed,
// so that the link itself survives and its target gets the new contents.
//
// A target that exists and is not a regular file (a FIFO, a terminal, a
// device node, or a link to one) is written in place instead: renaming over
// it would replace the node with a file its readers never see. Opening a
// FIFO for writing waits for a reader, as any write to one does.
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
