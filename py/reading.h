// The reading classes: Document, Slide, SlideIter, Shape and the value
// classes returned by their methods.
#pragma once

#include "py/toolkit.h"

#include "core/document.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace _vantrell {

// The Python handle of one opened deck: the shared deck state plus copies.
struct Document {
    std::optional<std::string> path; // display text; none when opened from data
    std::shared_ptr<const vantrell_core::document::Shared> shared;
    std::uint64_t threads = 0; // 0 = automatic
    std::size_t slide_count = 0;

    // A fresh reading view with empty caches; costs no I/O.
    vantrell_core::document::Document view() const {
        return vantrell_core::document::Document(shared, static_cast<std::size_t>(threads));
    }

    // The slide position of `index` (negative counts from the end), or
    // nullopt with IndexError set.
    static std::optional<std::size_t> resolve_index(std::size_t count, std::int64_t index);

    static const toolkit::ClassDef<Document>& definition();
};

// One parsed slide: what the parser produced plus the deck's shared handle,
// so that part-reading methods can read the slide again.
struct Slide {
    std::string part;
    vantrell_core::model::SlideContent content;
    vantrell_core::slide::SlideReport report;
    std::shared_ptr<const vantrell_core::document::Shared> shared;
    std::uint64_t threads = 0;
    std::uint64_t index = 0;

    // Reads and parses the slide at `index`; touches no Python object.
    static vantrell_core::Result<Slide> load(std::shared_ptr<const vantrell_core::document::Shared> shared,
                                             std::uint64_t threads, std::uint64_t index);
    // The Python slide of a library slide read through some view.
    static Slide from_core(vantrell_core::document::Slide&& slide,
                           std::shared_ptr<const vantrell_core::document::Shared> shared, std::uint64_t threads);

    static const toolkit::ClassDef<Slide>& definition();
};

namespace reading {

// Adds Document, Slide, SlideIter, Shape, then Image, CoreProperties,
// AppProperties, Section, Comment, EmbeddedObject, Chart, ChartSeries and
// Diagram; false with the failing step's exception set.
bool register_(PyObject* module);

} // namespace reading

} // namespace _vantrell
