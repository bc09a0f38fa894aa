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

// Adds Table, Row, Cell, Paragraph, Run, DocumentDefects, Presentation,
// SlideId, MasterId and CommentAuthor in that order; false with the failing
// step's exception set. (`register` itself is a C++ keyword.)
bool register_(PyObject* module);

// New references, or nullptr with an exception set.

// A new list with one bound object per item, made from `make(item)`.
template <class T, class Item, class Make>
PyObject* object_list(const std::vector<Item>& items, Make make) {
    toolkit::Ref list = toolkit::Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* o = toolkit::Class<T>::create(make(items[i]));
        if (!o) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), o); // steals o
    }
    return list.release();
}

PyObject* paragraphs_from_body(const std::vector<vantrell_core::model::Paragraph>& paragraphs);
PyObject* new_table(const vantrell_core::model::Table& table);
PyObject* new_presentation(const vantrell_core::presentation::Presentation& presentation);
PyObject* new_document_defects(const vantrell_core::document::DocumentDefects& defects);
PyObject* comment_author_list(const std::vector<vantrell_core::comments::CommentAuthor>& authors);

} // namespace _vantrell::model
