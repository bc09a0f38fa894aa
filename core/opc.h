// Open Packaging Conventions: relationships parts, the content types stream,
// part-name rules and the naming between parts and their relationships.
//
// The parsers are tolerant the way the package reader is: a malformed
// element is left out and recorded as a `Defect` with its byte offset, a
// repeated key is kept and its position recorded, and only XML that is not
// well-formed fails the parse. The checker reports what is recorded here;
// the reader simply uses what survived.
#pragma once

#include "core/hash.h"
#include "core/name_index.h"
#include "core/xml.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrell_core::opc {

// A tolerated defect: a static message and the byte offset of the element.
struct Defect {
    std::string_view message;
    std::uint64_t offset = 0;
    friend bool operator==(const Defect&, const Defect&) = default;
};

// The texts of a parsed relationship are held by its set.
struct Relationship {
    std::string_view id;
    std::string_view type;
    std::string_view target;  // as written (references decoded)
    std::uint64_t offset = 0; // of the Relationship element
    bool external = false;  // TargetMode="External"
};

struct Relationships {
    Relationships() = default;
    // A copy's relationships point into its own copy of the texts.
    Relationships(const Relationships& other);
    Relationships& operator=(const Relationships& other);
    Relationships(Relationships&&) noexcept = default;
    Relationships& operator=(Relationships&&) noexcept = default;

    std::string source;                     // the source part name as requested
    std::vector<Relationship> relationships; // document order
    std::vector<std::size_t> duplicate_ids; // positions repeating an earlier Id
    std::vector<Defect> defects;
    bool wrong_root = false;
    // Namespace declarations of the Strict (Transitional) form of a two-form
    // namespace, up to and including the root's start tag.
    bool strict_root = false;
    bool transitional_root = false;

    // The first relationship with exactly this Id.
    const Relationship* get(std::string_view id) const;

    // Parses a relationships part. Only an XML error fails.
    static std::expected<Relationships, xml::XmlError> parse(std::string source, std::string_view text);

private:
    name_index::Index<name_index::Exact> by_id_; // positions in `relationships`
    // The parsed ids, types and targets end to end: one buffer instead of a
    // string or three per relationship. Moving the vector keeps the bytes
    // where the views point.
    std::vector<char> texts_;
};

struct ContentTypes {
    std::vector<std::pair<std::string, std::string>> defaults;  // (Extension, ContentType)
    std::vector<std::pair<std::string, std::string>> overrides; // (PartName, ContentType)
    std::vector<std::size_t> duplicate_defaults;  // positions in `defaults`
    std::vector<std::size_t> duplicate_overrides; // positions in `overrides`
    std::vector<Defect> defects;
    bool wrong_root = false;

    // The Override for the name ignoring ASCII case, else the Default for the
    // extension of its last segment ignoring ASCII case, else nullopt. With
    // repeated keys the first element counts.
    std::optional<std::string_view> content_type_of(std::string_view part_name) const;

    // Parses the content types stream. Only an XML error fails.
    static std::expected<ContentTypes, xml::XmlError> parse(std::string_view text);

private:
    // Positions in `defaults` and `overrides`, keys compared ignoring ASCII
    // case, so a lookup needs no lower-cased copy of the name.
    name_index::Index<name_index::AsciiCaseless> default_by_ext_;
    name_index::Index<name_index::AsciiCaseless> override_by_name_;
};

// A violation of the part-name grammar.
class PartNameError {
public:
    enum class Kind : std::uint8_t {
        empty,
        no_leading_slash,
        empty_segment,
        trailing_slash,
        segment_ends_with_dot,
        must_percent_encode, // `character()` says which
        bad_percent,
        percent_encoded_slash,
        percent_encoded_unreserved,
    };

    explicit PartNameError(Kind kind, char32_t c = 0) noexcept : kind_(kind), char_(c) {}
    Kind kind() const noexcept { return kind_; }
    char32_t character() const noexcept { return char_; }
    std::string message() const;
    friend bool operator==(const PartNameError&, const PartNameError&) = default;

private:
    Kind kind_;
    char32_t char_;
};

// The first violation of the part-name grammar in `name`, if any.
std::optional<PartNameError> check_part_name(std::string_view name);

// "/_rels/.rels" for "" and "/"; otherwise "{folder}/_rels/{file}.rels".
std::string rels_part_name(std::string_view source);
// The same into `out`, whose room is reused.
void rels_part_name_into(std::string_view source, std::string& out);

// The inverse of `rels_part_name`, matched exactly; nullopt for a name that
// is not a relationships part name.
std::optional<std::string> source_of_rels(std::string_view name);
// Whether `source_of_rels` would give a source, without building it.
bool is_rels_part_name(std::string_view name) noexcept;

// The part name a relationship target designates, relative to the source
// part's folder; never empty. Percent escapes and letter case are kept. A
// target of only a query or fragment designates the source part; an empty
// target, its folder.
std::string resolve_target(std::string_view source, std::string_view target);
// The same into `out`, whose room is reused: for loops over many targets.
void resolve_target_into(std::string_view source, std::string_view target, std::string& out);

// ASCII lower-casing: the only case folding part names get.
std::string ascii_lower(std::string_view s);

} // namespace vantrell_core::opc
