// Container and CRC stages: what the ZIP reader and the package layer
// recorded while opening (repairs, duplicates, name defects, the content
// types stream), each local header against its central record, and the
// CRC-32 of every XML and relationships part.
#pragma once

#include <array>

#include "check/check.h"

namespace vantrell_check::container {

inline constexpr std::array<Rule, 18> CONTAINER_RULES{{
    {"ZIP001", "Part 2 B.4 Table B.4", "Entries use only the stored (0) or deflate (8) compression methods", Severity::error},
    {"ZIP002", "Part 2 B.4 Table B.5", "Entries are not encrypted (general purpose bit 0)", Severity::error},
    {"ZIP003", "Part 2 B.2", "No bytes precede the first local file header", Severity::warning},
    {"ZIP004", "Part 2 B.4 Table B.1", "The central directory and end record are present and complete", Severity::error},
    {"ZIP005", "Part 2 6.2.2.3", "No two items share a name", Severity::error},
    {"ZIP006", "Part 2 7.3.2", "The archive holds no directory entries; parts are the only items", Severity::warning},
    {"ZIP007", "Part 2 B.2", "Each local file header agrees with its central directory header", Severity::error},
    {"ZIP008", "Part 2 B.4 Table B.2", "Decompressed part data matches the recorded CRC-32", Severity::error},
    {"ZIP009", "Part 2 B.4 Table B.3", "Version needed to extract is at most 4.5", Severity::warning},
    {"ZIP010", "Part 2 7.3.3", "Item names are ASCII, with non-ASCII characters percent-encoded", Severity::warning},
    {"ZIP011", "Part 2 B.4 Table B.5", "General purpose bit 11 (UTF-8 names) is not set", Severity::info},
    {"OPC001", "Part 2 6.2.2.2", "Part names follow the part name grammar", Severity::error},
    {"OPC002", "Part 2 6.2.2.3", "No two part names are equivalent under ASCII case folding", Severity::error},
    {"OPC003", "Part 2 6.2.2.3", "No part name is derivable from another part name", Severity::error},
    {"OPC004", "Part 2 7.3.7", "The content types stream [Content_Types].xml is present", Severity::error},
    {"OPC005", "Part 2 7.3.7", "The content types stream item is named exactly [Content_Types].xml", Severity::warning},
    {"OPC006", "Part 2 7.2.3.2.1", "The content types stream is well-formed XML", Severity::error},
    {"OPC007", "Part 2 7.2.5.2", "Interleaved items form a complete piece sequence from [0].piece to [n].last.piece", Severity::error},
}};

// ZIP001-ZIP007, ZIP009-ZIP011 and OPC001-OPC007; counts no parts.
void run(vantrell_core::package::Package& package, Sink& sink);

// ZIP008 over the parts whose content type is XML or whose name ends in
// ".rels"; one inspection per such part.
void run_crc(vantrell_core::package::Package& package, Sink& sink);

} // namespace vantrell_check::container
