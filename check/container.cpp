#include "check/container.h"

#include <memory>
#include <optional>
#include <span>
#include <vector>
#include <utility>

#include "core/crc32.h"

namespace vantrell_check::container {

namespace pkg = vantrell_core::package;
namespace zip = vantrell_core::zip;
namespace crc32 = vantrell_core::crc32;

namespace {

constexpr const Rule& ZIP001 = rule_of(CONTAINER_RULES, "ZIP001");
constexpr const Rule& ZIP002 = rule_of(CONTAINER_RULES, "ZIP002");
constexpr const Rule& ZIP003 = rule_of(CONTAINER_RULES, "ZIP003");
constexpr const Rule& ZIP004 = rule_of(CONTAINER_RULES, "ZIP004");
constexpr const Rule& ZIP005 = rule_of(CONTAINER_RULES, "ZIP005");
constexpr const Rule& ZIP006 = rule_of(CONTAINER_RULES, "ZIP006");
constexpr const Rule& ZIP007 = rule_of(CONTAINER_RULES, "ZIP007");
constexpr const Rule& ZIP008 = rule_of(CONTAINER_RULES, "ZIP008");
constexpr const Rule& ZIP009 = rule_of(CONTAINER_RULES, "ZIP009");
constexpr const Rule& ZIP010 = rule_of(CONTAINER_RULES, "ZIP010");
constexpr const Rule& ZIP011 = rule_of(CONTAINER_RULES, "ZIP011");
constexpr const Rule& OPC001 = rule_of(CONTAINER_RULES, "OPC001");
constexpr const Rule& OPC002 = rule_of(CONTAINER_RULES, "OPC002");
constexpr const Rule& OPC003 = rule_of(CONTAINER_RULES, "OPC003");
constexpr const Rule& OPC004 = rule_of(CONTAINER_RULES, "OPC004");
constexpr const Rule& OPC005 = rule_of(CONTAINER_RULES, "OPC005");
constexpr const Rule& OPC006 = rule_of(CONTAINER_RULES, "OPC006");
constexpr const Rule& OPC007 = rule_of(CONTAINER_RULES, "OPC007");

constexpr std::uint16_t FLAG_ENCRYPTED = 1u << 0;
constexpr std::uint16_t FLAG_DESCRIPTOR = 1u << 3;
constexpr std::uint16_t FLAG_UTF8 = 1u << 11;
constexpr std::uint32_t ZIP64_SIZE = 0xFFFFFFFFu;

// The names of the local header fields that disagree with the central record.
std::string header_mismatch(const zip::Entry& e, const zip::LocalHeader& lh) {
    std::string fields;
    auto add = [&fields](std::string_view name) {
        if (!fields.empty()) fields += ", ";
        fields += name;
    };
    if (lh.method != e.method) add("compression method");
    if ((lh.flags ^ e.flags) & ~FLAG_DESCRIPTOR) add("general purpose flags");
    if (lh.raw_name != e.raw_name) add("file name");
    if (!(e.flags & FLAG_DESCRIPTOR)) {
        if (lh.crc32 != e.crc32) add("crc-32");
        if (lh.compressed_size != ZIP64_SIZE && lh.compressed_size != e.compressed_size) add("compressed size");
        if (lh.uncompressed_size != ZIP64_SIZE && lh.uncompressed_size != e.uncompressed_size)
            add("uncompressed size");
    }
    return fields;
}

void check_entry(const zip::Archive& archive, const zip::Entry& e, Sink& sink) {
    // Built only for a finding: most entries have none.
    const auto part = [&e] { return "/" + std::string(e.name); };
    if (e.method != 0 && e.method != 8)
        sink.push(Finding(ZIP001, "compression method " + std::to_string(e.method)).in_part(part()));
    if (e.flags & FLAG_ENCRYPTED) sink.push(Finding(ZIP002, "entry is encrypted").in_part(part()));
    if (e.version_needed > 45)
        sink.push(Finding(ZIP009, "version needed to extract is " + std::to_string(e.version_needed / 10) + "." +
                                      std::to_string(e.version_needed % 10))
                      .in_part(part()));
    for (const char c : e.raw_name) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            sink.push(Finding(ZIP010, "item name contains non-ASCII bytes").in_part(part()));
            break;
        }
    }
    if (e.flags & FLAG_UTF8) sink.push(Finding(ZIP011, "UTF-8 name flag is set").in_part(part()));
    if (archive.rebuilt()) return;
    auto lh = archive.local_header(e);
    if (!lh)
        sink.push(Finding(ZIP007, "local header unreadable: " + shown(lh.error().message())).in_part(part()));
    else if (std::string fields = header_mismatch(e, *lh); !fields.empty())
        sink.push(Finding(ZIP007, "local header differs from the central directory in: " + fields).in_part(part()));
    // Not always visible in the header: a record may point at a header that
    // sits, intact, inside another entry's stored data.
    if (e.overlaps)
        sink.push(Finding(ZIP007, "entry data overlaps the data of an earlier entry; it is not read").in_part(part()));
    else if (std::uint64_t end; lh && !__builtin_add_overflow(lh->data_offset, e.compressed_size, &end))
        if (auto next = archive.header_before(e, end); next && *next)
            sink.push(Finding(ZIP007, "entry data as recorded runs into the local header of another entry at offset " +
                                          std::to_string(**next))
                          .in_part(part()));
}

// The parts whose bytes the CRC stage verifies: XML by content type, and
// relationships parts by name.
bool crc_qualifies(std::optional<std::string_view> ct, const pkg::Part& part) {
    if (ct && ct->size() >= 4 && (ct->ends_with("+xml") || ct->ends_with("/xml"))) return true;
    return part.name.size() >= 5 && std::string_view(part.name).ends_with(".rels");
}

} // namespace

void run(pkg::Package& package, Sink& sink) {
    const zip::Archive& archive = package.archive();
    const auto& entries = archive.entries();

    if (archive.rebuilt()) {
        sink.push(Finding(ZIP004, "no central directory; entries were recovered by scanning local file headers"));
    } else if (archive.incomplete()) {
        sink.push(Finding(ZIP004, "central directory declares " + std::to_string(archive.declared_entries()) +
                                      " entries but only " + std::to_string(entries.size()) + " were readable"));
    }
    if (archive.prefix_len() != 0)
        sink.push(Finding(ZIP003, std::to_string(archive.prefix_len()) +
                                      " byte(s) precede the archive; every offset had to be shifted"));

    for (const zip::Entry& e : entries) {
        sink.poll();
        check_entry(archive, e, sink);
    }

    for (const std::size_t i : archive.duplicates()) {
        if (i < entries.size())
            sink.push(Finding(ZIP005, "item name repeats an earlier item's name").in_part("/" + std::string(entries[i].name)));
    }

    const pkg::PackageDefects& d = package.defects();
    for (const std::string& dir : d.directories)
        sink.push(Finding(ZIP006, "directory entry in a package").in_part("/" + dir));
    for (const auto& [name, err] : d.invalid_names) sink.push(Finding(OPC001, shown(err.message())).in_part(name));
    const auto& parts = package.parts();
    for (const auto& [first, second] : d.collisions)
        sink.push(Finding(OPC002, "equivalent to " + shown(parts[first].name)).in_part(parts[second].name));
    for (const auto& [derived, base] : d.derivable)
        sink.push(Finding(OPC003, "derivable from " + shown(parts[base].name)).in_part(parts[derived].name));
    for (const std::string& name : d.incomplete_pieces)
        sink.push(Finding(OPC007, "piece sequence has gaps or no single .last piece; not a part").in_part(name));
    if (d.content_types_missing) sink.push(Finding(OPC004, "[Content_Types].xml is missing"));
    if (d.content_types_case)
        sink.push(Finding(OPC005, "content types stream is named " + shown(*d.content_types_case)));
    if (d.content_types_error)
        sink.push(Finding(OPC006, shown(d.content_types_error->first) + " at byte " +
                                      std::to_string(d.content_types_error->second))
                      .in_part("/[Content_Types].xml"));
    if (d.content_types_unreadable)
        sink.push(Finding(OPC006, "content types stream could not be read: " + shown(*d.content_types_unreadable))
                      .in_part("/[Content_Types].xml"));
}

void run_crc(pkg::Package& package, Sink& sink) {
    const zip::Archive& archive = package.archive();
    const auto& entries = archive.entries();
    Reading& reading = sink.reading();
    const auto& parts = package.parts();

    // Entries read but not yet verified: they are verified two at a time
    // (crc32::of_pair), and their findings pushed in entry order, before
    // any finding of a later entry. Each holds its charge until then, or
    // hands it to the reading with the bytes it keeps.
    struct Read {
        const zip::Entry* entry = nullptr;
        std::string_view part;
        vantrell_core::bytes::Buffer own; // the bytes, unless they were kept
        pkg::Bytes kept;                // the bytes handed to the later stages
        vantrell_core::budget::Held charge;
        std::span<const std::uint8_t> bytes() const {
            return kept ? std::span<const std::uint8_t>(*kept) : std::span<const std::uint8_t>(own);
        }
    };
    std::optional<Read> waiting;
    vantrell_core::bytes::Buffer spare; // a buffer to read into, its room reused
    auto report = [&](Read& r, std::uint32_t crc) {
        if (crc != r.entry->crc32)
            sink.push(
                Finding(ZIP008, "decompressed data of " + shown(r.entry->name) + " does not match the recorded CRC-32")
                    .in_part(r.part));
        if (!r.kept && r.own.capacity() > spare.capacity() && r.own.capacity() <= Reading::MAX_SPARE_NBYTES)
            spare = std::move(r.own);
    };
    auto flush = [&] {
        if (!waiting) return;
        report(*waiting, crc32::of(waiting->bytes()));
        waiting.reset();
    };
    auto verify = [&](Read r) {
        if (!waiting) {
            waiting = std::move(r);
            return;
        }
        const auto [first, second] = crc32::of_pair(waiting->bytes(), r.bytes());
        report(*waiting, first);
        waiting.reset();
        report(r, second);
    };

    for (std::size_t index = 0; index < parts.size(); ++index) {
        const pkg::Part& part = parts[index];
        if (!crc_qualifies(reading.content_type(index), part)) continue;
        sink.poll();
        sink.count_part();
        // Reads one entry; false when its bytes could not be read. An entry
        // that would inflate past what an XML part may is not read at all.
        auto read = [&](std::size_t entry, Read& out) {
            if (entry >= entries.size()) return false;
            const zip::Entry& e = entries[entry];
            const bool too_large = e.uncompressed_size > pkg::MAX_XML_PART_NBYTES;
            if (!out.charge.take(reading.ledger(), pkg::parse_cost(e.uncompressed_size, e.compressed_size)))
                throw vantrell_core::budget::Stopped();
            vantrell_core::bytes::Buffer buffer = std::exchange(spare, {});
            auto r = too_large ? vantrell_core::Result<void>(vantrell_core::fail(pkg::too_large(
                                     "/" + std::string(e.name), e.uncompressed_size, pkg::MAX_XML_PART_NBYTES)))
                               : archive.read(e, buffer);
            if (!r) {
                flush();
                sink.push(Finding(ZIP008, "part could not be read: " + shown(r.error().message())).in_part(part.name));
                if (buffer.capacity() <= Reading::MAX_SPARE_NBYTES) spare = std::move(buffer);
                out.charge.give_back();
                return false;
            }
            out.entry = &e;
            out.part = part.name;
            out.own = std::move(buffer);
            return true;
        };
        if (part.interleaved()) {
            for (const std::size_t piece : part.pieces) {
                Read r;
                if (read(piece, r)) verify(std::move(r));
            }
            continue;
        }
        Read r;
        if (!read(part.entry, r)) continue;
        if (reading.is_xml(index)) {
            // A single entry's bytes are the part's: the run's reading keeps
            // them for the later stages instead of inflating the entry again.
            r.kept = std::make_shared<const vantrell_core::bytes::Buffer>(std::move(r.own));
            r.own = {};
            reading.keep(index, r.kept, &r.charge);
        }
        verify(std::move(r));
    }
    flush();
}

} // namespace vantrell_check::container
