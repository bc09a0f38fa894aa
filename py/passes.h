// The text and Markdown passes of Document and Slide, and the
// ExtractReport class that carries what a pass skipped.
//
// The option records are built from keyword flags, slide indexes resolved
// before the lock is released, and the passes run on a fresh reading view
// (and the reader's workers) with the lock released; only the resulting
// strings and the report become Python objects.
#pragma once

#include "py/toolkit.h"

namespace _vantrell::passes {

// Methods of vantrell.Document: text, text_reporting, extract, slide_texts,
// markdown.
toolkit::MethodDef document_text();
toolkit::MethodDef document_text_reporting();
toolkit::MethodDef document_extract();
toolkit::MethodDef document_slide_texts();
toolkit::MethodDef document_markdown();

// Methods of vantrell.Slide: text, markdown.
toolkit::MethodDef slide_text();
toolkit::MethodDef slide_markdown();

// Adds vantrell.ExtractReport; false with an exception set.
bool register_(PyObject* module);

} // namespace _vantrell::passes
