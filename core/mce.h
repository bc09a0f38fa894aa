// Markup compatibility: walking an element's children with
// mc:AlternateContent resolved.
//
// An mc:AlternateContent offers alternatives: mc:Choice branches, each
// requiring the namespaces named by the prefixes in its Requires attribute,
// and an mc:Fallback. A consumer takes the first Choice whose required
// namespaces it understands, else the Fallback. "Understood" here means the
// namespaces the library's parsers read (see `understood`): PresentationML,
// DrawingML main, officeDocument relationships, extended properties,
// docPropsVTypes, DrawingML chart, diagram and picture, diagram drawing,
// chart drawing, PowerPoint 2010 and PowerPoint modern comments. Anything
// else (VML, chartex, Office 2010 drawing extensions such as a14 math...)
// sends the walk to the Fallback, which Office writes for exactly that case.
//
// The walk is iterative over siblings and recurses only into selected
// branches, so its depth is bounded by the reader's nesting limit.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/xml.h"

namespace vantrell_core::mce {

// True for the namespace ids whose Choice branches the library takes.
bool understood(std::uint16_t ns_id) noexcept;

// True when every prefix of the Requires attribute of `choice` (a start
// event just read by `reader`) is declared and understood. A Choice without
// Requires, or with an empty one, counts as understood.
bool choice_selected(const xml::Reader& reader, const xml::Start& choice) noexcept;

// Reads the content of the element whose start tag the reader has just
// passed, up to and including its end tag, calling `fn(reader, start)` once per
// child start element in document order and skipping whatever of that child
// `fn` did not read. `fn` returns xml::Status; the first error, from the
// reader or from `fn`, ends the walk and is returned. With `mce` set, an
// mc:AlternateContent child is not passed on but replaced, recursively, by the
// children of its selected branch (see above); its other branches are
// skipped.
template <class Fn>
xml::Status children_inner(xml::Reader& reader, Fn&& fn, bool mce);

namespace detail {

inline bool is_mc(const xml::Start& s, std::string_view local) noexcept {
    return s.ns == xml::ns::MC && s.name.local == local;
}

template <class Fn>
xml::Status alternate_content(xml::Reader& reader, Fn& fn) {
    bool taken = false;
    for (;;) {
        switch (reader.step()) {
        case xml::EventKind::start: {
            const std::size_t depth = reader.depth();
            const xml::Start& s = reader.element();
            bool take = false;
            if (!taken) {
                if (is_mc(s, "Choice")) take = choice_selected(reader, s);
                else if (is_mc(s, "Fallback")) take = true;
            }
            if (take) {
                taken = true;
                if (auto st = children_inner(reader, fn, true); !st) return st;
            } else if (auto st = reader.skip_to_depth(depth - 1); !st) {
                return st;
            }
            break;
        }
        case xml::EventKind::end:
            return {};
        case xml::EventKind::text:
            break;
        case xml::EventKind::eof:
            return std::unexpected(xml::XmlError{"unexpected end of document", reader.text().size()});
        case xml::EventKind::error:
            return std::unexpected(reader.error());
        }
    }
}

} // namespace detail

template <class Fn>
xml::Status children_inner(xml::Reader& reader, Fn&& fn, bool mce) {
    for (;;) {
        switch (reader.step()) {
        case xml::EventKind::start: {
            const std::size_t depth = reader.depth();
            // A copy: the reader's element stack may move while `fn` reads on.
            const xml::Start start = reader.element();
            if (mce && detail::is_mc(start, "AlternateContent")) {
                if (auto st = detail::alternate_content(reader, fn); !st) return st;
                break;
            }
            if (xml::Status st = fn(reader, start); !st) return st;
            if (reader.depth() >= depth) {
                if (auto st = reader.skip_to_depth(depth - 1); !st) return st;
            }
            break;
        }
        case xml::EventKind::end:
            return {};
        case xml::EventKind::text:
            break;
        case xml::EventKind::eof:
            return std::unexpected(xml::XmlError{"unexpected end of document", reader.text().size()});
        case xml::EventKind::error:
            return std::unexpected(reader.error());
        }
    }
}

// As children_inner (with mc:AlternateContent resolved), but whatever of a
// child `fn` did not read is passed over unchecked
// (xml::Reader::skip_to_depth_unchecked).
template <class Fn>
xml::Status children_skimmed(xml::Reader& reader, Fn&& fn) {
    return children_inner(
        reader,
        [&](xml::Reader& r, const xml::Start& s) -> xml::Status {
            const std::size_t depth = r.depth();
            if (xml::Status st = fn(r, s); !st) return st;
            return r.depth() >= depth ? r.skip_to_depth_unchecked(depth - 1) : xml::Status{};
        },
        true);
}

} // namespace vantrell_core::mce
