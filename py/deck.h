// What the reading classes and the text passes share: the handle on an opened
// deck, the Python Document and Slide values, and the one way to read
// through a fresh view with the interpreter lock released.
//
// A handle keeps only the deck's shared state and the worker cap; every call
// builds its own short-lived reading view from it, so nothing is cached
// between calls and any number of threads may use one object at once.
#pragma once

#include "py/toolkit.h"

#include "core/document.h"

#include <cstdint>
#include <expected>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace _vantrell {

// The handle of one opened deck.
struct Deck {
    std::shared_ptr<const vantrell_core::document::Shared> shared;
    std::uint64_t threads = 0; // 0 = automatic

    // A fresh reading view with empty caches; costs no I/O.
    vantrell_core::document::Document view() const {
        return vantrell_core::document::Document(shared, static_cast<std::size_t>(threads));
    }
};

// Every slide position of a deck of `count` slides, in order.
inline std::vector<std::size_t> every_position(std::size_t count) {
    std::vector<std::size_t> out(count);
    std::iota(out.begin(), out.end(), std::size_t{0});
    return out;
}

// `fn(view)` on a fresh view of `deck` with the interpreter lock released.
// The handle is copied before the lock goes, so only copies cross. On the
// main thread, where signal handlers run, a pass through the view stops
// soon after one raised, and the call fails with that exception. What the
// call reads outside a pass's steps is charged to the process budget as one
// step.
template <class Fn>
auto released_view(const Deck& deck, Fn&& fn) {
    return toolkit::released_stopping([&fn, copy = deck](vantrell_core::budget::Stop* stop) {
        vantrell_core::document::Document view = copy.view();
        view.set_stop(stop);
        const vantrell_core::document::Document::Charging charging(view);
        return fn(view);
    });
}

// The Python handle of one opened deck.
struct Document {
    std::optional<std::string> path; // display text; none when opened from data
    Deck deck;
    std::size_t slide_count = 0;

    // The slide position of `index` (negative counts from the end), or
    // nullopt with IndexError set.
    static std::optional<std::size_t> resolve_index(std::size_t count, std::int64_t index);

    static const toolkit::ClassDef<Document>& definition();
};

// One parsed slide: what the parser produced plus the deck's handle, so that
// part-reading methods can read the slide again.
struct Slide {
    std::string part;
    vantrell_core::model::SlideContent content;
    vantrell_core::slide::SlideReport report;
    Deck deck;
    std::uint64_t index = 0;

    // The Python slide of a library slide read from `deck`.
    static Slide from_core(vantrell_core::document::Slide&& slide, Deck deck);
    // Reads and parses the slide at `index` through `view`, a view of `deck`.
    static vantrell_core::Result<Slide> load(vantrell_core::document::Document& view, std::size_t index,
                                             const Deck& deck);

    static const toolkit::ClassDef<Slide>& definition();
};

// Reads `s` again, at `detail`, through a fresh view with the lock released
// and returns `fn(library slide)`, itself a `Result`.
template <class Fn>
auto released_slide(const Slide& s, vantrell_core::slide::Detail detail, Fn&& fn) {
    using R = std::invoke_result_t<Fn&, const vantrell_core::document::Slide&>;
    return released_view(s.deck, [&fn, detail, index = s.index](vantrell_core::document::Document& view) -> R {
        auto slide = view.slide(static_cast<std::size_t>(index), detail);
        if (!slide) return vantrell_core::fail(std::move(slide.error()));
        return fn(*slide);
    });
}

} // namespace _vantrell
