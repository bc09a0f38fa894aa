// The raw package classes: Package, Part, Relationship, ContentTypes and
// PackageDefects.
#pragma once

#include "py/toolkit.h"

#include <memory>
#include <optional>
#include <string>

namespace vantrell_core::package {
class Core;
}

namespace _vantrell::package {

// Adds the five classes to the module in their fixed order; false with the
// failing step's exception set. (`register` itself is a C++ keyword.)
bool register_(PyObject* module);

// A Package over an already opened core, as `Document.package()` hands out;
// `path` is the display text of the path it was opened from. New reference,
// or nullptr with an exception set.
PyObject* new_package(std::shared_ptr<const vantrell_core::package::Core> core, std::optional<std::string> path);

} // namespace _vantrell::package
