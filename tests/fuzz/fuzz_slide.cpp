// The slide, chart, diagram, comment and notes parsers, reached through a
// fixed package: the input is split at "\n----\n" into the slide part and the
// parts its relationships name, so mutations land on their XML rather than on
// compressed ZIP bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/document.h"
#include "core/markdown.h"
#include "core/text.h"
#include "core/zip.h"
#include "write/parts.h"
#include "write/zipw.h"

namespace {

namespace vc = vantrell_core;
namespace parts = vantrell_write::parts;

constexpr std::string_view PR = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
constexpr std::string_view CT = "application/vnd.openxmlformats-officedocument.";

std::string rel(std::string_view id, std::string_view type, std::string_view target) {
    return "<Relationship Id=\"" + std::string(id) + "\" Type=\"" + std::string(PR) + std::string(type) +
           "\" Target=\"" + std::string(target) + "\"/>";
}

std::string rels(const std::string& body) {
    return "<?xml version=\"1.0\"?><Relationships "
           "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
           body + "</Relationships>";
}

parts::PartOut part(std::string name, std::string_view text) {
    return {std::move(name), std::vector<std::uint8_t>(text.begin(), text.end()), false};
}

std::string override_of(std::string_view name, std::string_view type) {
    return "<Override PartName=\"" + std::string(name) + "\" ContentType=\"" + std::string(CT) +
           std::string(type) + "\"/>";
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("VANTRELL_THREADS", "1", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::array<std::string_view, 6> piece{};
    for (std::size_t i = 0; i < piece.size(); ++i) {
        const std::size_t cut = i + 1 < piece.size() ? rest.find("\n----\n") : std::string_view::npos;
        piece[i] = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view{} : rest.substr(cut + 6);
    }

    std::vector<parts::PartOut> out;
    out.push_back(part("[Content_Types].xml",
                       "<?xml version=\"1.0\"?><Types "
                       "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
                       "<Default Extension=\"rels\" ContentType=\"application/"
                       "vnd.openxmlformats-package.relationships+xml\"/>"
                       "<Default Extension=\"xml\" ContentType=\"application/xml\"/>" +
                           override_of("/ppt/presentation.xml", "presentationml.presentation.main+xml") +
                           override_of("/ppt/slides/slide1.xml", "presentationml.slide+xml") +
                           override_of("/ppt/charts/chart1.xml", "drawingml.chart+xml") +
                           override_of("/ppt/diagrams/data1.xml", "drawingml.diagramData+xml") +
                           override_of("/ppt/comments/comment1.xml", "presentationml.comments+xml") +
                           override_of("/ppt/notesSlides/notesSlide1.xml", "presentationml.notesSlide+xml") +
                           override_of("/ppt/commentAuthors.xml", "presentationml.commentAuthors+xml") +
                           "</Types>"));
    out.push_back(part("_rels/.rels", rels(rel("rId1", "officeDocument", "ppt/presentation.xml"))));
    out.push_back(part("ppt/presentation.xml",
                       "<?xml version=\"1.0\"?><p:presentation "
                       "xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\" "
                       "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                       "<p:sldIdLst><p:sldId id=\"256\" r:id=\"rId2\"/></p:sldIdLst>"
                       "<p:sldSz cx=\"9144000\" cy=\"6858000\"/></p:presentation>"));
    out.push_back(part("ppt/_rels/presentation.xml.rels",
                       rels(rel("rId2", "slide", "slides/slide1.xml") +
                            rel("rId3", "commentAuthors", "commentAuthors.xml"))));
    out.push_back(part("ppt/slides/slide1.xml", piece[0]));
    out.push_back(part("ppt/slides/_rels/slide1.xml.rels",
                       rels(rel("rId1", "chart", "../charts/chart1.xml") +
                            rel("rId2", "diagramData", "../diagrams/data1.xml") +
                            rel("rId3", "comments", "../comments/comment1.xml") +
                            rel("rId4", "notesSlide", "../notesSlides/notesSlide1.xml") +
                            rel("rId5", "hyperlink", "http://example.invalid/"))));
    out.push_back(part("ppt/charts/chart1.xml", piece[1]));
    out.push_back(part("ppt/diagrams/data1.xml", piece[2]));
    out.push_back(part("ppt/comments/comment1.xml", piece[3]));
    out.push_back(part("ppt/notesSlides/notesSlide1.xml", piece[4]));
    out.push_back(part("ppt/commentAuthors.xml", piece[5]));
    auto zipped = vantrell_write::zipw::write(out);
    if (!zipped) std::abort();

    auto doc = vc::document::Document::from_source(std::make_shared<vc::zip::MemorySource>(std::move(*zipped)));
    if (!doc) return 0;
    (void)doc->comment_authors();
    if (auto slide = doc->slide(0)) {
        (void)slide->notes_text();
        (void)slide->charts();
        (void)slide->diagrams();
        (void)slide->comments();
        (void)slide->images();
        (void)slide->objects();
        (void)slide->hyperlink_target("rId5");
    }
    vc::text::TextOptions text_all;
    text_all.furniture = text_all.hidden_shapes = text_all.notes = true;
    text_all.alt_text = text_all.comments = true;
    (void)doc->text_reporting(text_all);
    const std::size_t first = 0;
    vc::markdown::MarkdownOptions md_all;
    md_all.notes = md_all.comments = md_all.hidden_shapes = md_all.furniture = true;
    (void)doc->markdown_at(std::span<const std::size_t>(&first, 1), md_all);
    return 0;
}
