// The writing submodule vantrell.write.
#pragma once

#include "py/toolkit.h"

namespace _vantrell::write {

// Creates the submodule "write" with its classes and functions, attaches it
// to `parent` as `write` (appended to its `__all__`) and enters it in
// sys.modules as "vantrell._vantrell.write". False with an exception set.
bool register_(PyObject* parent);

} // namespace _vantrell::write
