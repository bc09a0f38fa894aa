// Strict, namespace-aware XML pull reader over one part's UTF-8 text.
//
// Every parser of the library and the checker read XML through this one
// reader, so it is strict where XML 1.0 and Namespaces 1.0 are (matching end
// tags, one root, unique attributes, valid references and characters,
// declared prefixes) and refuses DTDs outright: package parts may not carry
// them, and refusing them removes entity expansion attacks.
//
// Speed comes from never copying: events are views into the caller's text,
// the element stack, namespace scope and attribute scratch are vectors reused
// for the whole document, and text is scanned with a byte-class table. Text
// and attribute values are handed out raw; decoding (references, line ends)
// is done on request, and only when the scanner saw something to decode.
//
// Offsets are zero-based byte offsets into the text given to the reader
// (a UTF-8 byte-order mark counts). A start element is located at its "<".
// Errors are located where the fault is: the "<" of a misplaced tag or
// declaration, the first byte of a bad name, the "&" of a bad reference, the
// offending character; a construct cut off by the end of the text is
// reported at the text's length.
//
// Nesting is limited to MAX_DEPTH open elements: deeper documents fail with
// "nesting too deep" instead of letting recursive consumers (mce walks,
// parsers) exhaust a worker's 2 MiB stack.
//
// Invalid UTF-8 is not an error here; the functions that hand out text
// (`Name::qualified`, `unescape_attr`, `append_text`) replace it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace vantrell_core::xml {

// Namespace ids. Transitional and Strict forms of a namespace share one id.
// The table (URIs abbreviated; T = schemas.openxmlformats.org,
// S = purl.oclc.org/ooxml, M = schemas.microsoft.com/office):
//   0  no namespace
//   1  PresentationML main        T/presentationml/2006/main, S/presentationml/main
//   2  DrawingML main             T/drawingml/2006/main, S/drawingml/main
//   3  officeDocument rels        T/officeDocument/2006/relationships,
//                                 S/officeDocument/relationships
//   4  package relationships      T/package/2006/relationships
//   5  content types              T/package/2006/content-types
//   6  markup compatibility       T/markup-compatibility/2006
//   7  core properties            T/package/2006/metadata/core-properties
//   8  Dublin Core elements       http://purl.org/dc/elements/1.1/
//   9  Dublin Core terms          http://purl.org/dc/terms/
//   10 XML Schema instance        http://www.w3.org/2001/XMLSchema-instance
//   11 extended properties        T/officeDocument/2006/extended-properties,
//                                 S/officeDocument/extendedProperties (and the
//                                 hyphenated Strict spelling some tools write)
//   12 docPropsVTypes             T/officeDocument/2006/docPropsVTypes,
//                                 S/officeDocument/docPropsVTypes
//   13 DrawingML chart            T/drawingml/2006/chart, S/drawingml/chart
//   14 DrawingML diagram          T/drawingml/2006/diagram, S/drawingml/diagram
//   15 DrawingML picture          T/drawingml/2006/picture, S/drawingml/picture
//   16 diagram drawing            M/drawing/2008/diagram (and the pre-release
//                                 T/drawingml/10/2007/diagram)
//   17 PowerPoint 2010            M/powerpoint/2010/main (and the pre-release
//                                 M/powerpoint/2007/7/12/main)
//   18 PowerPoint modern comments M/powerpoint/2018/8/main
//   19 chart drawing (user shapes) T/drawingml/2006/chartDrawing,
//                                 S/drawingml/chartDrawing
//   20 any other namespace, the XML namespace (xml:lang) included
// Only ids 1, 2, 3, 11, 12, 13, 14, 15 have a Strict form distinct from the
// Transitional one; they drive `strict_seen` / `transitional_seen`.
namespace ns {
inline constexpr std::uint16_t NONE = 0;
inline constexpr std::uint16_t PML = 1;
inline constexpr std::uint16_t DML = 2;
inline constexpr std::uint16_t REL = 3;
inline constexpr std::uint16_t PKG_REL = 4;
inline constexpr std::uint16_t CONTENT_TYPES = 5;
inline constexpr std::uint16_t MC = 6;
inline constexpr std::uint16_t CORE_PROPS = 7;
inline constexpr std::uint16_t DC = 8;
inline constexpr std::uint16_t DCTERMS = 9;
inline constexpr std::uint16_t XSI = 10;
inline constexpr std::uint16_t EXT_PROPS = 11;
inline constexpr std::uint16_t VT = 12;
inline constexpr std::uint16_t CHART = 13;
inline constexpr std::uint16_t DIAGRAM = 14;
inline constexpr std::uint16_t PICTURE = 15;
inline constexpr std::uint16_t DIAGRAM_DRAWING = 16;
inline constexpr std::uint16_t P14 = 17;
inline constexpr std::uint16_t P188 = 18;
inline constexpr std::uint16_t CHART_DRAWING = 19;
inline constexpr std::uint16_t OTHER = 20;
} // namespace ns

// Which form of a namespace a URI is.
enum class Form : std::uint8_t { none, transitional, strict };

struct NamespaceInfo {
    std::uint16_t id = ns::OTHER;
    // `transitional` or `strict` only for the eight namespaces that exist in
    // both forms; `none` for every other URI.
    Form form = Form::none;
};

// The id and form of a namespace URI (exact, case-sensitive match). The empty
// URI gives id 0; an unknown URI gives `ns::OTHER`.
NamespaceInfo namespace_info(std::string_view uri) noexcept;
inline std::uint16_t namespace_id(std::string_view uri) noexcept { return namespace_info(uri).id; }

inline constexpr std::size_t MAX_DEPTH = 256;

// An XML error: a static message and the byte offset where it was found.
struct XmlError {
    const char* message = "";
    std::uint64_t offset = 0;

    // The library error naming the part: "xml in {part} at byte {offset}: {message}".
    Error to_error(std::string part) const { return Error::xml(std::move(part), offset, message); }
    friend bool operator==(const XmlError& a, const XmlError& b) noexcept {
        return a.offset == b.offset && std::string_view(a.message) == std::string_view(b.message);
    }
};

// Success or an XML error.
using Status = std::expected<void, XmlError>;

// A qualified name as written: views into the reader's text. An unprefixed
// name has an empty prefix.
struct Name {
    std::string_view prefix;
    std::string_view local;

    bool has_prefix() const noexcept { return !prefix.empty(); }
    // "prefix:local", or "local" alone; invalid UTF-8 replaced by U+FFFD.
    std::string qualified() const;
};

// A start element. `attrs` is the raw text between the element name and the
// closing ">" or "/>" (already checked); read it through `Attrs`.
struct Start {
    std::uint64_t offset = 0;     // of the "<"
    Name name;
    std::uint16_t ns = ns::NONE;  // namespace id of the element
    std::string_view attrs;
    bool self_closing = false;    // written <a/>: its end event follows at once

    bool is(std::uint16_t ns_id, std::string_view local) const noexcept {
        return ns == ns_id && name.local == local;
    }
};

// One attribute: raw value (references not decoded), name as written, and
// the namespace id of its prefix (0 for an unprefixed attribute, `ns::OTHER`
// for xml:* and for xmlns:* declarations).
struct Attr {
    Name name;
    std::string_view value;
    std::uint16_t ns = ns::NONE;
    std::uint64_t offset = 0;     // of the attribute's name

    bool is(std::uint16_t ns_id, std::string_view local) const noexcept {
        return ns == ns_id && name.local == local;
    }
};

enum class EventKind : std::uint8_t { start, end, text, eof, error };

// One event of `Reader::next`. Fields beyond `kind` and `offset` are set as
// the kind says:
//  start: `start` is the element; `offset` its "<".
//  end:   `start` is the element being closed (as its start event gave it);
//         `offset` is the "<" of the end tag, or of the start tag for <a/>.
//  text:  `text` is the raw character data (for a CDATA section its content),
//         `offset` its first byte; `plain` is true when `text` needs no
//         decoding (no reference, no carriage return). Use `append_text`.
//         Text is reported only inside the root element, whitespace included;
//         adjacent text, CDATA and references may come as several events.
//  eof:   the end of a complete document, `offset` the text's length. A text
//         without any element ends in eof too (`well_formed` calls it an error).
//  error: `error` holds the message and offset (also in `offset`).
struct Event {
    EventKind kind = EventKind::eof;
    bool cdata = false;
    bool plain = true;
    std::uint64_t offset = 0;
    Start start;
    std::string_view text;
    XmlError error;
};

// Appends the decoded character data of a text event to `out`: references
// resolved (outside CDATA), "\r\n" and lone "\r" turned into "\n", invalid
// UTF-8 replaced by U+FFFD.
void append_text(const Event& text_event, std::string& out);

// The attribute value with entity and character references decoded (an
// unknown or malformed reference stays as written), invalid UTF-8 replaced by
// U+FFFD. No white-space normalisation.
std::string unescape_attr(std::string_view raw);

// Like `unescape_attr`, but returns `raw` itself, without copying, when it is
// already final (no "&", valid UTF-8); otherwise decodes into `scratch` and
// returns a view of it.
std::string_view attr_value(std::string_view raw, std::string& scratch);

class Reader;

// Iterator over the attributes of a start tag, in document order. The
// namespace ids are resolved against the reader's current scope, so make it
// from the latest start event, before calling `next` again.
//   for (Attrs it(reader, start); auto a = it.next();) { ... }
class Attrs {
public:
    Attrs(const Reader& reader, const Start& start) noexcept;
    std::optional<Attr> next() noexcept;

private:
    std::optional<Attr> scan_next() noexcept;

    const Reader* reader_;
    std::string_view rest_;
    std::uint64_t base_;  // offset of rest_.data()
    // Made from the latest start event: the reader's already split attributes
    // are handed out while it has read no other start tag since.
    std::uint64_t generation_ = 0;
    std::uint32_t index_ = 0;
    bool scanned_ = false;
};

class Reader {
public:
    explicit Reader(std::string_view text) noexcept;
    explicit Reader(std::span<const std::uint8_t> bytes) noexcept
        : Reader(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())) {}
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    Reader(Reader&&) noexcept = default;
    Reader& operator=(Reader&&) noexcept = default;

    // The next event. After an error every later call returns the same error.
    Event next();

    // The step `next` takes, without building its event, for walks that
    // only look at start elements: after `start`, `element()` is the element
    // just opened; after `end`, it is closed; after `error`, `error()` is
    // what `next` would report; `eof` lies at the text's length.
    EventKind step();
    const Start& element() const noexcept { return stack_[depth_ - 1]; }
    const XmlError& error() const noexcept { return error_; }

    // Open elements: after a start event its element counts (also for <a/>,
    // until its end event); after an end event it no longer does.
    std::size_t depth() const noexcept { return depth_; }

    // Set once a namespace declaration of the Strict (Transitional) form of
    // one of the eight two-form namespaces has been processed.
    bool strict_seen() const noexcept { return strict_seen_; }
    bool transitional_seen() const noexcept { return transitional_seen_; }

    std::string_view text() const noexcept { return text_; }

    // Helpers for parsers. Call them right after the start event of the
    // element concerned.

    // Reads up to and including the end tag of the element whose start event
    // was the latest one (or of the innermost open element).
    Status skip();
    // Reads until fewer than `target` elements are open (so
    // `skip_to_depth(d - 1)` after a start at depth d skips that element),
    // checking everything `next` checks but building no events.
    Status skip_to_depth(std::size_t target);
    // As skip_to_depth, but the markup inside the elements it closes is
    // passed over unchecked: only where tags begin and end is looked at, and
    // their end tags are read as usual. For readers that want a few elements
    // of a large part and take the rest as it comes; what is skipped may be
    // malformed without an error.
    Status skip_to_depth_unchecked(std::size_t target);
    // Appends the decoded text of the current element and all its
    // descendants to `out` and reads through its end tag.
    Status read_text(std::string& out);

    // Namespace id bound to `prefix` in the current scope ("" = default
    // namespace); nullopt when the prefix is not declared. "xml" is always
    // bound (to `ns::OTHER`).
    std::optional<std::uint16_t> lookup(std::string_view prefix) const noexcept;

    // The first attribute of `start` with this namespace id and local name.
    // Same scope rule as `Attrs`.
    std::optional<Attr> find_attr(const Start& start, std::uint16_t ns_id,
                                  std::string_view local) const noexcept;
    // Whether `start` has an attribute with a prefix (xmlns:* included):
    // known without a scan for the start tag read last.
    bool has_prefixed_attr(const Start& start) const noexcept {
        if (start.attrs.data() == scratch_span_) return has_prefixed_;
        return start.attrs.find(':') != std::string_view::npos;
    }
    // Its value decoded (`unescape_attr`), or nullopt when absent.
    std::optional<std::string> attr(const Start& start, std::uint16_t ns_id,
                                    std::string_view local) const;

private:
    friend class Attrs;
    struct Binding {
        std::string_view prefix;   // "" for the default namespace
        std::string_view uri;      // view into text_ or into owned_uri
        std::string owned_uri;     // set when the declaration held references
        std::uint16_t id = 0;
        std::uint32_t depth = 0;   // element depth that declared it
        // With the index (below): the position of the binding of the same
        // prefix that this one hides, or NO_BINDING.
        std::uint32_t hides = NO_BINDING;
        bool owned = false;
        std::string_view uri_view() const noexcept { return owned ? std::string_view(owned_uri) : uri; }
    };
    static constexpr std::uint32_t NO_BINDING = UINT32_MAX;
    // Each prefix in scope with the position of its innermost binding.
    struct BindingIndex;
    struct RawAttr {
        std::string_view prefix, local, value;
        std::uint64_t offset = 0;
        std::uint16_t ns = 0;
        std::string_view uri;      // resolved URI of a prefixed attribute
    };
    // An element prefix resolved. One of up to 7 bytes is also kept as a
    // word with its ':' (and the mask of those bytes), so a tag that starts
    // with it needs no scan for it; an unused slot matches nothing.
    struct CachedPrefix {
        std::string_view prefix;
        std::uint64_t word = 1;  // matches nothing under an empty mask
        std::uint64_t mask = 0;
        std::uint16_t ns = 0;
        bool set = false;
    };
    // `closing`: inside the root, with the end event of an element written
    // <a/> still to hand out. Every phase but `content` takes the slow step.
    enum class Phase : std::uint8_t { content, closing, prolog, epilog, failed };

    EventKind fail(const char* message, const char* at);
    bool refuse(const char* message, const char* at);
    template <bool Short>
    bool own_end_tag(const char* lt) noexcept;
    // Keep = false: a step of skip_to_depth or read_text, which hand out
    // neither the element nor its attributes, so the common start tag stores
    // only what its end tag is matched against and its names checked with.
    // Such a step reads on through start tags that follow at once, and an
    // element written <a/> among them is opened and closed in it (reported
    // as `start`, nothing left open for it).
    template <bool Keep, bool Pop>
    EventKind advance();
    EventKind step_rest();
    EventKind advance_rare();
    EventKind advance_outside();
    template <bool Keep>
    EventKind start_tag(const char* lt);
    template <bool Guarded, bool Keep>
    EventKind start_tag_common(const char* lt);
    template <bool Guarded, bool Keep>
    EventKind start_tag_one(const char* lt);
    EventKind start_tag_general(const char* lt);
    EventKind end_tag(const char* lt);
    EventKind text_run(const char* from);
    EventKind cdata(const char* lt);
    EventKind token(const char* at, const char* from, const char* to, bool plain, bool cdata);
    bool markup(const char* lt);
    const char* check_attributes();
    const char* declare(RawAttr& a);
    const Binding* find_binding(std::string_view prefix) const noexcept;
    void index_binding(std::size_t at);
    void pop_element();
    void pop_bindings();
    void cache_prefix(std::string_view prefix, std::uint16_t id) noexcept;
    void forget_prefixes() noexcept;
    const CachedPrefix* cached_prefix(std::string_view prefix) const noexcept;
    Start& push_element();
    void grow_stack();
    // Room of the stacks and scratch lists, handed from each reader a thread
    // ends to the next one it makes: a reader is made per part, and setting
    // up its room was a good share of the cost of a small part.
    struct Rooms;
    static Rooms& spare_rooms() noexcept;
    RawAttr& push_attr();
    Start& top() noexcept { return stack_[depth_ - 1]; }
    Event close_element(std::uint64_t offset);

    std::string_view text_;
    const char* begin_;    // first byte after a byte-order mark
    const char* cur_;
    const char* end_;
    Phase phase_ = Phase::prolog;
    // The last byte of the text other than white space is '>', which ends
    // every scan for a name or for white space started before it: a start
    // tag, which opens before that byte, is then read without checking for
    // the end of the text at each byte.
    bool guarded_ = false;
    bool has_decl_ = false;      // the tag being read has xmlns or xmlns:* attributes
    bool has_prefixed_ = false;  // ... or any prefixed attribute
    bool strict_seen_ = false;
    bool transitional_seen_ = false;
    XmlError error_{};
    // What the latest step found: the "<" of an end tag (or of a start tag
    // written <a/>), and a text or CDATA token.
    std::uint64_t end_offset_ = 0;
    std::uint64_t token_offset_ = 0;
    const char* token_ = nullptr;
    std::size_t token_size_ = 0;
    bool token_plain_ = true;
    bool token_cdata_ = false;
    // Open elements are stack_[0, depth_) and the attributes of the latest
    // start tag scratch_attrs_[0, attr_count_); slots past them are kept
    // for reuse, so a tag overwrites its slots instead of building them.
    std::vector<Start> stack_;
    std::size_t depth_ = 0;
    std::vector<Binding> bindings_;
    // The depth of the innermost declaration (0 while there is none), so
    // closing an element tells from one member whether scopes end with it.
    std::uint32_t binding_depth_ = 0;
    // Made once more than SCANNED_BINDINGS are in scope, and kept up from
    // then on: a part may declare thousands of prefixes, and a lookup that
    // scans them all for every prefixed name made reading it quadratic.
    // Most parts declare a handful, which a scan finds soonest.
    static constexpr std::size_t SCANNED_BINDINGS = 16;
    std::unique_ptr<BindingIndex> binding_index_;
    std::vector<RawAttr> scratch_attrs_;
    std::size_t attr_count_ = 0;
    std::vector<std::uint32_t> scratch_order_;
    // The attribute span of the start tag whose attributes scratch_attrs_
    // holds (null while none does), and a count of start tags read, so an
    // `Attrs` can tell whether the scratch is still its own.
    const char* scratch_span_ = nullptr;
    std::uint64_t generation_ = 0;
    // The last two element prefixes resolved, until the bindings change:
    // parts alternate between two (p: and a:) at nearly every level.
    CachedPrefix cached_[2];  // the latest first
};

// Runs the reader over the whole text: nullopt when well-formed, else the
// first error, or "no root element" at the text's length when it holds no
// element.
std::optional<XmlError> well_formed(std::string_view text);

// Reads one part: calls `root(reader, start)` for its root element, then
// checks that the rest of the text is well-formed. Reader errors, and those
// `root` returns, become "xml in {part} at byte {offset}: {message}"; a text
// without an element gives "no root element" at its end.
template <class Fn>
Result<void> parse_root(std::string_view text, std::string_view part, Fn&& root) {
    Reader r(text);
    bool seen = false;
    for (;;) {
        Event ev = r.next();
        if (ev.kind == EventKind::error) return fail(ev.error.to_error(std::string(part)));
        if (ev.kind == EventKind::eof) {
            if (!seen) return fail(Error::xml(std::string(part), ev.offset, "no root element"));
            return {};
        }
        if (ev.kind != EventKind::start) continue;
        seen = true;
        if (Status st = root(r, ev.start); !st) return fail(st.error().to_error(std::string(part)));
    }
}

} // namespace vantrell_core::xml
