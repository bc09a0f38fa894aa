// The model classes: table grid, paragraphs and runs, the parsed
// presentation part, the document defects and comment authors.
//
// The reading classes hold library values and build these Python objects
// from them on every access; the builders below are how they do it.
#pragma once

#include "py/toolkit.h"

#include <vector>

namespace vantrell_core::model {
struct Paragraph;
struct Table;
} // namespace vantrell_core::model
namespace vantrell_core::presentation {
struct Presentation;
}
namespace vantrell_core::document {
struct DocumentDefects;
}
namespace vantrell_core::comments {
struct CommentAuthor;
}

namespace _vantrell::model {

// Add Table, Row, Cell, Paragraph and Run, then DocumentDefects,
// Presentation, SlideId, MasterId and CommentAuthor, in those orders; false
// with the failing step's exception set.
bool register_text_classes(PyObject* module);
bool register_deck_classes(PyObject* module);

// New references, or nullptr with an exception set.

PyObject* paragraphs_from_body(const std::vector<vantrell_core::model::Paragraph>& paragraphs);
PyObject* new_table(const vantrell_core::model::Table& table);
PyObject* new_presentation(const vantrell_core::presentation::Presentation& presentation);
PyObject* new_document_defects(const vantrell_core::document::DocumentDefects& defects);
PyObject* comment_author_list(const std::vector<vantrell_core::comments::CommentAuthor>& authors);

} // namespace _vantrell::model
