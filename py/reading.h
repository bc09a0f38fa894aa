// The reading classes: Document, Slide, SlideIter, Shape and the value
// classes returned by their methods.
#pragma once

#include "py/toolkit.h"

namespace _vantrell::reading {

// Adds Document, Slide, SlideIter, Shape, then Image, CoreProperties,
// AppProperties, Section, Comment, EmbeddedObject, Chart, ChartSeries and
// Diagram; false with the failing step's exception set.
bool register_(PyObject* module);

} // namespace _vantrell::reading
