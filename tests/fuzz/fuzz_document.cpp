// A deck from bytes (package or legacy binary): properties, authors, sections,
// every slide with its services, then the whole-deck text and Markdown.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <vector>

#include "core/document.h"
#include "core/markdown.h"
#include "core/text.h"
#include "core/zip.h"

namespace {

namespace vc = vantrell_core;

void slide_services(const vc::document::Slide& slide) {
    (void)slide.notes_text();
    (void)slide.charts();
    (void)slide.diagrams();
    (void)slide.comments();
    if (auto images = slide.images()) {
        for (const auto& image : *images) (void)slide.image_bytes(image);
    }
    if (auto objects = slide.objects()) {
        for (const auto& object : *objects) (void)slide.object_bytes(object);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One worker keeps runs reproducible and leaves the other cores free.
    setenv("VANTRELL_THREADS", "1", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto source = std::make_shared<vc::zip::MemorySource>(std::vector<std::uint8_t>(data, data + size));
    auto doc = vc::document::Document::from_source(source);
    if (!doc) return 0;
    (void)doc->core_properties();
    (void)doc->app_properties();
    (void)doc->comment_authors();
    (void)doc->sections();
    const std::size_t count = doc->slide_count();
    for (std::size_t i = 0; i < count; ++i) {
        auto slide = doc->slide(i);
        if (slide) slide_services(*slide);
    }

    vc::text::TextOptions text_all;
    text_all.furniture = text_all.hidden_shapes = text_all.notes = true;
    text_all.alt_text = text_all.comments = true;
    (void)doc->text_reporting(text_all);
    (void)doc->text_reporting(vc::text::TextOptions{});

    std::vector<std::size_t> positions(count);
    std::iota(positions.begin(), positions.end(), std::size_t{0});
    vc::markdown::MarkdownOptions md_all;
    md_all.notes = md_all.comments = md_all.hidden_shapes = md_all.furniture = true;
    (void)doc->markdown_at(positions, md_all);
    (void)doc->markdown_at(positions, vc::markdown::MarkdownOptions{});
    return 0;
}
