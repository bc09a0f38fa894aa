// Escaping of values spliced into the writer's XML templates.
//
// Both functions always give text that is well-formed inside the place it is
// written: bytes that are not valid UTF-8 become U+FFFD, and characters XML
// 1.0 forbids never pass through.
#pragma once

#include <string>
#include <string_view>

namespace vantrell_write::xml {

// For a double-quoted attribute value: " & < > escaped; TAB, LF and CR as
// character references; other C0 controls, U+FFFE and U+FFFF dropped.
std::string attr(std::string_view text);

// For element content: & < > escaped; TAB, LF and CR unchanged; other C0
// controls, U+FFFE and U+FFFF as "_xHHHH_".
std::string text(std::string_view text);

} // namespace vantrell_write::xml
