// The binding toolkit: everything the module's classes and functions share,
// one header per concern.
//
//   py/errors.h   owned references, PptxError, C++ exceptions kept out of the
//                 interpreter, the lock released around library work
//   py/convert.h  Python objects to C++ arguments and library values to
//                 Python objects; repr pieces
//   py/args.h     text signatures and the argument binder
//   py/classes.h  bound classes declared by tables: getters, methods,
//                 constructors, slots, borrows
#pragma once

#include "py/args.h"
#include "py/classes.h"
#include "py/convert.h"
#include "py/errors.h"
